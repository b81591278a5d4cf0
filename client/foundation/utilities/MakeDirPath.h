// Creates every missing directory along a path.
#pragma once

#include <string>

// A leading "/" is the root and belongs to the first component; doubled
// separators collapse. Throws CClientExc when a directory cannot be created or
// when the first component is empty (a path such as "" or one that starts with
// a separator in any other way).
void MakeDirPath(const char* path);
inline void MakeDirPath(const std::string& path)
{
    MakeDirPath(path.c_str());
}
