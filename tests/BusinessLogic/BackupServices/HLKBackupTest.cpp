// Starting and stopping the service: ports, bind failures, stop requests reaching idle and
// waiting workers, and threads that do not stop in time.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "Eventually.h"
#include "FaultPlatform.h"
#include "HLKServer.h"
#include "HLKTestHarness.h"
#include "PlatformWrapper.h"
#include "ServedPort.h"

using namespace quarnexsim;

namespace {

class HLKBackupTest : public ServiceTest {};

TEST_F(HLKBackupTest, TheInstanceIsOneUntilCleanedUp)
{
    HLKBackup* a = HLKBackup::GetInstance();
    EXPECT_EQ(HLKBackup::GetInstance(), a);
    HLKBackup::Cleanup();
    // Cleanup stopped the service.
    QuarnexConnection c;
    EXPECT_FALSE(c.Connect("127.0.0.1", port));
    HLKBackup* b = HLKBackup::GetInstance();
    EXPECT_NE(b, nullptr);
    EXPECT_EQ(b->GetPort(), 0);
}

TEST_F(HLKBackupTest, PortsOutsideTheServedRangeChangeNothing)
{
    HLKBackup* service = HLKBackup::GetInstance();
    for (int p : {1024, 8192, 0, -1, 65535}) {
        EXPECT_TRUE(service->HLK_Reset(p)) << p;
        EXPECT_EQ(service->GetPort(), port) << p; // the running listener keeps running
    }
    EXPECT_TRUE(Idle());
    EXPECT_TRUE(window.Notes().empty());
}

TEST_F(HLKBackupTest, ServesAPortInTheRange)
{
    HLKBackup* service = HLKBackup::GetInstance();
    const int p = testsupport::StartOnServedPort([&](int candidate) {
        window.Clear();
        return service->HLK_Reset(candidate);
    });
    ASSERT_GT(p, 0);
    EXPECT_EQ(service->GetPort(), p);
    std::uint32_t response = 1;
    QuarnexSim sim("127.0.0.1", static_cast<std::uint16_t>(p));
    EXPECT_TRUE(sim.Ping(response));
    EXPECT_EQ(response, kOk);
    // The old port is closed.
    QuarnexConnection c;
    EXPECT_FALSE(c.Connect("127.0.0.1", port));
}

TEST_F(HLKBackupTest, APortInUseFailsWithTheBindNotification)
{
    const testsupport::HeldPort held = testsupport::HoldServedPort();
    ASSERT_GT(held.port, 0);
    window.Clear();
    EXPECT_FALSE(HLKBackup::GetInstance()->HLK_Reset(held.port));
    hl::Os().Close(held.socket);
    EXPECT_EQ(HLKBackup::GetInstance()->GetPort(), 0);
    const std::vector<Note> notes = window.Notes();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].message, static_cast<unsigned>(CM_HLKServiceFailed));
    EXPECT_EQ(notes[0].value, 1);
    // The listener that ran before was stopped by the reset.
    QuarnexConnection c;
    EXPECT_FALSE(c.Connect("127.0.0.1", port));
}

TEST_F(HLKBackupTest, StopWhileIdleEndsTheListener)
{
    EXPECT_TRUE(HLKBackup::GetInstance()->HLK_Stop());
    EXPECT_EQ(HLKBackup::GetInstance()->GetPort(), 0);
    QuarnexConnection c;
    EXPECT_FALSE(c.Connect("127.0.0.1", port));
    EXPECT_TRUE(HLKBackup::GetInstance()->HLK_Stop()); // nothing left to stop
    EXPECT_TRUE(window.Notes().empty());
}

