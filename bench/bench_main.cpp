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
#include "BenchService.h"
#include "HLKWire.h"
#include "MemoryProbe.h"
#include "Platform.h"
#include "ResultTable.h"

namespace fs = std::filesystem;
using namespace bench;

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kMiB = 1024.0 * 1024.0;
constexpr double kGiB = 1024.0 * kMiB;

double Seconds(Clock::time_point from)
{
    return std::chrono::duration<double>(Clock::now() - from).count();
}

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

std::string SizeText(std::uint64_t bytes)
{
    char text[32];
    if (bytes >= (1ull << 30) && bytes % (1ull << 30) == 0)
        std::snprintf(text, sizeof text, "%llu GiB", static_cast<unsigned long long>(bytes >> 30));
    else if (bytes >= (1ull << 20))
        std::snprintf(text, sizeof text, "%llu MiB", static_cast<unsigned long long>(bytes >> 20));
    else if (bytes >= 1024)
        std::snprintf(text, sizeof text, "%llu KiB", static_cast<unsigned long long>(bytes >> 10));
    else
        std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
    return text;
}

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

std::uint64_t FreeBytes(const std::string& dir)
{
    std::uint64_t bytes = 0;
    return hl::Os().FreeSpace(dir, bytes) ? bytes : 0;
}

std::uint64_t TotalSize(const std::vector<std::string>& files)
{
    std::uint64_t total = 0;
    for (const std::string& f : files) {
        const std::int64_t s = hl::Os().FileSize(f);
        if (s > 0)
            total += static_cast<std::uint64_t>(s);
    }
    return total;
}

