// The program's own product name, file version and comments, fixed at build
// time from the project definition (the generated HarborlockVersion.h).
#pragma once

#include <string>

// Sets product name, file version and comments of this build.
void GetVersionInfo(std::string& productName, std::string& fileVersion, std::string& comments);
