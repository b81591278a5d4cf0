// The Runner's figures at one cluster size, memory and growth; the large figure is in
// BenchLarge.cpp.
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

namespace bench {

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

void Progress(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fflush(stderr);
}

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

} // namespace bench
