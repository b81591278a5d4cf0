// hlpack: builds a setup file from the stub, the installer script and the
// program archive.
//
//   hlpack --stub STUB --output OUT --installer SCRIPT [--file FILE]...
//
// The installer becomes the type-0 entry, every --file a type-1 entry; each is
// named after its file.
#include "CPayloadPacker.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {
int Usage()
{
    std::fprintf(stderr, "usage: hlpack --stub STUB --output OUT --installer SCRIPT [--file FILE]...\n");
    return 2;
}
} // namespace

int main(int argc, char** argv)
{
    std::string stub, output;
    bool haveInstaller = false;
    CPayloadPacker packer;
    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        if (i + 1 >= argc)
            return Usage();
        const std::string value = argv[++i];
        if (opt == "--stub") {
            stub = value;
        } else if (opt == "--output") {
            output = value;
        } else if (opt == "--installer") {
            if (haveInstaller)
                return Usage();
            haveInstaller = true;
            packer.AddFile(CPayloadFormat::kTypeInstaller, value);
        } else if (opt == "--file") {
            packer.AddFile(CPayloadFormat::kTypePayload, value);
        } else {
            return Usage();
        }
    }
    if (stub.empty() || output.empty() || !haveInstaller)
        return Usage();
    std::string error;
    if (!packer.Write(stub, output, error)) {
        std::fprintf(stderr, "hlpack: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
