// Restarting the service (new port, or the same port over a new backup folder) while a worker
// cannot see the stop: a transfer stalled half-way by a silent peer, an open restore prompt,
// a restore to a peer that stopped reading. The stop gives up on that worker; the new
// listener must still get the port at once, and the worker left behind must finish on the
// repository and window channel it started with.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>

#include "Eventually.h"
#include "HLKTestHarness.h"
#include "ServedPort.h"

using namespace quarnexsim;
namespace fs = std::filesystem;

namespace {

constexpr int kStopWaitMs = 1500;
constexpr int kPayloadMs = 6000; // longer than the stop wait: the stop must time out

enum class Stuck { StalledTransfer, OpenPrompt, PeerNotReading };
enum class Restart { NewPort, NewFolder };

// Backup directories left under a server's directory of a backup folder.
std::vector<std::string> BackupDirs(const std::string& root, const std::string& serverId)
{
    std::vector<std::string> dirs;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(root + "/" + serverId, ec))
        if (e.is_directory())
            dirs.push_back(e.path().filename().string());
    return dirs;
}

class HLKStopRestartTest : public ServiceTest,
                           public ::testing::WithParamInterface<std::tuple<Stuck, Restart>> {
protected:
    HLKTimeouts Timeouts() override
    {
        HLKTimeouts t = ServiceTest::Timeouts();
        t.threadStopMs = kStopWaitMs;
        t.payloadReadMs = kPayloadMs;
        t.payloadSendMs = kPayloadMs;
        return t;
    }

    // Moves the running service to a port of the served range (the fixture's is ephemeral),
    // so that a restart can keep it.
    void StartOnServedPort()
    {
        const int p = testsupport::StartOnServedPort(
            [](int candidate) { return HLKBackup::GetInstance()->HLK_Reset(candidate); });
        ASSERT_GT(p, 0) << "no served port could be bound";
        port = static_cast<std::uint16_t>(p);
    }

    bool PingBy(std::uint16_t p, std::chrono::steady_clock::time_point deadline)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        QuarnexSim sim("127.0.0.1", p);
        sim.SetTimeoutMs(static_cast<int>(left.count()));
        std::uint32_t response = 1;
        return sim.Ping(response) && response == kOk && std::chrono::steady_clock::now() <= deadline;
    }
};

constexpr std::uint32_t kStalledSerial = 0x00A1A1A1;
constexpr std::uint32_t kPromptSerial = 0x00B2B2B2;
constexpr std::uint32_t kRestoreSerial = 0x00C3C3C3;

