// harborlock-bench: the backup service against plain programs moving the same bytes over
// loopback and through the same disk, side by side in one run (see README.md).
//
//   harborlock-bench [--size 2G] [--quick] [--repeat N] [--work DIR] [--markdown FILE]
//                    [--clusters 65536,512] [--growth 256M,1G,4G] [--skip-memory]
//                    [--skip-growth] [--memory-clusters N] [--restore-rounds N] [--debug-log FILE]
//                    [--scratch PERCENT] [--large 16G] [--large-reference 256M] [--skip-large]
#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Baseline.h"
#include "BenchClient.h"
#include "BenchPlan.h"
#include "BenchRunner.h"
#include "BenchService.h"
#include "HLKWire.h"
#include "MemoryProbe.h"
#include "Platform.h"
#include "ResultTable.h"

namespace fs = std::filesystem;
using namespace bench;

namespace {

std::uint64_t ParseSize(const std::string& text)
{
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    std::uint64_t scale = 1;
    if (end && *end) {
        switch (*end) {
        case 'K':
        case 'k': scale = 1ull << 10; break;
        case 'M':
        case 'm': scale = 1ull << 20; break;
        case 'G':
        case 'g': scale = 1ull << 30; break;
        default: scale = 0; break;
        }
    }
    return static_cast<std::uint64_t>(v * double(scale));
}

std::vector<std::uint64_t> ParseList(const std::string& text)
{
    std::vector<std::uint64_t> out;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        if (!item.empty())
            out.push_back(ParseSize(item));
    return out;
}

bool ParseOptions(int argc, char** argv, Options& o)
{
    for (int i = 0; i < argc; ++i) {
        if (i > 0)
            o.command.push_back(' ');
        o.command.append(argv[i]);
    }
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc)
                return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--quick") {
            o.size = 256ull << 20;
            o.growth = {64ull << 20, 256ull << 20, 1ull << 30};
            o.large = 1ull << 30;
            o.largeReference = 64ull << 20;
        } else if (a == "--size" && value(v)) {
            o.size = ParseSize(v);
        } else if (a == "--scratch" && value(v)) {
            o.scratchPercent = std::clamp(std::atoi(v.c_str()), 0, 100);
        } else if (a == "--large" && value(v)) {
            o.large = ParseSize(v);
        } else if (a == "--large-reference" && value(v)) {
            o.largeReference = ParseSize(v);
        } else if (a == "--skip-large") {
            o.large = 0;
        } else if (a == "--repeat" && value(v)) {
            o.repeat = std::max(1, std::atoi(v.c_str()));
        } else if (a == "--work" && value(v)) {
            o.work = v;
        } else if (a == "--debug-log" && value(v)) {
            o.debugLog = v;
        } else if (a == "--markdown" && value(v)) {
            o.markdown = v;
        } else if (a == "--clusters" && value(v)) {
            o.clusters = ParseList(v);
        } else if (a == "--growth" && value(v)) {
            o.growth = ParseList(v);
        } else if (a == "--memory-clusters" && value(v)) {
            o.memoryClusters = static_cast<std::uint32_t>(std::strtoul(v.c_str(), nullptr, 10));
        } else if (a == "--restore-rounds" && value(v)) {
            o.restoreRounds = std::max(1, std::atoi(v.c_str()));
        } else if (a == "--skip-memory") {
            o.memory = false;
        } else if (a == "--skip-growth") {
            o.growthOn = false;
        } else {
            std::fprintf(stderr, "harborlock-bench: unknown or incomplete option %s\n", a.c_str());
            return false;
        }
    }
    for (std::uint64_t c : o.clusters)
        if (c == 0 || c > 65536 || o.size / c == 0 || o.size / c > 0x7FFFFFFF) {
            std::fprintf(stderr, "harborlock-bench: cluster size %llu does not fit the total size\n",
                         static_cast<unsigned long long>(c));
            return false;
        }
    return true;
}

std::string Today()
{
    const std::time_t now = std::time(nullptr);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M %Z", std::localtime(&now));
    return text;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!ParseOptions(argc, argv, o))
        return 2;
    o.work = fs::absolute(o.work).string();
    fs::remove_all(o.work);
    fs::create_directories(o.work);

    const std::uint64_t needed = o.size * 5 + (1ull << 30);
    if (FreeBytes(o.work) < needed) {
        std::fprintf(stderr, "harborlock-bench: %s free in %s, %s needed for %s\n",
                     SizeText(FreeBytes(o.work)).c_str(), o.work.c_str(), SizeText(needed).c_str(),
                     SizeText(o.size).c_str());
        return 1;
    }

    const std::string date = Today();
    Progress("harborlock-bench: %s, %d repeat(s), work directory %s\n", SizeText(o.size).c_str(), o.repeat,
             o.work.c_str());
    DataPool pool;
    ResultTable table;
    try {
        BenchService service(hl::JoinPath(o.work, "service"), !o.debugLog.empty());
        Runner runner(o, service, pool);
        for (std::uint64_t c : o.clusters)
            runner.ClusterSizeSet(static_cast<std::uint32_t>(c), table);
        if (o.memory)
            runner.Memory(table);
        if (o.growthOn)
            runner.Growth(table);
        if (o.large > 0)
            runner.Large(table);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "harborlock-bench: %s\n", e.what());
        return 1;
    }
    if (!o.debugLog.empty()) {
        std::error_code ignored;
        fs::copy_file(hl::JoinPath(o.work, "service/log/quarnexLog.txt"), o.debugLog,
                      fs::copy_options::overwrite_existing, ignored);
    }
    fs::remove_all(o.work);

    std::printf("\nHarborlock benchmark, %s, total size %s, best of %d\n\n%s", date.c_str(),
                SizeText(o.size).c_str(), o.repeat, table.Text().c_str());
    if (!o.markdown.empty()) {
        std::ofstream md(o.markdown);
        md << "Run " << date << " with `" << o.command << "` (best of " << o.repeat << ", "
           << SizeText(o.size) << " per figure):\n\n"
           << table.Markdown();
    }
    return table.AllMet() ? 0 : 3;
}
