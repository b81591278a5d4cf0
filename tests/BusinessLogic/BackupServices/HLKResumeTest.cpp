// A transfer that was acknowledged at DONE but whose process stopped before the commit leaves
// its files and a transfer record. The next start of the service merges and commits it, as
// its worker would have, before the first connection is served; one that cannot be finished
// is removed and reported, and the server's next backup is then a full one.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <semaphore>

#include "CBFMFile.h"
#include "HLKTestHarness.h"
#include "PlatformWrapper.h"

using namespace quarnexsim;
namespace fs = std::filesystem;

namespace {

const SimHeader kHeader{0x0001A2B3, 1024, 4, 5, 6};
const char* const kServerId = "0001A2B3";

// A disk on which creating the merge file waits until the test lets it go (20 s at most, so a
// test of the old order fails instead of hanging).
class HeldMergePlatform : public hl::PlatformWrapper {
public:
    HeldMergePlatform() : PlatformWrapper(hl::PosixPlatform()) {}
    int OpenFile(const std::string& path, hl::OpenMode mode) override
    {
        if (path.find("/merge_") != std::string::npos && !m_held.exchange(true)) {
            reached.release();
            letGo.try_acquire_for(std::chrono::seconds(20));
        }
        return PlatformWrapper::OpenFile(path, mode);
    }
    std::binary_semaphore reached{0};
    std::binary_semaphore letGo{0};

private:
    std::atomic<bool> m_held{false};
};

class HLKResumeTest : public SandboxTest {
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        m_root = SandboxPath("backups");
        HLKTimeouts t;
        t.payloadReadMs = 2000;
        t.commandPollMs = 50;
        t.listenerPollMs = 20;
        ASSERT_TRUE(testsupport::OpenServiceSingletons(m_root, window, t));
        std::unique_ptr<CBFMServer> s = Repo()->CreateServer(kServerId);
        ASSERT_TRUE(s);
        s->SetForceFullType(CBFMServer::Never);
    }
    void TearDown() override
    {
        testsupport::ReleaseServiceSingletons();
        SandboxTest::TearDown();
    }
    CBFMRepository* Repo() { return CBFMRepository::GetInstance(m_root.c_str()); }

    std::uint16_t Start()
    {
        if (!HLKBackup::GetInstance()->HLK_ResetEphemeral())
            return 0;
        return static_cast<std::uint16_t>(HLKBackup::GetInstance()->GetPort());
    }
    void Stop() { HLKBackup::Cleanup(); }

    void LeaveAcknowledgedTransfer(bool full, const std::vector<SimCluster>& clusters,
                                   std::int64_t scratchCountError = 0)
    {
        ::LeaveAcknowledgedTransfer(*Repo(), kHeader, full, clusters, scratchCountError);
    }

    bool IncrementalRefused(std::uint16_t port)
    {
        QuarnexSim sim("127.0.0.1", port);
        sim.SetTimeoutMs(20000);
        bool refused = false;
        EXPECT_TRUE(sim.OfferIncremental(kHeader, refused));
        return refused;
    }

    std::vector<std::string> Leftovers()
    {
        std::vector<std::string> out;
        for (const auto& e : fs::recursive_directory_iterator(m_root)) {
            const std::string name = e.path().filename().string();
            if (name == "transfer.cfg" || name == "commit.cfg" || name == "current.cfg" ||
                name.rfind("main_", 0) == 0 || name.rfind("scratch_", 0) == 0 || name.rfind("merge_", 0) == 0)
                out.push_back(e.path().string());
        }
        return out;
    }

    TestWindow window;
    std::string m_root;
};

std::vector<SimCluster> Clusters(std::uint32_t count, std::uint32_t seed, std::uint32_t first)
{
    PlanOptions po;
    po.clusterSize = kHeader.clusterSize;
    po.count = count;
    po.firstBlock = first;
    po.scratchPercent = 30;
    po.varyLengths = true;
    po.seed = seed;
    return ClusterPlan::Generate(po);
}

