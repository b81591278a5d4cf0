// harborlock-bench-host <work directory> [server ID...]: the backup service alone in a
// process, as the desktop program runs it, for memory measurements; the servers named are
// prepared as BenchService::PrepareServer does (incrementals allowed, no old backups kept).
// Prints "PORT <n>" when it listens and stops when its standard input ends.
#include <cstdio>
#include <iostream>
#include <string>

#include "BenchService.h"

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: harborlock-bench-host <work directory> [server ID...]\n");
        return 2;
    }
    try {
        bench::BenchService service(argv[1]);
        for (int i = 2; i < argc; ++i)
            if (!service.PrepareServer(argv[i])) {
                std::fprintf(stderr, "harborlock-bench-host: server %s not prepared\n", argv[i]);
                return 1;
            }
        std::printf("PORT %u\n", static_cast<unsigned>(service.Port()));
        std::fflush(stdout);
        std::string line;
        while (std::getline(std::cin, line)) {}
    } catch (const std::exception& e) {
        std::fprintf(stderr, "harborlock-bench-host: %s\n", e.what());
        return 1;
    } catch (...) {
        std::fprintf(stderr, "harborlock-bench-host: the service did not start\n");
        return 1;
    }
    return 0;
}
