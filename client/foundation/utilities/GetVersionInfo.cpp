#include "GetVersionInfo.h"

#include "HarborlockVersion.h"

void GetVersionInfo(std::string& productName, std::string& fileVersion, std::string& comments)
{
    productName = HARBORLOCK_PRODUCT_NAME;
    fileVersion = HARBORLOCK_VERSION;
    comments = HARBORLOCK_COMMENTS;
}
