#include "DupString.h"

#include <cstring>

char* DupString(const char* text)
{
    if (!text)
        return nullptr;
    std::size_t n = std::strlen(text);
    char* copy = new char[n + 1];
    std::memcpy(copy, text, n + 1);
    return copy;
}
