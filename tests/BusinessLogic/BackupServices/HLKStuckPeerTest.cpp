// A Quarnex server that stops reading must not hold the one worker: sends time out like
// reads do, and every accepted connection gets the send time-out and TCP keep-alive.
#include <gtest/gtest.h>

#include <mutex>
#include <utility>

#include "HLKTestHarness.h"
#include "PlatformWrapper.h"

using namespace quarnexsim;

namespace {

constexpr std::uint32_t kSerial = 0x0001A2B3;

class HLKStuckPeerTest : public ServiceTest {
protected:
    HLKTimeouts Timeouts() override
    {
        HLKTimeouts t = ServiceTest::Timeouts();
        t.payloadSendMs = 500;
        return t;
    }
};

TEST_F(HLKStuckPeerTest, ARestoreToAPeerThatNeverReadsEndsAsACommunicationError)
{
    PlanOptions plan;
    plan.count = 1024;
    plan.clusterSize = 65536; // 64 MiB
    ASSERT_NO_FATAL_FAILURE(PushOk(SimHeader{kSerial, 65536, 0, 0, 0}, true, ClusterPlan::Generate(plan)));
    window.Clear();

    QuarnexConnection peer;
    ASSERT_TRUE(Connect(peer));
    ASSERT_TRUE(peer.SendWord(0x55AA0006) && peer.SendWord(kSerial));
    // It asks for the restore and then never reads a byte.
    ASSERT_TRUE(window.WaitForMessage(CM_HLKRestoreStarted));

    EXPECT_TRUE(window.WaitForError(HLK_ERR_RESTORE_FAILED, 30000)) << "the send never timed out";
    EXPECT_EQ(window.Errors(), (std::vector<int>{HLK_ERR_COMMUNICATION, HLK_ERR_RESTORE_FAILED}));
    EXPECT_TRUE(
        window.WaitFor([](const Note& n) { return n.message == CM_HLKRestoreDone && !n.success; }, 1000));
    // The next connection is served while the stuck peer still holds its connection open.
    EXPECT_TRUE(Idle());
    peer.Close();

    // The stored backup is untouched and restores whole to a peer that reads.
    window.Clear();
    const SimImage restored = RestoreOk(kSerial);
    EXPECT_EQ(restored.records.size(), 1024u);
}

// Records what the listener does to the sockets it accepts.
class RecordingPlatform : public hl::PlatformWrapper {
public:
    RecordingPlatform() : hl::PlatformWrapper(hl::PosixPlatform()) {}
    int Accept(int listenSocket, std::string* peer) override
    {
        const int s = hl::PlatformWrapper::Accept(listenSocket, peer);
        std::lock_guard<std::mutex> guard(lock);
        if (s >= 0)
            accepted.push_back(s);
        return s;
    }
    bool SetSendTimeout(int socket, std::uint32_t timeoutMs) override
    {
        std::lock_guard<std::mutex> guard(lock);
        sendTimeouts.emplace_back(socket, timeoutMs);
        return hl::PlatformWrapper::SetSendTimeout(socket, timeoutMs);
    }
    bool SetKeepAlive(int socket, std::uint32_t idleMs, std::uint32_t intervalMs, int probes) override
    {
        std::lock_guard<std::mutex> guard(lock);
        keepAlives.push_back(socket);
        EXPECT_GT(idleMs, 0u);
        EXPECT_GT(intervalMs, 0u);
        EXPECT_GT(probes, 0);
        return hl::PlatformWrapper::SetKeepAlive(socket, idleMs, intervalMs, probes);
    }

    std::mutex lock;
    std::vector<int> accepted;
    std::vector<std::pair<int, std::uint32_t>> sendTimeouts;
    std::vector<int> keepAlives;
};

TEST_F(HLKStuckPeerTest, EveryAcceptedConnectionGetsTheSendTimeOutAndKeepAlive)
{
    RecordingPlatform platform;
    hl::ScopedPlatform use(platform);
    ASSERT_TRUE(HLKBackup::GetInstance()->HLK_ResetEphemeral()); // a listener on the recorder
    port = static_cast<std::uint16_t>(HLKBackup::GetInstance()->GetPort());

    ASSERT_TRUE(Idle());
    SimImage image;
    Sim().Restore(kSerial, image); // refused: nothing stored
    ASSERT_TRUE(Idle());
    EXPECT_TRUE(HLKBackup::GetInstance()->HLK_Stop());

    std::lock_guard<std::mutex> guard(platform.lock);
    ASSERT_EQ(platform.accepted.size(), 3u);
    ASSERT_EQ(platform.sendTimeouts.size(), platform.accepted.size());
    ASSERT_EQ(platform.keepAlives.size(), platform.accepted.size());
    for (std::size_t i = 0; i < platform.accepted.size(); ++i) {
        EXPECT_EQ(platform.sendTimeouts[i].first, platform.accepted[i]);
        EXPECT_EQ(platform.sendTimeouts[i].second, 500u);
        EXPECT_EQ(platform.keepAlives[i], platform.accepted[i]);
    }
}

} // namespace