void Progress(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Progress(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fflush(stderr);
}

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

void Runner::Settle()
{
    // The listener takes the next connection only after it has reaped the previous worker, at
    // its next one-second poll: a designed accept delay of up to a second per conversation,
    // not a cost of moving data. Let it pass before a measured conversation starts.
    m_client.Ping();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
}

double Runner::ServiceBackup(const BackupIdentity& id, bool full, BenchPlan& plan, std::string& failure,
                             double* transferSeconds)
{
    Settle();
    m_service.Window().Reset();
    const auto start = Clock::now();
    if (!m_client.Push(id, full, plan, m_pool, failure))
        return -1;
    if (!m_service.Window().WaitSaveDone(30 * 60 * 1000)) {
        failure = "the merge did not commit";
        return -1;
    }
    const double total = Seconds(start);
    if (transferSeconds)
        *transferSeconds = std::chrono::duration<double>(m_service.Window().TransferDoneAt() - start).count();
    return total;
}

void Runner::ClusterSizeSet(std::uint32_t clusterSize, ResultTable& table)
{
    BackupIdentity id;
    id.clusterSize = clusterSize;
    const std::string serverID = HLKWire::formatServerId(id.serialNumber);
    const std::uint32_t blocks = static_cast<std::uint32_t>(m_o.size / clusterSize);
    const std::uint64_t imageBytes = 20 + std::uint64_t(blocks) * (12 + clusterSize);
    const std::string label = SizeText(clusterSize) + " clusters, " + SizeText(m_o.size);
    const bool small = clusterSize < 4096;
    const std::string base = hl::JoinPath(m_o.work, "baseline");
    fs::create_directories(base);
    const std::string streamFile = hl::JoinPath(base, "stream.bin");
    // The baseline keeps one stored copy, as the service keeps one full backup: each new
    // full is copied beside the previous copy, which is then deleted (both timed).
    const std::string copies[2] = {hl::JoinPath(base, "copy-a.bin"), hl::JoinPath(base, "copy-b.bin")};
    int copyNext = 0;
    const std::string incrCopy = hl::JoinPath(base, "incr-copy.bin");

    Best full, fullBase, scratchFull, scratchFullBase, incr, incrBase, restore, restoreBase;
    // The DONE answer's wait, next to what one fsync of the same stream costs the baseline.
    Best fullDone, fullSync, incrDone, incrSync;
    std::string fullNote, scratchNote, incrNote, restoreNote;
    std::vector<std::string> image;

    // A full backup through the service; it retires the server's previous full.
    auto serviceFull = [&](BenchPlan& plan, const char* what, Best* best, Best* done, std::string& note) {
        Progress("  [%s] Harborlock %s ...", label.c_str(), what);
        std::string failure;
        double transfer = 0;
        const CpuClock cpu;
        const double s = ServiceBackup(id, true, plan, failure, &transfer);
        image = m_service.CurrentImageFiles(serverID);
        Progress(" %.2f s (DONE after %.2f s, answered %.3f s after the last cluster)%s%s\n", s, transfer,
                 m_client.LastDoneSeconds(), failure.empty() ? "" : " ", failure.c_str());
        if (s >= 0 && TotalSize(image) != imageBytes) {
            note = "stored image has the wrong size";
            image.clear();
            return;
        }
        if (s < 0) {
            note = failure;
            image.clear();
            return;
        }
        if (done)
            done->Add(m_client.LastDoneSeconds(), 0);
        if (best)
            best->Add(s, cpu.Seconds());
    };
    // The same stream received into a file and copied once with an fsync; the previous copy
    // is deleted.
    auto baselineFull = [&](BenchPlan& plan, const char* what, Best* best, Best* sync, std::string& note) {
        Progress("  [%s] baseline %s ...", label.c_str(), what);
        Settle(); // the same pause before both sides of a figure
        double receive = 0;
        const CpuClock cpu;
        const auto start = Clock::now();
        const std::string& copy = copies[copyNext];
        const std::string& previous = copies[1 - copyNext];
        double s = Baseline::ReceiveAndCopy(id, plan, m_pool, streamFile, copy, &receive);
        const double syncSeconds = Baseline::LastSyncSeconds();
        if (s >= 0) {
            if (hl::Os().FileExists(previous) && !hl::Os().DeleteFile(previous))
                s = -1;
            else
                s = Seconds(start);
        }
        copyNext = 1 - copyNext;
        Progress(" %.2f s (received after %.2f s, fsync %.2f s)\n", s, receive, syncSeconds);
        hl::Os().DeleteFile(streamFile);
        if (s < 0) {
            note = "baseline failed";
            return;
        }
        if (best)
            best->Add(s, cpu.Seconds());
        if (sync)
            sync->Add(syncSeconds, 0);
    };

    m_service.ForgetServer(serverID);
    if (!m_service.PrepareServer(serverID)) {
        fullNote = "server record not created";
    } else {
        // Unmeasured: a full on each side, so that every measured full retires one.
        BenchPlan warm = BenchPlan::Full(blocks, clusterSize);
        std::string ignored;
        serviceFull(warm, "first full backup (not measured)", nullptr, nullptr, fullNote);
        baselineFull(warm, "first full backup (not measured)", nullptr, nullptr, ignored);
    }
    for (int r = 0; r < m_o.repeat && !image.empty(); ++r) {
        const bool baseFirst = r % 2 == 0;

        // 1. Full backup, main clusters only: stored with one write.
        BenchPlan fullPlan = BenchPlan::Full(blocks, clusterSize);
        auto sideFull = [&] { serviceFull(fullPlan, "full backup", &full, &fullDone, fullNote); };
        auto plainFull = [&] { baselineFull(fullPlan, "full backup", &fullBase, &fullSync, fullNote); };
        if (baseFirst) {
            plainFull();
            sideFull();
        } else {
            sideFull();
            plainFull();
        }
        if (image.empty())
            break;

        // 2. Full backup with scratch clusters: merged.
        BenchPlan scratchPlan = BenchPlan::FullWithScratch(blocks, clusterSize, m_o.scratchPercent);
        auto sideScratch = [&] {
            serviceFull(scratchPlan, "full backup with scratch", &scratchFull, nullptr, scratchNote);
        };
        auto plainScratch = [&] {
            baselineFull(scratchPlan, "full backup with scratch", &scratchFullBase, nullptr, scratchNote);
        };
        if (baseFirst) {
            plainScratch();
            sideScratch();
        } else {
            sideScratch();
            plainScratch();
        }
        if (image.empty())
            break;

        // 3. Incremental: 10 % new clusters merged into the stored image.
        BenchPlan incrPlan = BenchPlan::Incremental(blocks, clusterSize);
        auto baselineIncr = [&] {
            Progress("  [%s] baseline incremental ...", label.c_str());
            Settle(); // the same pause before both sides of a figure
            double receive = 0;
            const CpuClock cpu;
            const double s =
                Baseline::ReceiveAndCopyImage(id, incrPlan, m_pool, streamFile, image, incrCopy, &receive);
            Progress(" %.2f s (received after %.2f s, fsync %.2f s)\n", s, receive,
                     Baseline::LastSyncSeconds());
            incrBase.Add(s, cpu.Seconds());
            if (s >= 0)
                incrSync.Add(Baseline::LastSyncSeconds(), 0);
            hl::Os().DeleteFile(streamFile);
            hl::Os().DeleteFile(incrCopy);
        };
        auto serviceIncr = [&] {
            Progress("  [%s] Harborlock incremental ...", label.c_str());
            std::string failure;
            double transfer = 0;
            const CpuClock cpu;
            const double s = ServiceBackup(id, false, incrPlan, failure, &transfer);
            Progress(" %.2f s (DONE after %.2f s, answered %.3f s after the last cluster)%s%s\n", s, transfer,
                     m_client.LastDoneSeconds(), failure.empty() ? "" : " ", failure.c_str());
            if (s >= 0)
                incrDone.Add(m_client.LastDoneSeconds(), 0);
            image = m_service.CurrentImageFiles(serverID);
            if (s >= 0 && TotalSize(image) != imageBytes) {
                incrNote = "merged image has the wrong size";
                image.clear();
                return;
            }
            if (s < 0) {
                incrNote = failure;
                image.clear();
                return;
            }
            incr.Add(s, cpu.Seconds());
        };
        if (baseFirst) {
            baselineIncr();
            serviceIncr();
        } else {
            serviceIncr();
            baselineIncr();
        }
        if (image.empty())
            break;

        // 4. Restore of the merged image.
        auto baselineRestore = [&] {
            Progress("  [%s] baseline restore ...", label.c_str());
            Settle(); // the same pause before both sides of a figure
            std::uint64_t bytes = 0;
            const CpuClock cpu;
            const double s = Baseline::SendFiles(image, bytes);
            Progress(" %.2f s\n", s);
            if (bytes != imageBytes)
                restoreNote = "baseline moved the wrong number of bytes";
            else
                restoreBase.Add(s, cpu.Seconds());
        };
        auto serviceRestore = [&] {
            Progress("  [%s] Harborlock restore ...", label.c_str());
            Settle();
            const CpuClock cpu;
            const auto start = Clock::now();
            const RestoreCheck check = m_client.Restore(id, blocks, true, m_pool, false);
            const double s = Seconds(start);
            Progress(" %.2f s (header after %.3f s)%s%s\n", s, check.answerSeconds,
                     check.failure.empty() ? "" : " ", check.failure.c_str());
            if (!check.done || !check.failure.empty())
                restoreNote = check.failure.empty() ? "no DONE" : check.failure;
            else if (!check.contentOk)
                restoreNote = "restored data differs from what was backed up";
            else
                restore.Add(s, cpu.Seconds());
        };
        // One unmeasured restore compares every record with what was backed up.
        if (r == 0) {
            Settle();
            const RestoreCheck check = m_client.Restore(id, blocks, true, m_pool, true);
            if (!check.done || !check.contentOk) {
                restoreNote = "restored data differs from what was backed up";
                Progress("  [%s] restored data differs from what was backed up\n", label.c_str());
                break;
            }
        }
        for (int round = 0; round < m_o.restoreRounds; ++round) {
            if ((r + round) % 2 == 0) {
                baselineRestore();
                serviceRestore();
            } else {
                serviceRestore();
                baselineRestore();
            }
        }
    }
    m_service.ForgetServer(serverID);
    fs::remove_all(base);

    const double fullTarget = small ? 1.5 : 0.65;
    const double otherTarget = small ? 1.5 : 1.0;
    table.Add({"Full backup, no scratch (one write), " + label, "s", full.value, fullBase.value, fullTarget,
               fullNote, full.cpu, fullBase.cpu});
    table.Add({"Full backup, " + std::to_string(m_o.scratchPercent) + " % scratch, " + label, "s",
               scratchFull.value, scratchFullBase.value, otherTarget, scratchNote, scratchFull.cpu,
               scratchFullBase.cpu});
    table.Add({"Incremental (10 % new), " + label, "s", incr.value, incrBase.value, otherTarget, incrNote,
               incr.cpu, incrBase.cpu});
    table.Add({"Restore, " + label, "s", restore.value, restoreBase.value, otherTarget, restoreNote,
               restore.cpu, restoreBase.cpu});
    // Durable DONE: the transfer files are synced before the answer. Compared with one fsync
    // of the same bytes at the end of the baseline's copy; the service starts its write-back
    // as the files grow, so far less is left for its sync.
    auto ms = [](double seconds) { return seconds < 0 ? seconds : seconds * 1000; };
    table.Add({"DONE answer after the last cluster, full, " + label, "ms", ms(fullDone.value),
               ms(fullSync.value), 1.10, "baseline: the fsync of its copy"});
    table.Add({"DONE answer after the last cluster, incremental, " + label, "ms", ms(incrDone.value),
               ms(incrSync.value), 1.10, "baseline: the fsync of its copy"});
}

void Runner::Memory(ResultTable& table)
{
    const std::uint32_t count = m_o.memoryClusters;
    const std::uint32_t clusterSize = 512;
    const std::uint32_t length = 64;
    const double budgetMiB = 16.0 + 8.0 * count / kMiB;
    const std::string label = "Memory: peak RSS added, " + std::to_string(count) + " scratch clusters";
    ResultRow row{label, "MiB", -1, budgetMiB, 1.0, ""};

    const std::string root = hl::JoinPath(m_o.work, "memory");
    fs::remove_all(root);
    fs::create_directories(root);
    const std::string self = hl::Os().ExecutablePath();
    const std::string host = hl::JoinPath(fs::path(self).parent_path().string(), "harborlock-bench-host");
    MemoryProbe probe;
    Progress("  memory: %u scratch clusters of %u bytes into a service of its own ...", count, length);
    if (!probe.Start(host, root)) {
        row.note = "host did not start";
        table.Add(row);
        return;
    }
    BenchClient client(probe.Port());
    client.Ping();
    const std::int64_t idle = probe.PeakBytes();
    BackupIdentity id;
    id.clusterSize = clusterSize;
    BenchPlan plan = BenchPlan::ScratchOnly(count, clusterSize, length);
    std::string failure;
    const bool pushed = client.Push(id, true, plan, m_pool, failure);
    // A ping is answered only once the worker has merged, committed and ended.
    const bool idleAgain = pushed && client.Ping();
    const std::int64_t peak = probe.PeakBytes();
    probe.Stop();

    // The committed image proves the backup went through.
    std::uint64_t imageBytes = 0;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file() && e.path().filename().string().rfind("backup_", 0) == 0 &&
            e.path().filename() != "backup.cfg" &&
            e.path().filename().string().find("_cfg") == std::string::npos)
            imageBytes += e.file_size();
    const std::uint64_t expected = 20 + std::uint64_t(count) * (12 + length);
    if (!pushed || !idleAgain || idle < 0 || peak < 0) {
        row.note = pushed ? "service did not finish" : failure;
    } else if (imageBytes != expected) {
        row.note = "stored image has the wrong size";
    } else {
        row.harborlock = double(peak - idle) / kMiB;
        char note[96];
        std::snprintf(note, sizeof note, "idle %.1f MiB, peak %.1f MiB", idle / kMiB, peak / kMiB);
        row.note = note;
    }
    Progress(" %s\n", row.note.c_str());
    fs::remove_all(root);
    table.Add(row);
}

