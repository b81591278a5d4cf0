// The service writes its designed lines to the debug log (category 33).
#include <gtest/gtest.h>

#include "CLog.h"
#include "HLKTestHarness.h"

using namespace quarnexsim;

namespace {

class HLKLogTest : public ServiceTest {
protected:
    void SetUp() override
    {
        CLog::ResetForTests();
        ServiceTest::SetUp();
        CLog::Init(Sandbox());
        CLog::SetLevels(33, CLog::LEVEL_ERROR | CLog::LEVEL_WARN | CLog::LEVEL_DEBUG);
        // Start again so the listener's own lines reach the log too.
        ASSERT_TRUE(HLKBackup::GetInstance()->HLK_ResetEphemeral());
        port = static_cast<std::uint16_t>(HLKBackup::GetInstance()->GetPort());
    }
    void TearDown() override
    {
        ServiceTest::TearDown();
        CLog::ResetForTests();
    }
    std::string Log() { return ReadFile(CLog::GetLogFileName()); }
};

TEST_F(HLKLogTest, ConversationsLeaveTheirLinesInTheDebugLog)
{
    const SimHeader h{0x0001A2B3, 1024, 1, 2, 3};
    ASSERT_NO_FATAL_FAILURE(PushOk(h, true, {Cluster(1, kModeMain, 10, 1)}));
    AllowIncrementals("0001A2B3");
    SimHeader other = h;
    other.headerParam2 = 9;
    ASSERT_NO_FATAL_FAILURE(PushOk(other, false, {Cluster(2, kModeMain, 10, 1)}));

    QuarnexConnection c;
    ASSERT_TRUE(Connect(c));
    ASSERT_TRUE(c.SendWord(0x80000000));
    EXPECT_EQ(c.WaitClosed(20000), QuarnexConnection::CloseState::Closed);

    QuarnexConnection d;
    ASSERT_TRUE(Connect(d));
    std::vector<std::uint8_t> msg = QuarnexSim::HelloPayload(h, true);
    ASSERT_TRUE(d.SendWord(0x55AA0001) && d.SendBytes(msg.data(), msg.size()));
    std::uint8_t size[4] = {0, 0, 0, 1};
    ASSERT_TRUE(d.SendWord(0x55AA0002) && d.SendBytes(size, 4));
    std::uint8_t cluster[12] = {0, 0, 0, 5, 0, 0, 0, 4, 0, 0, 0, 0};
    ASSERT_TRUE(d.SendWord(0x55AA0003) && d.SendBytes(cluster, 12));
    EXPECT_EQ(d.WaitClosed(20000), QuarnexConnection::CloseState::DataPending); // the two OK words
    ASSERT_TRUE(Idle());

    const std::string log = Log();
    for (const char* line : {
             "HLKServer HLK_MainThread(): Shutting down worker threads...\n",
             "HLKServer HLK_MainThread(): Accepting connections on port ",
             "HLKServer xactHello(): HELLO command completed\n",
             "HLKServer xactSize(): SIZE command completed normally.\n",
             "HLKServer xactDone(): DONE command completed - socket closed.\n",
             "HLKServer xactDone(): Stats: Est=1 Main=1 Scratch=0 Total=1 (1).\n",
             "HLKServer finishBackup(): Processing backup: No scratch clusters, TmpMain is the image\n",
             "HLKServer finishBackup(): Backup operation completed normally!\n",
             "HLKServer mergeIncrBackup(): Validation failed\n",
             "HLKServer finishBackup(): mergeIncrBackup() failed\n",
             "HLKServer HLK_BackupWorker(): Cmd=0x80000000 Not recognized\n",
             "HLKServer xactCluster(): Invalid backup mode 0x4.\n",
             "HLKServer HLK_BackupWorker(): Backup failed.\n",
             "Internal Error -- BusinessLogic/BackupServices/HLKServer: ",
             "HLKServer HLK_BackupWorker(): Thread operation has completed\n",
         })
        EXPECT_NE(log.find(line), std::string::npos) << "missing: " << line;
}

} // namespace