TEST_F(HLKResumeTest, AcknowledgedFullAndIncrementalAreSavedBeforeTheFirstConnection)
{
    const std::vector<SimCluster> first = Clusters(400, 1, 1);
    const SimImage a = MergeModel::Full(kHeader, first);
    LeaveAcknowledgedTransfer(true, first);
    std::uint16_t port = Start();
    ASSERT_NE(port, 0);
    // Saved through the designed notifications, before anything else was served.
    EXPECT_TRUE(window.WaitFor([](const Note& n) { return n.message == CM_HLKSaveBackupDone && n.success; }));
    const std::vector<unsigned> saved = {CM_HLKSaveBackupStarted, CM_HLKSaveBackupDone};
    std::vector<unsigned> seq = window.Sequence();
    seq.erase(std::remove(seq.begin(), seq.end(), unsigned(CM_HLKProgress)), seq.end());
    EXPECT_EQ(seq, saved);
    SimImage restored;
    {
        QuarnexSim sim("127.0.0.1", port);
        sim.SetTimeoutMs(20000);
        ASSERT_TRUE(sim.Restore(kHeader.serialNumber, restored).gotDone);
    }
    EXPECT_EQ(MergeModel::Serialize(restored), MergeModel::Serialize(a));
    EXPECT_TRUE(Leftovers().empty()) << Leftovers().front();
    EXPECT_FALSE(IncrementalRefused(port)) << "the resumed full backup is the current one";
    Stop();

    // An acknowledged incremental into it.
    window.Clear();
    const std::vector<SimCluster> second = Clusters(120, 2, 200);
    LeaveAcknowledgedTransfer(false, second);
    port = Start();
    ASSERT_NE(port, 0);
    EXPECT_TRUE(window.WaitFor([](const Note& n) { return n.message == CM_HLKSaveBackupDone && n.success; }));
    {
        QuarnexSim sim("127.0.0.1", port);
        sim.SetTimeoutMs(20000);
        ASSERT_TRUE(sim.Restore(kHeader.serialNumber, restored).gotDone);
    }
    EXPECT_EQ(MergeModel::Serialize(restored),
              MergeModel::Serialize(MergeModel::Incremental(a, kHeader, second)));
    EXPECT_TRUE(Leftovers().empty()) << Leftovers().front();
    std::unique_ptr<CBFMServer> server = Repo()->GetServer(kServerId);
    ASSERT_TRUE(server);
    std::string current;
    EXPECT_TRUE(server->GetCurrentBackup(current));
    EXPECT_EQ(server->GetBackup(current)->NumIncrementals(), 1);
}

TEST_F(HLKResumeTest, TheResumedMergeDoesNotHoldTheThreadThatStartsTheService)
{
    const std::vector<SimCluster> first = Clusters(100, 5, 1);
    LeaveAcknowledgedTransfer(true, first);
    HeldMergePlatform disk;
    {
        hl::ScopedPlatform use(disk);
        ASSERT_NE(Start(), 0);
        // The start came back while the merge waits on the disk; nothing is saved yet.
        ASSERT_TRUE(disk.reached.try_acquire_for(std::chrono::seconds(20)));
        const std::vector<unsigned> seq = window.Sequence();
        EXPECT_EQ(std::count(seq.begin(), seq.end(), unsigned(CM_HLKSaveBackupDone)), 0);
        disk.letGo.release();
        EXPECT_TRUE(
            window.WaitFor([](const Note& n) { return n.message == CM_HLKSaveBackupDone && n.success; }));
        Stop();
    }
    EXPECT_TRUE(Leftovers().empty()) << Leftovers().front();
}

TEST_F(HLKResumeTest, ATransferThatDoesNotMatchItsRecordIsGivenUpAndTheNextBackupIsFull)
{
    // A committed full backup, then an acknowledged incremental whose scratch file holds one
    // record fewer than its record says.
    const std::vector<SimCluster> first = Clusters(200, 3, 1);
    LeaveAcknowledgedTransfer(true, first);
    ASSERT_NE(Start(), 0);
    Stop();
    window.Clear();
    LeaveAcknowledgedTransfer(false, Clusters(50, 4, 20), 1);

    const std::uint16_t port = Start();
    ASSERT_NE(port, 0);
    EXPECT_TRUE(
        window.WaitFor([](const Note& n) { return n.message == CM_HLKSaveBackupDone && !n.success; }));
    EXPECT_TRUE(window.WaitFor(
        [](const Note& n) { return n.message == CM_HLKBackupNotSaved && n.text == kServerId; }));
    EXPECT_TRUE(Leftovers().empty()) << Leftovers().front();
    EXPECT_TRUE(IncrementalRefused(port));
    // The previous image still restores (the most recent backup, as none is current).
    SimImage restored;
    QuarnexSim sim("127.0.0.1", port);
    sim.SetTimeoutMs(20000);
    ASSERT_TRUE(sim.Restore(kHeader.serialNumber, restored).gotDone);
    EXPECT_EQ(MergeModel::Serialize(restored), MergeModel::Serialize(MergeModel::Full(kHeader, first)));
}

} // namespace