void Runner::Growth(ResultTable& table)
{
    BackupIdentity id;
    id.serialNumber = 0x0B3C4D5F;
    id.clusterSize = 65536;
    const std::string serverID = HLKWire::formatServerId(id.serialNumber);
    std::vector<double> perGiB;
    std::vector<std::string> notes;
    for (std::uint64_t size : m_o.growth) {
        m_service.ForgetServer(serverID);
        m_service.PrepareServer(serverID);
        // The service asks for 2.2 times the announced size; the plain copy needs twice it.
        const std::uint64_t needed = size * 23 / 10 + (1ull << 30);
        if (FreeBytes(m_o.work) < needed) {
            perGiB.push_back(-1);
            notes.push_back("skipped: " + SizeText(needed) + " of free disk needed");
            continue;
        }
        const std::uint32_t blocks = static_cast<std::uint32_t>(size / id.clusterSize);
        BenchPlan plan = BenchPlan::Full(blocks, id.clusterSize);
        // The plain receive-and-copy at the same size shows what the machine itself does as
        // the size grows (page cache, writeback), next to what the service does.
        const std::string base = hl::JoinPath(m_o.work, "baseline");
        fs::create_directories(base);
        Progress("  growth: baseline full backup of %s ...", SizeText(size).c_str());
        Settle();
        const double plain = Baseline::ReceiveAndCopy(id, plan, m_pool, hl::JoinPath(base, "stream.bin"),
                                                      hl::JoinPath(base, "copy.bin"));
        fs::remove_all(base);
        Progress(" %.2f s\n", plain);
        char plainNote[64] = "";
        if (plain > 0)
            std::snprintf(plainNote, sizeof plainNote, "plain copy %.2f s/GiB",
                          plain / (double(size) / kGiB));
        Progress("  growth: Harborlock full backup of %s ...", SizeText(size).c_str());
        std::string failure;
        const double s = ServiceBackup(id, true, plan, failure);
        const std::uint64_t stored = TotalSize(m_service.CurrentImageFiles(serverID));
        Progress(" %.2f s%s%s\n", s, failure.empty() ? "" : " ", failure.c_str());
        if (s >= 0 && stored == 20 + std::uint64_t(blocks) * (12 + id.clusterSize)) {
            perGiB.push_back(s / (double(size) / kGiB));
            notes.push_back(plainNote);
        } else {
            perGiB.push_back(-1);
            notes.push_back(s < 0 ? failure : "stored image has the wrong size");
        }
    }
    m_service.ForgetServer(serverID);
    const double first = perGiB.empty() ? -1 : perGiB.front();
    for (std::size_t i = 0; i < perGiB.size(); ++i) {
        ResultRow row{"Growth: full backup per GiB at " + SizeText(m_o.growth[i]),
                      "s/GiB",
                      perGiB[i],
                      first,
                      1.15,
                      notes[i]};
        if (i == 0)
            row.note = row.note.empty() ? "reference" : "reference; " + row.note;
        table.Add(row);
    }
}

