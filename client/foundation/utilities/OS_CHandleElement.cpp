#include "OS_CHandleElement.h"

#include "Platform.h"

OS_CHandleElement::~OS_CHandleElement()
{
    if (handle_ != OS_INVALID_HANDLE)
        hl::Os().Close(handle_);
}
