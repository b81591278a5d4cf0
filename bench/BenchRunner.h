// What the benchmark's parts share: its options, the best-of-N figure, the processor clock,
// progress lines on standard error, and the Runner that measures the service against the
// plain programs.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "BenchClient.h"
#include "BenchPlan.h"
#include "BenchService.h"
#include "ResultTable.h"

namespace bench {

using Clock = std::chrono::steady_clock;
constexpr double kMiB = 1024.0 * 1024.0;
constexpr double kGiB = 1024.0 * kMiB;

inline double Seconds(Clock::time_point from)
{
    return std::chrono::duration<double>(Clock::now() - from).count();
}

std::string SizeText(std::uint64_t bytes);
std::uint64_t FreeBytes(const std::string& dir);
std::uint64_t TotalSize(const std::vector<std::string>& files);
void Progress(const char* format, ...) __attribute__((format(printf, 1, 2)));

struct Options {
    std::uint64_t size = 2ull << 30;
    int repeat = 5;
    int scratchPercent = 30;           // of the second full backup figure
    std::uint64_t large = 16ull << 30; // the large backup (0: skipped)
    std::uint64_t largeReference = 256ull << 20;
    std::string work = "bench-work";
    std::string markdown;
    std::string debugLog; // where to keep the service's debug log, with DEBUG lines
    std::vector<std::uint64_t> clusters = {65536, 512};
    std::vector<std::uint64_t> growth = {256ull << 20, 1ull << 30, 4ull << 30};
    bool memory = true;
    bool growthOn = true;
    std::uint32_t memoryClusters = 1000000;
    int restoreRounds = 3; // restores per repeat, alternating (they change nothing)
    std::string command;
};

// Best (smallest) of the repeats: the least disturbed run on a shared machine.
struct Best {
    double value = -1;
    double cpu = -1; // least processor time of the same runs
    void Add(double v, double cpuSeconds)
    {
        if (v < 0)
            return;
        if (value < 0 || v < value)
            value = v;
        if (cpu < 0 || cpuSeconds < cpu)
            cpu = cpuSeconds;
    }
};

// Processor time of the whole process (every thread: the service's and the bench's),
// which the other work on a shared machine disturbs far less than the wall clock.
struct CpuClock {
    std::clock_t start = std::clock();
    double Seconds() const { return double(std::clock() - start) / CLOCKS_PER_SEC; }
};

class Runner {
public:
    Runner(const Options& o, BenchService& service, const DataPool& pool)
        : m_o(o), m_service(service), m_pool(pool), m_client(service.Port())
    {}

    // Full, incremental and restore at one cluster size.
    void ClusterSizeSet(std::uint32_t clusterSize, ResultTable& table);
    void Memory(ResultTable& table);
    void Growth(ResultTable& table);
    // A large full backup with scratch clusters, an incremental into it and its restore, in
    // a service process of its own: seconds per GiB against the same at the reference size,
    // and the peak memory the service added.
    void Large(ResultTable& table);

private:
    // Waits until the service's listener is ready to accept at once. Called before the plain
    // programs too, so that both sides of a figure start after the same pause.
    void Settle();
    // A backup through the service: HELLO to committed image. Seconds or -1.
    // transferSeconds gets the part up to DONE (NotifyBackupTransferDone).
    double ServiceBackup(const BackupIdentity& id, bool full, BenchPlan& plan, std::string& failure,
                         double* transferSeconds = nullptr);

    const Options& m_o;
    BenchService& m_service;
    const DataPool& m_pool;
    BenchClient m_client;
};

} // namespace bench