namespace {

// One full backup with scratch, an incremental into it and a restore of the result, through
// a service in a process of its own. Times in seconds (negative where a step failed).
struct LargeRun {
    double full = -1;
    double incremental = -1;
    double restore = -1;
    std::uint64_t scratchClusters = 0;
    std::uint64_t scratchBelowSwitch = 0; // of them, starting below 4 GiB of scratch data
    std::string note;
};

// Push and wait until the worker has committed and ended (a ping is answered only then).
double PushAndSettle(BenchClient& client, const BackupIdentity& id, bool full, BenchPlan& plan,
                     const DataPool& pool, std::string& failure)
{
    const auto start = Clock::now();
    if (!client.Push(id, full, plan, pool, failure))
        return -1;
    if (!client.Ping()) {
        failure = "the service did not finish";
        return -1;
    }
    return Seconds(start);
}

std::uint64_t StoredImageBytes(const std::string& root, const std::string& serverID)
{
    std::uint64_t bytes = 0;
    const fs::path dir = fs::path(root) / "backups" / serverID;
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(dir, ec)) {
        const std::string name = e.path().filename().string();
        if (e.is_regular_file() && name.rfind("backup_", 0) == 0 && name.find("_cfg") == std::string::npos)
            bytes += e.file_size();
    }
    return bytes;
}