TEST_F(HLKBackupTest, StopReachesAWorkerWaitingForACommand)
{
    // Without a HELLO the stop ends the conversation silently; after one, as a failed backup.
    for (bool hello : {false, true}) {
        SCOPED_TRACE(hello ? "after HELLO" : "before any command");
        if (hello) {
            ASSERT_TRUE(HLKBackup::GetInstance()->HLK_ResetEphemeral());
            port = static_cast<std::uint16_t>(HLKBackup::GetInstance()->GetPort());
        }
        window.Clear();
        QuarnexConnection c;
        ASSERT_TRUE(Connect(c));
        std::uint32_t w = 1;
        if (hello) {
            const std::vector<std::uint8_t> payload =
                QuarnexSim::HelloPayload(SimHeader{0x42, 512, 0, 0, 0}, true);
            ASSERT_TRUE(c.SendWord(0x55AA0001) && c.SendBytes(payload.data(), payload.size()));
            ASSERT_TRUE(c.ReadWord(w, 20000));
            EXPECT_EQ(w, kOk);
        } else {
            // Give the listener (polling every 20 ms) time to hand the connection to a worker.
            EXPECT_FALSE(c.ReadWord(w, 100));
        }
        EXPECT_TRUE(HLKBackup::GetInstance()->HLK_Stop());
        EXPECT_EQ(c.WaitClosed(20000), QuarnexConnection::CloseState::Closed);
        if (hello) {
            EXPECT_EQ(window.Errors(), std::vector<int>{4});
        } else {
            EXPECT_TRUE(window.Notes().empty());
        }
    }
}

// A thread that outlives the wait for it keeps its record until it really ends: the record's
// events are still there when the late thread signals them (AddressSanitizer checks this).
TEST_F(HLKBackupTest, AThreadThatDoesNotStopInTimeKeepsItsRecord)
{
    static std::atomic<bool> release{false};
    static std::atomic<bool> ended{false};
    release = false;
    ended = false;
    auto record = std::make_shared<HLK_Thread_Sync_t>();
    // The routine holds its own reference, as a worker's argument does.
    const int created = HLKServer::doCreateThread(record, [sync = record]() -> int {
        hl::Os().SetEvent(sync->startedEvent);
        // Ignores the stop flag, like a worker inside a merge or a prompt.
        while (!release)
            hl::Os().Sleep(5);
        ended = true;
        return 0;
    });
    ASSERT_EQ(created, 0);

    HLK_THREAD_SYNC_VEC workers{record};
    HLKTimeouts t = HLKServer::GetTimeouts();
    t.threadStopMs = 100;
    HLKServer::SetTimeouts(t);
    EXPECT_FALSE(HLKServer::shutdownThreads(workers));
    EXPECT_TRUE(workers.empty());
    EXPECT_TRUE(record->StopRequested());
    std::weak_ptr<HLK_Thread_Sync_t> weak = record;
    record.reset();
    EXPECT_FALSE(weak.expired()); // the running thread still holds it

    release = true;
    EXPECT_TRUE(testsupport::Eventually([&] { return weak.expired(); }, std::chrono::seconds(10)))
        << "freed once the thread ended";
    EXPECT_TRUE(ended);
}

// The same through the whole service: a worker blocked in a restore prompt does not see the
// stop; the service gives up waiting, and the worker finishes cleanly once answered.
TEST_F(HLKBackupTest, StopGivesUpOnAWorkerInAPromptWhichStillEndsCleanly)
{
    ASSERT_NO_FATAL_FAILURE(
        PushOk(SimHeader{0x0001A2B3, 512, 0, 0, 0}, true, {Cluster(1, kModeMain, 10, 1)}));
    window.Clear();
    auto inquiry = std::async(std::launch::async, [this] { return Sim().Inquire(0x0001A2B3); });
    ASSERT_TRUE(window.WaitForMessage(CM_HLKPromptForRestore));

    HLKTimeouts t = HLKServer::GetTimeouts();
    t.threadStopMs = 200;
    HLKServer::SetTimeouts(t);
    HLKBackup::GetInstance()->HLK_Stop(); // cannot stop the worker, gives up after its waits
    EXPECT_EQ(HLKBackup::GetInstance()->GetPort(), 0);

    ASSERT_TRUE(GUIComm::Instance()->RespondToRestorePrompt(false));
    const InquiryResult r = inquiry.get();
    EXPECT_EQ(r.response, kError);
    EXPECT_TRUE(r.closedByService);
    ASSERT_TRUE(window.WaitForError(5));
    // The abandoned listener and worker end on their own, each letting go of the window
    // channel as it ends: wait for the last of them before the window goes away with the
    // fixture.
    std::weak_ptr<GUIComm> channel = GUIComm::Acquire();
    ASSERT_FALSE(channel.expired());
    HLKBackup::Cleanup();
    GUIComm::Cleanup(); // the channel's last holders are now the abandoned threads
    EXPECT_TRUE(testsupport::Eventually([&] { return channel.expired(); }, std::chrono::seconds(20)))
        << "an abandoned service thread never ended";
}

