// HarborlockSetup: the stub that carries Harborlock's installer in a payload
// appended to its own file.
#include "CSetupBootstrapper.h"
#include "OS_CSetupPlatform.h"

#include <string>
#include <utility>
#include <vector>

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    CSetupBootstrapper bootstrapper(OS_CSetupPlatform::OwnFilePath(), std::move(args));
    return bootstrapper.Run();
}
