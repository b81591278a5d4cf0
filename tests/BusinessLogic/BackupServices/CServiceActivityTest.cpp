// The status and activity-log lines harborlockd derives from each notification: the texts the
// window writes for the same events, pieced together exactly.
#include "CServiceActivity.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "CTimeUtil.h"
#include "DupString.h"
#include "GUIComm.h"
#include "Platform.h"

namespace {

using Lines = std::vector<std::string>;

template <class T>
intptr_t P(T* block)
{
    return reinterpret_cast<intptr_t>(block);
}

class CServiceActivityTest : public ::testing::Test {
protected:
    // Applies one notification and frees its payload as the receiver must.
    Lines Apply(unsigned message, intptr_t lParam, CServiceActivity::Follow* follow = nullptr)
    {
        Lines lines = activity.Apply(message, lParam, "/srv/backups", follow);
        GUIComm::FreePayload(message, lParam);
        return lines;
    }
    CServiceActivity activity;
};

TEST_F(CServiceActivityTest, BackupRunsThroughTransferSaveAndIdle)
{
    EXPECT_EQ(Apply(CM_HLKBackupInitiated, P(new HLKBackupInitiatedMsg{DupString("0001A2B3")})),
              Lines{"Backup initated from Quarnex Server ID: 0001A2B3"});
    EXPECT_EQ(activity.GetStatus().state, "Idle");

    EXPECT_EQ(Apply(CM_HLKBackupStarted, P(new HLKBackupStartedMsg{DupString("0001A2B3"), 12})),
              (Lines{"Started backup transfer from Quarnex Server ID: 0001A2B3 of estimated size 12 MBytes",
                     "Backup folder is /srv/backups"}));
    const auto& s = activity.GetStatus();
    EXPECT_EQ(s.state, "Backup File Transfer");
    EXPECT_EQ(s.sizeText, "12 MBytes");
    EXPECT_TRUE(s.busy);
    EXPECT_EQ(s.serverId, "0001A2B3");

    EXPECT_TRUE(Apply(CM_HLKProgress, 150).empty());
    EXPECT_EQ(s.progress, 100); // capped like the bar
    Apply(CM_HLKProgress, 40);
    EXPECT_EQ(s.progress, 40);

    EXPECT_EQ(Apply(CM_HLKBackupTransferDone, P(new HLKResultMsg{1})),
              Lines{"Backup transfer completed successfully"});
    EXPECT_EQ(s.state, "Idle");
    EXPECT_TRUE(s.busy); // still busy until the save is over
    EXPECT_EQ(s.progress, 100);

    EXPECT_EQ(Apply(CM_HLKSaveBackupStarted, 0), Lines{"Saving backup started"});
    EXPECT_EQ(s.state, "Saving Backup");
    EXPECT_FALSE(s.sizeShown);

    EXPECT_EQ(Apply(CM_HLKSaveBackupDone, P(new HLKResultMsg{0})), Lines{"Saving backup failed"});
    EXPECT_EQ(s.state, "Idle");
    EXPECT_FALSE(s.busy);
    EXPECT_FALSE(s.progressShown);
    EXPECT_EQ(s.serverId, "");
}

TEST_F(CServiceActivityTest, RestoreExportImportAndDiskSpaceLines)
{
    EXPECT_EQ(Apply(CM_HLKRestoreStarted, P(new HLKRestoreStartedMsg{DupString("0001A2B3"), 3})),
              Lines{"Started restore transfer to 0001A2B3 of estimated size 3 MBytes"});
    EXPECT_EQ(activity.GetStatus().state, "Restore File Transfer");
    EXPECT_EQ(Apply(CM_HLKRestoreDone, P(new HLKResultMsg{1})),
              Lines{"Restore transfer completed successfully"});
    EXPECT_FALSE(activity.GetStatus().busy);

    CServiceActivity::Follow follow = CServiceActivity::Follow::None;
    // Two spaces between the destination and "of size", as the pieces give.
    EXPECT_EQ(
        Apply(CM_HLKExportStarted, P(new HLKExportStartedMsg{DupString("Quarnex Server ID: 0001A2B3    Mon"),
                                                             DupString("/x/e"), 7})),
        Lines{"Export of backup \"Quarnex Server ID: 0001A2B3    Mon\" to /x/e  of size 7 MBytes started"});
    EXPECT_EQ(activity.GetStatus().state, "Backup File Export");
    EXPECT_EQ(Apply(CM_HLKExportDone, P(new HLKExportDoneMsg{0, DupString("d"), DupString("/x/e")}), &follow),
              Lines{"Export of backup failed"});
    EXPECT_EQ(follow, CServiceActivity::Follow::ExportFinished);

    EXPECT_EQ(Apply(CM_HLKImportStarted, P(new HLKImportStartedMsg{DupString("/imp")})),
              Lines{"Import of backup from /imp started"});
    EXPECT_EQ(activity.GetStatus().state, "Backup File Import");
    EXPECT_EQ(Apply(CM_HLKImportDone, P(new HLKImportDoneMsg{1, DupString("/imp")}), &follow),
              Lines{"Import of backup completed successfully"});
    EXPECT_EQ(follow, CServiceActivity::Follow::ImportFinished);

    EXPECT_EQ(Apply(CM_HLKInsufficientDiskSpace,
                    P(new HLKInsufficientDiskSpaceMsg{DupString("0001A2B3"), 500, 20})),
              Lines{"Backup request from Quarnex Server ID: 0001A2B3 has insufficient disk space to perform "
                    "backup.  Needed: 500MBytes.  Available: 20MBytes."});
}

TEST_F(CServiceActivityTest, ErrorsReturnToIdleAndAServiceFailureStopsTheService)
{
    Apply(CM_HLKBackupStarted, P(new HLKBackupStartedMsg{DupString("00000001"), 1}));
    CServiceActivity::Follow follow = CServiceActivity::Follow::None;
    EXPECT_EQ(Apply(CM_HLKError, 0x104, &follow), Lines{"Backup failed."}); // low byte only
    EXPECT_EQ(follow, CServiceActivity::Follow::None);
    EXPECT_EQ(activity.GetStatus().state, "Idle");
    EXPECT_FALSE(activity.GetStatus().busy);
    EXPECT_EQ(Apply(CM_HLKError, 16), Lines{"Unknown error"});
    EXPECT_EQ(Apply(CM_HLKServiceFailed, 1, &follow),
              Lines{"Error creating network connection on specified port.  Try another port number."});
    EXPECT_EQ(follow, CServiceActivity::Follow::StopService);
}

TEST_F(CServiceActivityTest, AnAcknowledgedBackupGivenUpSaysTheNextOneIsFull)
{
    EXPECT_EQ(Apply(CM_HLKBackupNotSaved, P(new HLKBackupInitiatedMsg{DupString("00C0FFEE")})),
              Lines{"Backup from Quarnex Server ID: 00C0FFEE could not be saved.  The next backup from this "
                    "server will be a full backup."});
}

TEST(CServiceActivityLines, RestoreRequestAndDeleteLines)
{
    const char* tz = std::getenv("TZ");
    const std::string saved = tz ? tz : "";
    hl::Os().SetTimeZone("UTC");
    const HLKPromptForRestoreMsg request{0x1A2B3, 0xABCDEF01,
                                         CTimeUtil::ToClientStandardTime(2026, 12, 7, 14, 5, 0, 0)};
    EXPECT_EQ(
        CServiceActivity::RestoreRequestLine(request, true),
        "Request to restore Quarnex Server ID:0001A2B3 using backup from Quarnex Server ID:ABCDEF01 dated "
        "Mon Dec 07, 02:05 PM 2026 accepted");
    const std::string rejected = CServiceActivity::RestoreRequestLine(request, false);
    EXPECT_EQ(rejected.substr(rejected.size() - 14), " 2026 rejected");
    hl::Os().SetTimeZone(saved);
    EXPECT_EQ(CServiceActivity::DeleteLine("Quarnex Server ID: 0001A2B3    x", false),
              "Delete of backup \"Quarnex Server ID: 0001A2B3    x\" failed");
}

} // namespace
