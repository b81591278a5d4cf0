// harborlock-bench-verify: what a verify of a stored image costs next to reading its files
// with `cat > /dev/null`.
//
// Writes an image of --size bytes (default 2 GiB, in sub-files as the service writes them) of
// --cluster-byte records with its checksum file, fed one record at a time as the merge feeds
// it, then times, alternately and --repeat times each, `cat` of the image's sub-files into
// /dev/null and CBFMVerify::Verify of the record. Both read the same files from the page cache
// (the image is written just before), so the ratio is the verify's own work: record parsing
// and hashing. Prints the best of each and their ratio, wall clock and processor time.
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "BackupDataLayout.h"
#include "CBFMBackup.h"
#include "CBFMChecksum.h"
#include "CBFMFile.h"
#include "CBFMVerify.h"

namespace {

namespace fs = std::filesystem;

struct Timing {
    double wall = 1e30;
    double cpu = 1e30; // this process and its waited-for children
};

double CpuSeconds()
{
    rusage self{}, children{};
    ::getrusage(RUSAGE_SELF, &self);
    ::getrusage(RUSAGE_CHILDREN, &children);
    auto secs = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return secs(self.ru_utime) + secs(self.ru_stime) + secs(children.ru_utime) + secs(children.ru_stime);
}

template <class F>
void Measure(Timing& best, F&& run)
{
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    run();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    best.wall = std::min(best.wall, wall);
    best.cpu = std::min(best.cpu, CpuSeconds() - cpu0);
}

std::uint64_t ParseSize(const std::string& text)
{
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    const std::string unit = end ? end : "";
    if (unit == "K" || unit == "k")
        value *= 1024;
    else if (unit == "M" || unit == "m")
        value *= 1024 * 1024;
    else if (unit == "G" || unit == "g")
        value *= 1024.0 * 1024 * 1024;
    return std::uint64_t(value);
}

int Usage()
{
    std::fprintf(stderr,
                 "usage: harborlock-bench-verify --work DIR [--size 2G] [--cluster 65536] [--repeat 3]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    std::string work;
    std::uint64_t size = 2ull * 1024 * 1024 * 1024;
    std::uint32_t cluster = 65536;
    int repeat = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc)
            return Usage();
        if (a == "--work")
            work = argv[++i];
        else if (a == "--size")
            size = ParseSize(argv[++i]);
        else if (a == "--cluster")
            cluster = std::uint32_t(std::strtoul(argv[++i], nullptr, 10));
        else if (a == "--repeat")
            repeat = std::max(1, std::atoi(argv[++i]));
        else
            return Usage();
    }
    if (work.empty() || cluster == 0 || cluster > BackupDataLayout::kMaxClusterSize)
        return Usage();

    using namespace BackupDataLayout;
    const std::string dir = work + "/4242";
    fs::remove_all(work);
    fs::create_directories(dir);
    std::unique_ptr<CBFMBackup> backup = std::make_unique<CBFMBackup>(dir, "4242");
    const std::string image = backup->GetFilePath(CBFMBackup::BackupFile);

    // The image and its checksum file, written as the merge writes them.
    std::uint64_t records = 0;
    {
        std::unique_ptr<CBFMFile> file = backup->CreateBFMFile(CBFMBackup::BackupFile);
        if (!file)
            return 1;
        const BackupHeader header{0x1A2B3, cluster, 1, 2, 3};
        std::uint8_t bytes[kBackupHeaderSize];
        EncodeBackupHeader(header, bytes);
        std::uint32_t written = 0;
        CBFMChecksum sum;
        if (!file->Write(bytes, sizeof bytes, written) ||
            !sum.Begin(backup->GetChecksumPath(CBFMBackup::BackupFile), header))
            return 1;
        std::vector<std::uint8_t> record(kClusterHeaderSize + cluster);
        std::mt19937_64 random(7);
        for (std::size_t i = kClusterHeaderSize; i + 8 <= record.size(); i += 8) {
            const std::uint64_t v = random();
            std::copy(reinterpret_cast<const std::uint8_t*>(&v),
                      reinterpret_cast<const std::uint8_t*>(&v) + 8, record.begin() + std::ptrdiff_t(i));
        }
        for (std::uint64_t at = kBackupHeaderSize; at + RecordSize(cluster) <= size;
             at += RecordSize(cluster)) {
            EncodeClusterHeader(ClusterHeader{std::uint32_t(records), kModeMain, cluster}, record.data());
            record[kClusterHeaderSize] = std::uint8_t(records); // no two records alike
            if (!file->Write(record.data(), std::uint32_t(record.size()), written))
                return 1;
            sum.AddRecord(record.data(), record.size());
            ++records;
        }
        if (!file->Sync() || !sum.Finish())
            return 1;
    }

    std::string cat = "cat";
    for (int i = 0;; ++i) {
        const std::string sub = CBFMFile::SubFilePath(image, i);
        if (!fs::exists(sub))
            break;
        cat += " '" + sub + "'";
    }
    cat += " > /dev/null";

    Timing plain, verify;
    bool whole = true;
    for (int round = 0; round < repeat; ++round) {
        auto runCat = [&] { Measure(plain, [&] { whole = std::system(cat.c_str()) == 0 && whole; }); };
        auto runVerify = [&] {
            Measure(verify, [&] {
                const CBFMVerify::Result r = CBFMVerify::Verify(*backup);
                whole = r.verdict == CBFMVerify::Verdict::Whole && r.records == records && whole;
            });
        };
        // Alternating which goes first, so neither always finds the cache the other left.
        if (round % 2 == 0) {
            runCat();
            runVerify();
        } else {
            runVerify();
            runCat();
        }
    }
    std::uint64_t bytes = 0;
    int subFiles = 0;
    for (; fs::exists(CBFMFile::SubFilePath(image, subFiles)); ++subFiles)
        bytes += fs::file_size(CBFMFile::SubFilePath(image, subFiles));
    std::printf("image: %llu records of %u bytes, %.3f GiB in %d sub-files\n",
                static_cast<unsigned long long>(records), cluster, double(bytes) / (1024.0 * 1024 * 1024),
                subFiles);
    std::printf("| figure | seconds (best of %d) | CPU seconds |\n|---|---|---|\n", repeat);
    std::printf("| cat > /dev/null | %.3f | %.3f |\n", plain.wall, plain.cpu);
    std::printf("| verify | %.3f | %.3f |\n", verify.wall, verify.cpu);
    std::printf("| ratio verify / cat | %.2f | %.2f |\n", verify.wall / plain.wall, verify.cpu / plain.cpu);
    backup.reset();
    fs::remove_all(work);
    if (!whole) {
        std::fprintf(stderr, "harborlock-bench-verify: the image did not verify whole\n");
        return 1;
    }
    return 0;
}
