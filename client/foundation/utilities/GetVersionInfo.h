// The program's own product name, file version and comments, fixed at build
// time from the project definition.
#pragma once

#include <string>

// Sets product name and file version (empty when the build carries no
// version information, comments then stay as they were) and comments.
void GetVersionInfo(std::string& productName, std::string& fileVersion, std::string& comments);