// The listener's wait for connections fails: it ends, telling the window the service failed.
TEST_F(HLKBackupTest, AFailingWaitForConnectionsEndsTheListenerAsFailed)
{
    hl::FaultPlatform fault(hl::PosixPlatform());
    hl::ScopedPlatform use(fault);
    ASSERT_TRUE(HLKBackup::GetInstance()->HLK_ResetEphemeral()); // a listener that uses the wrapper
    port = static_cast<std::uint16_t>(HLKBackup::GetInstance()->GetPort());
    window.Clear();
    // The listener waits on its socket together with its events.
    fault.FailNth(1, 9 /* EBADF */, hl::kOpWaitable);
    ASSERT_TRUE(window.WaitForMessage(CM_HLKServiceFailed));
    fault.Disarm();
    const std::vector<Note> notes = window.Notes();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].value, 2);
    EXPECT_TRUE(HLKBackup::GetInstance()->HLK_Stop()); // already ended
    QuarnexConnection c;
    EXPECT_FALSE(c.Connect("127.0.0.1", static_cast<std::uint16_t>(port)));
}

// A platform whose next accept fails (out of descriptors), for the listener's refusal path.
class FailingAcceptPlatform : public hl::PlatformWrapper {
public:
    FailingAcceptPlatform() : hl::PlatformWrapper(hl::PosixPlatform()) {}
    int Accept(int listenSocket, std::string* peer) override
    {
        if (failNext.exchange(false)) {
            hl::Platform::SetLastError(24 /* EMFILE */);
            return -1;
        }
        return hl::PlatformWrapper::Accept(listenSocket, peer);
    }
    std::atomic<bool> failNext{false};
};

TEST_F(HLKBackupTest, AConnectionThatCannotBeAcceptedIsReportedAndTheListenerGoesOn)
{
    FailingAcceptPlatform platform;
    hl::ScopedPlatform use(platform);
    ASSERT_TRUE(HLKBackup::GetInstance()->HLK_ResetEphemeral());
    port = static_cast<std::uint16_t>(HLKBackup::GetInstance()->GetPort());
    window.Clear();
    platform.failNext = true;
    // The first accept of this connection fails; it stays in the backlog and is served next.
    std::uint32_t response = 1;
    EXPECT_TRUE(Sim().Ping(response));
    EXPECT_EQ(response, kOk);
    EXPECT_FALSE(platform.failNext);
    EXPECT_EQ(window.Errors(), std::vector<int>{3});
    EXPECT_TRUE(HLKBackup::GetInstance()->HLK_Stop());
}

class HLKSilenceTest : public ServiceTest {
protected:
    HLKTimeouts Timeouts() override
    {
        HLKTimeouts t = ServiceTest::Timeouts();
        t.commandPollMs = 30;
        t.maxCommandPolls = 5;
        return t;
    }
};

TEST_F(HLKSilenceTest, APeerThatNeverSendsACommandIsDropped)
{
    QuarnexConnection c;
    ASSERT_TRUE(Connect(c));
    EXPECT_EQ(c.WaitClosed(20000), QuarnexConnection::CloseState::Closed);
    ASSERT_TRUE(Idle());
    EXPECT_TRUE(window.Notes().empty());
}

} // namespace