TEST_P(HLKStopRestartTest, TheNewServiceGetsThePortAndTheWorkerLeftBehindEndsCleanly)
{
    const auto [stuck, restart] = GetParam();
    ASSERT_NO_FATAL_FAILURE(StartOnServedPort());
    const std::string oldRoot = m_root;
    const std::uint16_t oldPort = port;

    // ---- a worker that will not see the stop ----------------------------------------------
    QuarnexConnection peer;
    std::future<InquiryResult> inquiry;
    const SimHeader promptHeader{kPromptSerial, 512, 1, 2, 3};
    switch (stuck) {
    case Stuck::StalledTransfer: {
        window.Clear();
        ASSERT_TRUE(Connect(peer));
        const std::vector<std::uint8_t> hello =
            QuarnexSim::HelloPayload(SimHeader{kStalledSerial, 4096, 0, 0, 0}, true);
        std::uint32_t w = 1;
        ASSERT_TRUE(peer.SendWord(0x55AA0001) && peer.SendBytes(hello.data(), hello.size()));
        ASSERT_TRUE(peer.ReadWord(w, 20000));
        ASSERT_EQ(w, kOk);
        ASSERT_TRUE(peer.SendWord(0x55AA0002) && peer.SendWord(10));
        ASSERT_TRUE(peer.ReadWord(w, 20000));
        ASSERT_EQ(w, kOk);
        for (std::uint32_t id = 1; id <= 3; ++id) {
            const std::vector<std::uint8_t> m = QuarnexSim::ClusterMessage(Cluster(id, kModeMain, 4096, 5));
            ASSERT_TRUE(peer.SendBytes(m.data(), m.size()));
        }
        // Half of the fourth cluster, then silence with the connection open.
        const std::vector<std::uint8_t> m = QuarnexSim::ClusterMessage(Cluster(4, kModeMain, 4096, 5));
        ASSERT_TRUE(peer.SendBytes(m.data(), 4 + 12 + 2048));
        ASSERT_TRUE(window.WaitForMessage(CM_HLKBackupStarted));
        ASSERT_EQ(BackupDirs(oldRoot, "00A1A1A1").size(), 1u);
        break;
    }
    case Stuck::OpenPrompt: {
        ASSERT_NO_FATAL_FAILURE(PushOk(promptHeader, true, {Cluster(1, kModeMain, 300, 9)}));
        window.Clear();
        inquiry = std::async(std::launch::async, [this] { return Sim().Inquire(kPromptSerial); });
        ASSERT_TRUE(window.WaitForMessage(CM_HLKPromptForRestore));
        break;
    }
    case Stuck::PeerNotReading: {
        PlanOptions plan;
        plan.count = 512;
        plan.clusterSize = 65536; // 32 MiB: far more than the socket buffers hold
        ASSERT_NO_FATAL_FAILURE(
            PushOk(SimHeader{kRestoreSerial, 65536, 0, 0, 0}, true, ClusterPlan::Generate(plan)));
        window.Clear();
        ASSERT_TRUE(Connect(peer));
        ASSERT_TRUE(peer.SendWord(0x55AA0006) && peer.SendWord(kRestoreSerial));
        std::uint8_t answer[4 + 20];
        ASSERT_TRUE(peer.ReadExact(answer, sizeof answer, 20000));
        ASSERT_EQ(GetBE(answer), kOk);
        ASSERT_TRUE(window.WaitForMessage(CM_HLKRestoreStarted));
        break; // and never read again
    }
    }

    // ---- the restart, as the settings dialog does it ----------------------------------------
    std::string newRoot = oldRoot;
    std::uint16_t newPort = oldPort;
    if (restart == Restart::NewFolder) {
        newRoot = SandboxPath("other-backups");
        CBFMRepository::Release();
        ASSERT_NE(CBFMRepository::GetInstance(newRoot.c_str()), nullptr);
        m_root = newRoot;
    }
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::milliseconds(kStopWaitMs + 5000);
    if (restart == Restart::NewFolder) {
        EXPECT_TRUE(HLKBackup::GetInstance()->HLK_Reset(newPort)) << "the port was still taken";
    } else {
        const int p = testsupport::StartOnServedPort([&](int candidate) {
            return candidate != oldPort && HLKBackup::GetInstance()->HLK_Reset(candidate);
        });
        EXPECT_GT(p, 0) << "the service did not start on a new port";
        newPort = static_cast<std::uint16_t>(p > 0 ? p : 0);
    }
    port = newPort;
    EXPECT_TRUE(PingBy(newPort, deadline)) << "the new service did not answer in time";
    if (restart == Restart::NewPort) {
        QuarnexConnection old;
        EXPECT_FALSE(old.Connect("127.0.0.1", oldPort)) << "the old port still accepts connections";
    }

    // ---- the worker left behind finishes where it started -----------------------------------
    switch (stuck) {
    case Stuck::StalledTransfer:
        // The silent peer's read times out: a failed backup that leaves nothing behind.
        EXPECT_TRUE(window.WaitForError(HLK_ERR_BACKUP_FAILED, kPayloadMs + 15000));
        EXPECT_TRUE(testsupport::Eventually([&] { return BackupDirs(oldRoot, "00A1A1A1").empty(); },
                                            std::chrono::seconds(15)))
            << "the stalled backup left its directory";
        EXPECT_FALSE(fs::exists(newRoot + "/00A1A1A1") && newRoot != oldRoot);
        EXPECT_EQ(peer.WaitClosed(20000), QuarnexConnection::CloseState::Closed);
        break;
    case Stuck::OpenPrompt: {
        // Answered now: the inquiry is served from the folder it was asked in.
        GUIComm* gui = GUIComm::Instance();
        ASSERT_NE(gui, nullptr);
        EXPECT_TRUE(gui->RespondToRestorePrompt(true));
        ASSERT_EQ(inquiry.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        const InquiryResult r = inquiry.get();
        EXPECT_EQ(r.response, kOk);
        EXPECT_TRUE(r.gotHeader);
        EXPECT_EQ(r.header, promptHeader);
        EXPECT_TRUE(r.gotDone);
        break;
    }
    case Stuck::PeerNotReading:
        // The send times out: the designed communication error, then "Restore failed.".
        EXPECT_TRUE(window.WaitForError(HLK_ERR_RESTORE_FAILED, 2 * kPayloadMs + 15000));
        {
            const std::vector<int> errors = window.Errors();
            ASSERT_GE(errors.size(), 2u);
            EXPECT_EQ(errors.front(), HLK_ERR_COMMUNICATION);
            EXPECT_EQ(errors.back(), HLK_ERR_RESTORE_FAILED);
        }
        EXPECT_TRUE(
            window.WaitFor([](const Note& n) { return n.message == CM_HLKRestoreDone && !n.success; }, 1000));
        break;
    }
    peer.Close();
    EXPECT_TRUE(Idle()); // the new service serves on
}

std::string Name(const ::testing::TestParamInfo<std::tuple<Stuck, Restart>>& info)
{
    static const char* const stuck[] = {"StalledTransfer", "OpenPrompt", "PeerNotReading"};
    static const char* const restart[] = {"NewPort", "NewFolder"};
    return std::string(stuck[int(std::get<0>(info.param))]) + "_" + restart[int(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(Stuck, HLKStopRestartTest,
                         ::testing::Combine(::testing::Values(Stuck::StalledTransfer, Stuck::OpenPrompt,
                                                              Stuck::PeerNotReading),
                                            ::testing::Values(Restart::NewPort, Restart::NewFolder)),
                         Name);

} // namespace
