// harborlock-bench: the backup service against plain programs moving the same bytes over
// loopback and through the same disk, side by side in one run (see README.md).
//
//   harborlock-bench [--size 2G] [--quick] [--repeat N] [--work DIR] [--markdown FILE]
//                    [--clusters 65536,512] [--growth 256M,1G,4G] [--skip-memory]
//                    [--skip-growth] [--memory-clusters N] [--restore-rounds N] [--debug-log FILE]
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
        case 'K': case 'k': scale = 1ull << 10; break;
        case 'M': case 'm': scale = 1ull << 20; break;
        case 'G': case 'g': scale = 1ull << 30; break;
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
    int repeat = 2;
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
        } else if (a == "--size" && value(v)) {
            o.size = ParseSize(v);
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
    {
    }

    // Full, incremental and restore at one cluster size.
    void ClusterSizeSet(std::uint32_t clusterSize, ResultTable& table);
    void Memory(ResultTable& table);
    void Growth(ResultTable& table);

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
    const double target = clusterSize < 4096 ? 1.5 : 1.10;
    const double restoreTarget = clusterSize < 4096 ? 1.5 : 1.05;
    const std::string base = hl::JoinPath(m_o.work, "baseline");
    fs::create_directories(base);
    const std::string streamFile = hl::JoinPath(base, "stream.bin");
    const std::string copyFile = hl::JoinPath(base, "copy.bin");

    Best full, fullBase, incr, incrBase, restore, restoreBase;
    // The DONE answer's wait, next to what one fsync of the same stream costs the baseline.
    Best fullDone, fullSync, incrDone, incrSync;
    std::string fullNote, incrNote, restoreNote;
    for (int r = 0; r < m_o.repeat; ++r) {
        const bool baseFirst = r % 2 == 0;
        m_service.ForgetServer(serverID);
        if (!m_service.PrepareServer(serverID)) {
            fullNote = "server record not created";
            break;
        }

        // 1. Full backup.
        BenchPlan fullPlan = BenchPlan::Full(blocks, clusterSize);
        auto baselineFull = [&] {
            Progress("  [%s] baseline full backup ...", label.c_str());
            Settle(); // the same pause before both sides of a figure
            double receive = 0;
            const CpuClock cpu;
            const double s = Baseline::ReceiveAndCopy(id, fullPlan, m_pool, streamFile, copyFile, &receive);
            Progress(" %.2f s (received after %.2f s, fsync %.2f s)\n", s, receive, Baseline::LastSyncSeconds());
            fullBase.Add(s, cpu.Seconds());
            if (s >= 0)
                fullSync.Add(Baseline::LastSyncSeconds(), 0);
            hl::Os().DeleteFile(streamFile);
            hl::Os().DeleteFile(copyFile);
            if (s < 0)
                fullNote = "baseline failed";
        };
        std::vector<std::string> image;
        auto serviceFull = [&] {
            Progress("  [%s] Harborlock full backup ...", label.c_str());
            std::string failure;
            double transfer = 0;
            const CpuClock cpu;
            const double s = ServiceBackup(id, true, fullPlan, failure, &transfer);
            image = m_service.CurrentImageFiles(serverID);
            Progress(" %.2f s (DONE after %.2f s, answered %.3f s after the last cluster)%s%s\n", s, transfer,
                     m_client.LastDoneSeconds(), failure.empty() ? "" : " ", failure.c_str());
            if (s >= 0)
                fullDone.Add(m_client.LastDoneSeconds(), 0);
            if (s >= 0 && TotalSize(image) != imageBytes) {
                fullNote = "stored image has the wrong size";
                return;
            }
            if (s < 0)
                fullNote = failure;
            full.Add(s, cpu.Seconds());
        };
        if (baseFirst) {
            baselineFull();
            serviceFull();
        } else {
            serviceFull();
            baselineFull();
        }
        if (image.empty())
            break;

        // 2. Incremental: 10 % new clusters merged into the stored image.
        BenchPlan incrPlan = BenchPlan::Incremental(blocks, clusterSize);
        auto baselineIncr = [&] {
            Progress("  [%s] baseline incremental ...", label.c_str());
            Settle(); // the same pause before both sides of a figure
            double receive = 0;
            const CpuClock cpu;
            const double s = Baseline::ReceiveAndCopyImage(id, incrPlan, m_pool, streamFile, image, copyFile, &receive);
            Progress(" %.2f s (received after %.2f s, fsync %.2f s)\n", s, receive, Baseline::LastSyncSeconds());
            incrBase.Add(s, cpu.Seconds());
            if (s >= 0)
                incrSync.Add(Baseline::LastSyncSeconds(), 0);
            hl::Os().DeleteFile(streamFile);
            hl::Os().DeleteFile(copyFile);
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
                return;
            }
            if (s < 0)
                incrNote = failure;
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

        // 3. Restore of the merged image.
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
            Progress(" %.2f s (header after %.3f s)%s%s\n", s, check.answerSeconds, check.failure.empty() ? "" : " ",
                     check.failure.c_str());
            if (!check.done || !check.failure.empty())
                restoreNote = check.failure.empty() ? "no DONE" : check.failure;
            else if (!check.contentOk)
                restoreNote = "restored data differs from what was backed up";
            else
                restore.Add(s, cpu.Seconds());
        };
        // One unmeasured restore compares every record with what was backed up.
        {
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

    table.Add({"Full backup, " + label, "s", full.value, fullBase.value, target, fullNote, full.cpu, fullBase.cpu});
    table.Add({"Incremental (10 % new), " + label, "s", incr.value, incrBase.value, target, incrNote, incr.cpu,
               incrBase.cpu});
    table.Add({"Restore, " + label, "s", restore.value, restoreBase.value, restoreTarget, restoreNote, restore.cpu,
               restoreBase.cpu});
    // Durable DONE: the transfer files are synced before the answer. Compared with one fsync
    // of the same bytes at the end of the baseline's copy; the service starts its write-back
    // as the files grow, so far less is left for its sync.
    auto ms = [](double seconds) { return seconds < 0 ? seconds : seconds * 1000; };
    table.Add({"DONE answer after the last cluster, full, " + label, "ms", ms(fullDone.value), ms(fullSync.value), 1.10,
               "baseline: the fsync of its copy"});
    table.Add({"DONE answer after the last cluster, incremental, " + label, "ms", ms(incrDone.value),
               ms(incrSync.value), 1.10, "baseline: the fsync of its copy"});
}

void Runner::Memory(ResultTable& table)
{
    const std::uint32_t count = m_o.memoryClusters;
    const std::uint32_t clusterSize = 512;
    const std::uint32_t length = 64;
    const double budgetMiB = 16.0 + 8.0 * count / kMiB;
    const std::string label =
        "Memory: peak RSS added, " + std::to_string(count) + " scratch clusters";
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
            e.path().filename() != "backup.cfg" && e.path().filename().string().find("_cfg") == std::string::npos)
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
            std::snprintf(plainNote, sizeof plainNote, "plain copy %.2f s/GiB", plain / (double(size) / kGiB));
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
        ResultRow row{"Growth: full backup per GiB at " + SizeText(m_o.growth[i]), "s/GiB", perGiB[i],
                      first, 1.15, notes[i]};
        if (i == 0)
            row.note = row.note.empty() ? "reference" : "reference; " + row.note;
        table.Add(row);
    }
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
        std::fprintf(stderr, "harborlock-bench: %s free in %s, %s needed for %s\n", SizeText(FreeBytes(o.work)).c_str(),
                     o.work.c_str(), SizeText(needed).c_str(), SizeText(o.size).c_str());
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

    std::printf("\nHarborlock benchmark, %s, total size %s, best of %d\n\n%s", date.c_str(), SizeText(o.size).c_str(),
                o.repeat, table.Text().c_str());
    if (!o.markdown.empty()) {
        std::ofstream md(o.markdown);
        md << "Run " << date << " with `" << o.command << "` (best of " << o.repeat << ", " << SizeText(o.size)
           << " per figure):\n\n"
           << table.Markdown();
    }
    return table.AllMet() ? 0 : 3;
}