LargeRun RunLarge(BenchClient& client, const std::string& root, const DataPool& pool, std::uint32_t serial,
                  std::uint64_t size, int scratchPercent, const char* label)
{
    LargeRun run;
    BackupIdentity id;
    id.serialNumber = serial;
    id.clusterSize = 65536;
    const std::string serverID = HLKWire::formatServerId(serial);
    const std::uint32_t blocks = static_cast<std::uint32_t>(size / id.clusterSize);
    const std::uint64_t imageBytes = 20 + std::uint64_t(blocks) * (12 + id.clusterSize);
    BenchPlan fullPlan = BenchPlan::FullWithScratch(blocks, id.clusterSize, scratchPercent);
    PlannedCluster c;
    std::uint64_t scratchBytes = 0;
    while (fullPlan.Next(c)) {
        if (c.mode != kModeScratch)
            continue;
        run.scratchClusters += 1;
        if (scratchBytes < (1ull << 32))
            run.scratchBelowSwitch += 1;
        scratchBytes += 12 + c.length;
    }
    fullPlan.Rewind();
    std::string failure;
    Progress("  large: %s full backup with %d %% scratch ...", label, scratchPercent);
    run.full = PushAndSettle(client, id, true, fullPlan, pool, failure);
    Progress(" %.2f s%s%s\n", run.full, failure.empty() ? "" : " ", failure.c_str());
    if (run.full < 0 || StoredImageBytes(root, serverID) != imageBytes) {
        run.note = run.full < 0 ? failure : "stored image has the wrong size";
        run.full = -1;
        return run;
    }
    BenchPlan incrPlan = BenchPlan::Incremental(blocks, id.clusterSize);
    Progress("  large: %s incremental ...", label);
    run.incremental = PushAndSettle(client, id, false, incrPlan, pool, failure);
    Progress(" %.2f s%s%s\n", run.incremental, failure.empty() ? "" : " ", failure.c_str());
    if (run.incremental < 0 || StoredImageBytes(root, serverID) != imageBytes) {
        run.note = run.incremental < 0 ? failure : "merged image has the wrong size";
        run.incremental = -1;
        return run;
    }
    Progress("  large: %s restore ...", label);
    const auto start = Clock::now();
    const RestoreCheck check = client.Restore(id, blocks, true, pool, false);
    const double s = Seconds(start);
    Progress(" %.2f s%s%s\n", s, check.failure.empty() ? "" : " ", check.failure.c_str());
    if (check.done && check.failure.empty() && check.contentOk && check.records == blocks)
        run.restore = s;
    else
        run.note = check.failure.empty() ? "restore incomplete" : check.failure;
    return run;
}

} // namespace

