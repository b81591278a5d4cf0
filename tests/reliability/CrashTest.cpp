// Crash test: the service runs as its own process (harborlock-host) and is killed with
// SIGKILL during transfers, merges and commits, either from outside at a random moment or by
// itself just before its Nth file-system change. After every kill a fresh host must restore
// every committed backup byte for byte, hold the interrupted backup either whole or not at
// all, and take the next backup. And the Quarnex server's view holds: the next incremental is
// either refused or merged into exactly the image the server was last told is stored. The
// kills are aimed so that many land between the DONE answer and the commit.
//
// HARBORLOCK_CRASH_ITERATIONS (default 20) and HARBORLOCK_CRASH_SEED (default 1) set the run.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include "CBFMRepository.h"
#include "CBFMServer.h"
#include "HostProcess.h"
#include "QuarnexView.h"
#include "ReliabilitySupport.h"
#include "TestSandbox.h"

using namespace quarnexsim;
using reliability::Random;

namespace {

struct ServerPlan {
    SimHeader header;
    std::optional<SimImage> committed; // what a restore must return
};

enum class KillMode { DuringTransfer, AfterDone, AtOperation };

const char* ModeName(KillMode m)
{
    switch (m) {
    case KillMode::DuringTransfer: return "timed kill during transfer";
    case KillMode::AfterDone: return "timed kill after DONE";
    case KillMode::AtOperation: return "kill at a file-system change";
    }
    return "?";
}

bool HasLine(const std::vector<std::string>& notes, const std::string& prefix)
{
    return std::any_of(notes.begin(), notes.end(),
                       [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

std::uint64_t OpsOf(const std::vector<std::string>& notes, const std::string& prefix)
{
    for (const std::string& l : notes)
        if (l.rfind(prefix, 0) == 0) {
            const auto at = l.find(" ops=");
            if (at != std::string::npos)
                return std::strtoull(l.c_str() + at + 5, nullptr, 10);
        }
    return 0;
}

// Where the host was when it died, from the notifications it had posted.
std::string Phase(const std::vector<std::string>& notes)
{
    if (HasLine(notes, "SaveBackupDone"))
        return "after commit";
    if (HasLine(notes, "SaveBackupStarted"))
        return "merge/commit";
    if (HasLine(notes, "BackupTransferDone"))
        return "after transfer";
    if (HasLine(notes, "BackupStarted"))
        return "transfer";
    if (HasLine(notes, "BackupInitiated"))
        return "hello/size";
    return "before hello";
}

class CrashTest : public SandboxTest {
protected:
    // Temporary data files (and their control files) anywhere under dir.
    static std::vector<std::string> TemporaryFiles(const std::string& dir)
    {
        std::vector<std::string> out;
        for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
            const std::string name = e.path().filename().string();
            for (const char* prefix : {"main_", "scratch_", "merge_", "tmpbackup_"})
                if (name.rfind(prefix, 0) == 0)
                    out.push_back(e.path().string());
            // Records of a transfer or a commit still waiting for its end.
            for (const char* record : {"transfer.cfg", "commit.cfg", "current.cfg"})
                if (name == record)
                    out.push_back(e.path().string());
        }
        return out;
    }
    // Backup directories holding a backup.cfg but no image.
    static std::vector<std::string> RecordsWithoutImage(const std::string& dir)
    {
        std::vector<std::string> out;
        for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
            if (e.path().filename() == "backup.cfg" &&
                !std::filesystem::exists(e.path().parent_path() / "backup_cfg.dat"))
                out.push_back(e.path().parent_path().string());
        return out;
    }
};

TEST_F(CrashTest, KilledServiceKeepsEveryCommittedBackup)
{
    const std::uint64_t iterations = reliability::EnvNumber("HARBORLOCK_CRASH_ITERATIONS", 20);
    const std::uint64_t seed = reliability::EnvNumber("HARBORLOCK_CRASH_SEED", 1);
    Random rng(seed);
    const std::string root = SandboxPath("backups");

    std::map<std::uint32_t, ServerPlan> servers;
    servers[0x0001A2B3] = {SimHeader{0x0001A2B3, 4096, 7, 8, 9}, std::nullopt};
    servers[0x00C0FFEE] = {SimHeader{0x00C0FFEE, 1024, 1, 2, 3}, std::nullopt};
    servers[0x7F000001] = {SimHeader{0x7F000001, 512, 0, 0, 0}, std::nullopt};
    {
        // Incrementals stay allowed, and one old backup is kept beside the current one.
        CBFMRepository* repo = CBFMRepository::GetInstance(root.c_str());
        ASSERT_NE(repo, nullptr);
        for (auto& [serial, plan] : servers) {
            std::unique_ptr<CBFMServer> s = repo->CreateServer(reliability::ServerId(serial));
            ASSERT_TRUE(s);
            s->SetForceFullType(CBFMServer::Never);
            s->SetNumOldBackupsToKeep(1);
        }
        CBFMRepository::Release();
    }

    QuarnexView view;                   // what each Quarnex server believes is stored
    std::map<std::string, int> windows; // before DONE, between DONE and the commit, after the commit
    std::map<std::string, int> phases;
    std::map<std::string, int> kinds;
    std::set<std::uint64_t> commitOffsets; // op offsets after SaveBackupStarted that were hit
    std::map<std::string, int> outcomes;
    std::uint64_t opsPerBackup = 0;
    std::uint64_t opsToDone = 0; // from HELLO to the DONE answer
    std::uint64_t opsAtStart = 0;
    double mergeMs = 30;
    int run = 0;

    for (std::uint64_t it = 0; it < iterations; ++it) {
        SCOPED_TRACE("iteration " + std::to_string(it) + " of seed " + std::to_string(seed));
        auto serverIt = servers.begin();
        std::advance(serverIt, rng.Between(0, servers.size() - 1));
        const std::uint32_t serial = serverIt->first;
        ServerPlan& plan = serverIt->second;

        const bool full = !plan.committed || rng.Chance(30);
        PlanOptions po;
        po.clusterSize = plan.header.clusterSize;
        po.count = static_cast<std::uint32_t>(full ? rng.Between(60, 700) : rng.Between(5, 300));
        po.firstBlock = static_cast<std::uint32_t>(rng.Between(0, 400));
        po.blockStep = static_cast<std::uint32_t>(rng.Between(1, 3));
        po.scratchPercent = static_cast<int>(rng.Between(0, 40));
        po.varyLengths = rng.Chance(50);
        po.seed = static_cast<std::uint32_t>(rng.Between(1, 1u << 30));
        const std::vector<SimCluster> clusters = ClusterPlan::Generate(po);

        KillMode mode = static_cast<KillMode>(rng.Between(0, 2));
        if (mode == KillMode::AtOperation && opsPerBackup == 0)
            mode = KillMode::AfterDone;
        std::uint64_t killAt = 0;
        if (mode == KillMode::AtOperation) {
            // Half the time aim at the merge and commit, which hold few of the changes.
            const std::uint64_t span = opsPerBackup + opsPerBackup / 4 + 1;
            // Mostly aim between the DONE answer and the commit, which holds few of the changes.
            const std::uint64_t offset = rng.Chance(70) && opsToDone < opsPerBackup
                                             ? rng.Between(opsToDone, opsPerBackup + 1)
                                             : rng.Between(1, span);
            killAt = opsAtStart + offset;
        }

        // The host that will be killed.
        HostProcess victim;
        std::string why;
        HostProcess::Options vo;
        vo.root = root;
        vo.workDir = SandboxPath("run" + std::to_string(run++));
        vo.killAtOp = killAt;
        ASSERT_TRUE(victim.Start(vo, why)) << why;

        PushResult pushed;
        PushOptions options;
        options.fallbackToFull = true;
        std::thread pusher([&] {
            QuarnexSim sim("127.0.0.1", victim.Port());
            sim.SetTimeoutMs(20000);
            pushed = sim.Push(plan.header, full, clusters, options);
        });
        if (mode == KillMode::DuringTransfer) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (!HasLine(victim.Notes(), "BackupStarted") && std::chrono::steady_clock::now() < deadline &&
                   victim.Running())
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            std::this_thread::sleep_for(std::chrono::microseconds(rng.Between(0, 40000)));
            victim.Kill();
            pusher.join();
        } else if (mode == KillMode::AfterDone) {
            pusher.join();
            std::this_thread::sleep_for(
                std::chrono::microseconds(rng.Between(0, static_cast<std::uint64_t>(mergeMs * 1100))));
            victim.Kill();
        } else {
            pusher.join();
            // Not yet dead: the chosen change lay beyond this backup; kill it once it is idle.
            if (victim.Running() && testsupport::ServiceIdle(victim.Port()))
                victim.Kill();
            victim.Kill();
        }
        ASSERT_TRUE(victim.KilledBySigkill()) << "host ended otherwise: " << victim.ErrorOutput();

        const std::vector<std::string> notes = victim.Notes();
        const std::string phase = Phase(notes);
        ++phases[phase];
        view.Pushed(plan.header, full, clusters, pushed);
        const bool committedBeforeKill = HasLine(notes, "SaveBackupDone 1");
        const char* window = !pushed.completed      ? "before the DONE answer"
                             : !committedBeforeKill ? "between DONE and the commit"
                                                    : "after the commit";
        ++windows[window];
        const std::string err = victim.ErrorOutput();
        if (const auto at = err.find("Killed at op "); at != std::string::npos) {
            char kind[32] = {};
            unsigned long long n = 0;
            if (std::sscanf(err.c_str() + at, "Killed at op %llu %31s", &n, kind) == 2) {
                ++kinds[std::string(kind)];
                const std::uint64_t saveOps = OpsOf(notes, "SaveBackupStarted");
                if (phase == "merge/commit" && saveOps)
                    commitOffsets.insert(n - saveOps);
            }
        }
        if (HasLine(notes, "SaveBackupDone 1") && OpsOf(notes, "BackupInitiated")) {
            opsPerBackup = OpsOf(notes, "SaveBackupDone 1") - OpsOf(notes, "BackupInitiated");
            opsToDone = OpsOf(notes, "BackupTransferDone 1") - OpsOf(notes, "BackupInitiated");
        }
        const bool asFull = full || pushed.fellBackToFull;
        const SimImage fresh = asFull ? MergeModel::Full(plan.header, clusters)
                                      : MergeModel::Incremental(*plan.committed, plan.header, clusters);

        // A fresh host over what the killed one left behind.
        HostProcess host;
        HostProcess::Options ho;
        ho.root = root;
        ho.workDir = SandboxPath("run" + std::to_string(run++));
        ASSERT_TRUE(host.Start(ho, why))
            << why << " after a kill (" << ModeName(mode) << ", " << phase << ")";
        opsAtStart = host.OpsAtStart();
        // A merge the restart finished before it listened was reported as saved.
        if (HasLine(host.Notes(), "SaveBackupDone 1"))
            ++outcomes["acknowledged backup finished at the restart"];
        if (HasLine(host.Notes(), "BackupNotSaved"))
            ++outcomes["acknowledged backup given up at the restart"];
        std::optional<SimImage> restoredNow;

        for (auto& [s, p] : servers) {
            SCOPED_TRACE("server " + reliability::ServerId(s) + ", " + ModeName(mode) + ", killed " + phase);
            const reliability::RestoreOutcome r = reliability::RestoreFrom(host.Port(), s);
            if (s != serial) {
                if (!p.committed) {
                    ASSERT_TRUE(r.refused) << "a server without backups restored something";
                } else {
                    ASSERT_TRUE(r.complete) << "committed backup did not restore: " << r.failure;
                    ASSERT_TRUE(reliability::SameImage(r.image, *p.committed))
                        << "restored " << reliability::Describe(r.image) << ", committed "
                        << reliability::Describe(*p.committed);
                }
                continue;
            }
            // The interrupted server: the new image whole, or the previous state.
            if (r.complete)
                restoredNow = r.image;
            if (r.complete && reliability::SameImage(r.image, fresh)) {
                ++outcomes["interrupted backup committed"];
                p.committed = fresh;
            } else if (committedBeforeKill) {
                FAIL() << "a backup reported saved before the kill is gone: restored "
                       << (r.complete ? reliability::Describe(r.image) : "nothing");
            } else if (!p.committed) {
                ASSERT_TRUE(r.refused) << "neither absent nor the new image: "
                                       << (r.complete ? reliability::Describe(r.image) : r.failure);
                ++outcomes["interrupted backup absent"];
            } else {
                ASSERT_TRUE(r.complete) << "previous backup did not restore: " << r.failure;
                ASSERT_TRUE(reliability::SameImage(r.image, *p.committed))
                    << "neither the previous nor the new image: restored " << reliability::Describe(r.image)
                    << ", previous " << reliability::Describe(*p.committed) << ", new "
                    << reliability::Describe(fresh);
                ++outcomes["interrupted backup absent"];
            }
        }

        // The next backup of the same server goes through: an incremental whenever the Quarnex
        // server believes a backup is stored, as it would send one.
        PlanOptions next = po;
        next.count = static_cast<std::uint32_t>(rng.Between(5, 80));
        next.seed = po.seed + 1;
        const std::vector<SimCluster> nextClusters = ClusterPlan::Generate(next);
        const bool nextFull = !view.Believed(serial);
        QuarnexSim sim("127.0.0.1", host.Port());
        sim.SetTimeoutMs(20000);
        const PushResult np = sim.Push(plan.header, nextFull, nextClusters, options);
        ASSERT_TRUE(np.completed) << "the backup after the restart failed: " << np.failure;
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_TRUE(testsupport::ServiceIdle(host.Port()));
        mergeMs = std::max(
            2.0, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        if (!nextFull) {
            std::string why2;
            ASSERT_TRUE(view.Holds(serial, restoredNow, np.fellBackToFull, why2))
                << why2 << " (" << ModeName(mode) << ", killed " << window << ")";
            ++outcomes[np.fellBackToFull ? "next incremental refused (full instead)"
                                         : "next incremental merged into the acknowledged image"];
        }
        view.Pushed(plan.header, nextFull, nextClusters, np);
        ASSERT_TRUE(HasLine(host.Notes(), "SaveBackupDone 1"))
            << "the backup after the restart was not saved";
        plan.committed = (nextFull || np.fellBackToFull)
                             ? MergeModel::Full(plan.header, nextClusters)
                             : MergeModel::Incremental(*plan.committed, plan.header, nextClusters);
        const reliability::RestoreOutcome after = reliability::RestoreFrom(host.Port(), serial);
        ASSERT_TRUE(after.complete && reliability::SameImage(after.image, *plan.committed))
            << "the backup after the restart does not restore";
        // What the killed host left half done is gone once a host ran again.
        const std::vector<std::string> left = TemporaryFiles(root);
        ASSERT_TRUE(left.empty()) << left.size() << " temporary files left behind, e.g. " << left.front();
        for (const std::string& dir : RecordsWithoutImage(root))
            ADD_FAILURE() << "a record without an image was left behind: " << dir;
        if (HasFailure())
            return;
        ASSERT_TRUE(host.Stop()) << "host did not stop cleanly: " << host.ErrorOutput();
        std::filesystem::remove_all(vo.workDir);
        std::filesystem::remove_all(ho.workDir);
    }

    std::printf("[ crash ] seed %llu, %llu iterations\n", static_cast<unsigned long long>(seed),
                static_cast<unsigned long long>(iterations));
    for (const auto& [k, v] : windows)
        std::printf("[ crash ] killed %-28s %d\n", k.c_str(), v);
    for (const auto& [k, v] : phases)
        std::printf("[ crash ] killed %-16s %d\n", k.c_str(), v);
    for (const auto& [k, v] : kinds)
        std::printf("[ crash ] killed before a %-10s %d\n", k.c_str(), v);
    for (const auto& [k, v] : outcomes)
        std::printf("[ crash ] %-30s %d\n", k.c_str(), v);
    std::printf("[ crash ] distinct crash points inside merge/commit: %zu\n", commitOffsets.size());
}

} // namespace