void Runner::Large(ResultTable& table)
{
    const std::uint64_t size = m_o.large;
    const std::uint64_t reference = m_o.largeReference;
    const std::string sizeText = SizeText(size);
    const std::string refText = SizeText(reference);
    // The service asks for 2.2 times the announced size at SIZE; the incremental then needs
    // the image and a new one beside it.
    const std::uint64_t needed = size * 23 / 10 + (2ull << 30);
    auto skip = [&](const std::string& why) {
        table.Add({"Large: full backup, " + std::to_string(m_o.scratchPercent) + " % scratch, per GiB at " +
                       sizeText,
                   "s/GiB", -1, -1, 1.25, why});
    };
    if (FreeBytes(m_o.work) < needed) {
        skip("skipped: " + SizeText(needed) + " of free disk needed");
        return;
    }
    const std::string root = hl::JoinPath(m_o.work, "large");
    fs::remove_all(root);
    fs::create_directories(root);
    const std::string self = hl::Os().ExecutablePath();
    const std::string host = hl::JoinPath(fs::path(self).parent_path().string(), "harborlock-bench-host");
    MemoryProbe probe;
    if (!probe.Start(host, root,
                     {HLKWire::formatServerId(0x0C0FFEE1), HLKWire::formatServerId(0x0C0FFEE2)})) {
        skip("host did not start");
        return;
    }
    BenchClient client(probe.Port());
    client.Ping();
    const std::int64_t idle = probe.PeakBytes();
    // The reference size: best of the repeats (it is short, and the noise of a shared machine
    // weighs more on it).
    LargeRun best;
    for (int r = 0; r < m_o.repeat; ++r) {
        const LargeRun ref =
            RunLarge(client, root, m_pool, 0x0C0FFEE1, reference, m_o.scratchPercent, refText.c_str());
        auto keep = [](double& into, double v) {
            if (v >= 0 && (into < 0 || v < into))
                into = v;
        };
        keep(best.full, ref.full);
        keep(best.incremental, ref.incremental);
        keep(best.restore, ref.restore);
        if (!ref.note.empty())
            best.note = ref.note;
    }
    const LargeRun large =
        RunLarge(client, root, m_pool, 0x0C0FFEE2, size, m_o.scratchPercent, sizeText.c_str());
    const std::int64_t peak = probe.PeakBytes();
    probe.Stop();
    fs::remove_all(root);

    // What the machine itself does as the size grows: the plain receive-and-copy of the same
    // full backups, per GiB, at both sizes (best of the repeats at the reference size).
    auto plainPerGiB = [&](std::uint64_t bytes, int runs) {
        BackupIdentity id;
        id.clusterSize = 65536;
        const std::string base = hl::JoinPath(m_o.work, "baseline");
        double best = -1;
        for (int r = 0; r < runs; ++r) {
            fs::create_directories(base);
            BenchPlan plan = BenchPlan::FullWithScratch(static_cast<std::uint32_t>(bytes / id.clusterSize),
                                                        id.clusterSize, m_o.scratchPercent);
            Progress("  large: baseline full backup of %s ...", SizeText(bytes).c_str());
            Settle();
            const double s = Baseline::ReceiveAndCopy(id, plan, m_pool, hl::JoinPath(base, "stream.bin"),
                                                      hl::JoinPath(base, "copy.bin"));
            Progress(" %.2f s\n", s);
            fs::remove_all(base);
            if (s >= 0 && (best < 0 || s < best))
                best = s;
        }
        return best < 0 ? -1.0 : best / (double(bytes) / kGiB);
    };
    const double plainRef = plainPerGiB(reference, m_o.repeat);
    const double plainLarge = plainPerGiB(size, 1);
    char plainNote[96] = "";
    if (plainRef > 0 && plainLarge > 0)
        std::snprintf(plainNote, sizeof plainNote, "plain receive-and-copy %.2f s/GiB at %s, %.2f at %s",
                      plainLarge, sizeText.c_str(), plainRef, refText.c_str());

    const double refGiB = double(reference) / kGiB;
    const double largeGiB = double(size) / kGiB;
    auto perGiB = [](double s, double gib) { return s < 0 ? -1.0 : s / gib; };
    const std::string pct = std::to_string(m_o.scratchPercent) + " % scratch";
    const std::string failure = large.note.empty() ? best.note : large.note;
    const std::string note = failure.empty() ? std::string(plainNote) : failure;
    table.Add({"Large: full backup, " + pct + ", per GiB at " + sizeText + " (baseline: at " + refText + ")",
               "s/GiB", perGiB(large.full, largeGiB), perGiB(best.full, refGiB), 1.25, note});
    table.Add({"Large: incremental (10 % new), per GiB at " + sizeText + " (baseline: at " + refText + ")",
               "s/GiB", perGiB(large.incremental, largeGiB), perGiB(best.incremental, refGiB), 1.25,
               failure});
    table.Add({"Large: restore, per GiB at " + sizeText + " (baseline: at " + refText + ")", "s/GiB",
               perGiB(large.restore, largeGiB), perGiB(best.restore, refGiB), 1.25, failure});
    // 8 bytes per scratch cluster below 4 GiB of scratch data, 16 above.
    const double budgetMiB = 16.0 + (8.0 * double(large.scratchBelowSwitch) +
                                     16.0 * double(large.scratchClusters - large.scratchBelowSwitch)) /
                                        kMiB;
    ResultRow memory{"Large: peak RSS added, " + sizeText + " with " + std::to_string(large.scratchClusters) +
                         " scratch clusters (baseline: budget)",
                     "MiB",
                     -1,
                     budgetMiB,
                     1.0,
                     ""};
    if (idle >= 0 && peak >= 0 && large.full >= 0) {
        memory.harborlock = double(peak - idle) / kMiB;
        char text[96];
        std::snprintf(text, sizeof text, "idle %.1f MiB, peak %.1f MiB", idle / kMiB, peak / kMiB);
        memory.note = text;
    } else {
        memory.note = "not measured";
    }
    table.Add(memory);
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
