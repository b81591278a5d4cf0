#include "CWork.h"

#include "CBFMRepository.h"
#include "CLog.h"
#include "FaultPlatform.h"
#include "GUIComm.h"
#include "OS_CPCQ_Executer.h"
#include "Platform.h"
#include "PlatformWrapper.h"
#include "SampleBackupFolder.h"
#include "ScopedEnvironment.h"
#include "StalledCopyPlatform.h"
#include "TestSandbox.h"
#include "TestWindow.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <semaphore>

namespace fs = std::filesystem;

namespace {

const TBackupInfo kBackup417{"0001A2B3", "417", "", 1765100000u};
const TBackupInfo kBackup9999{"00C0FFEE", "9999", "Main office", 4102444800u};

class CWorkTest : public SandboxTest {
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        testsupport::CopySampleBackupFolder(SandboxPath("repoA"));
        fs::create_directories(SandboxPath("exports"));
        GUIComm::GetInstance(&window);
        CBFMRepository::GetInstance(SandboxPath("repoA").c_str());
    }
    void TearDown() override
    {
        CBFMRepository::Release();
        GUIComm::Cleanup();
        SandboxTest::TearDown();
    }

    // Switches the work to another backup folder, as a second installation would have.
    void UseRepository(const std::string& root)
    {
        CBFMRepository::Release();
        CBFMRepository::GetInstance(root.c_str());
    }

    static void Run(std::uint8_t type, const std::string& path, const TBackupInfo& backup = TBackupInfo())
    {
        CWork(type, path, backup).Execute();
    }

    // The message numbers posted, progress left out.
    std::vector<unsigned> Messages() { return window.Sequence(); }

    std::vector<int> ErrorCodes() { return window.Errors(); }

    TestWindow window;
    testsupport::ScopedTimeZone utc{"UTC"};
};

} // namespace

TEST_F(CWorkTest, BackupDescription)
{
    EXPECT_EQ(CWork::GetBackupDescription(kBackup417),
              "Quarnex Server ID: 0001A2B3    Sun Dec 07, 09:33:20 AM 2025");
    EXPECT_EQ(CWork::GetBackupDescription(kBackup9999),
              "Main office    Server ID: 00C0FFEE    Fri Jan 01, 12:00:00 AM 2100");
    hl::Os().SetTimeZone("Europe/Berlin");
    EXPECT_EQ(CWork::GetBackupDescription(kBackup417),
              "Quarnex Server ID: 0001A2B3    Sun Dec 07, 10:33:20 AM 2025");
}

TEST_F(CWorkTest, BackupListIsSortedByServerThenDate)
{
    std::vector<TBackupInfo> list;
    CBFMRepository::GetInstance(nullptr)->GetAllBackups(list);
    list.push_back({"0001A2B3", "77", "", 1764500000u});
    list.push_back({"00000001", "5", "", 4000000000u}); // dates compare unsigned
    CWork::SortBackupList(list);
    std::vector<std::string> order;
    for (const TBackupInfo& b : list)
        order.push_back(b.serverID + "/" + b.backupID);
    EXPECT_EQ(order, (std::vector<std::string>{"00000001/5", "0001A2B3/12", "0001A2B3/77", "0001A2B3/417",
                                               "00C0FFEE/9999"}));
}

TEST_F(CWorkTest, ExportThenImportIntoAnotherRepositoryGivesTheSameImage)
{
    const std::string exportPath = SandboxPath("exports/dvd");
    Run(CWork::TypeExport, exportPath, kBackup417);

    const std::string description = CWork::GetBackupDescription(kBackup417);
    auto events = window.WithoutProgress();
    ASSERT_EQ(Messages(), (std::vector<unsigned>{CM_HLKExportStarted, CM_HLKExportDone}));
    EXPECT_EQ(events[0].text, description);
    EXPECT_EQ(events[0].text2, exportPath);
    EXPECT_EQ(events[0].number, 0);
    EXPECT_TRUE(events[1].success);
    EXPECT_EQ(events[1].text, description);
    EXPECT_EQ(events[1].text2, exportPath);
    // The copy reported its progress, ending full.
    ASSERT_FALSE(window.Progress().empty());
    EXPECT_EQ(window.Progress().back(), 100);

    // The export holds exactly one server with exactly one backup.
    EXPECT_TRUE(fs::exists(exportPath + "/0001A2B3/server.cfg"));
    EXPECT_TRUE(fs::exists(exportPath + "/0001A2B3/417/backup.cfg"));
    EXPECT_FALSE(fs::exists(exportPath + "/0001A2B3/12"));

    fs::create_directories(SandboxPath("repoB"));
    UseRepository(SandboxPath("repoB"));
    Run(CWork::TypeImport, exportPath);
    events = window.WithoutProgress();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[2].message, CM_HLKImportStarted);
    EXPECT_EQ(events[2].text, exportPath);
    EXPECT_EQ(events[3].message, CM_HLKImportDone);
    EXPECT_TRUE(events[3].success);
    EXPECT_EQ(events[3].text, exportPath);

    for (const char* file : {"backup_000.dat", "backup_cfg.dat", "backup.cfg"}) {
        const std::string original = ReadFile(SandboxPath("repoA/0001A2B3/417/") + file);
        ASSERT_FALSE(original.empty()) << file;
        EXPECT_EQ(ReadFile(SandboxPath("repoB/0001A2B3/417/") + file), original) << file;
    }
    std::vector<TBackupInfo> imported;
    CBFMRepository::GetInstance(nullptr)->GetAllBackups(imported);
    ASSERT_EQ(imported.size(), 1u);
    EXPECT_EQ(imported[0].serverID, "0001A2B3");
    EXPECT_EQ(imported[0].backupID, "417");
    EXPECT_EQ(imported[0].lastBackupDate, 1765100000u);
}

TEST_F(CWorkTest, ExportFailuresAreNotifiedWithTheirCodes)
{
    // An existing target cannot be created as the export directory.
    fs::create_directories(SandboxPath("exports/taken"));
    Run(CWork::TypeExport, SandboxPath("exports/taken"), kBackup417);
    EXPECT_EQ(Messages(), (std::vector<unsigned>{CM_HLKExportStarted, CM_HLKError, CM_HLKExportDone}));
    EXPECT_EQ(ErrorCodes(), (std::vector<int>{8}));
    EXPECT_FALSE(window.WithoutProgress().back().success);
    EXPECT_TRUE(fs::is_empty(SandboxPath("exports/taken")));

    // A backup the repository no longer has.
    Run(CWork::TypeExport, SandboxPath("exports/gone"), TBackupInfo{"0BADF00D", "1", "", 0});
    EXPECT_EQ(ErrorCodes(), (std::vector<int>{8, 7}));

    // The disk fills while the backup is copied.
    {
        hl::FaultPlatform fault;
        fault.FailAll(hl::kErrDiskFull, hl::kOpCopy | hl::kOpWrite);
        hl::ScopedPlatform use(fault);
        Run(CWork::TypeExport, SandboxPath("exports/full"), kBackup417);
        EXPECT_TRUE(fault.Hit());
    }
    EXPECT_EQ(ErrorCodes(), (std::vector<int>{8, 7, 11}));
    EXPECT_FALSE(window.WithoutProgress().back().success);
    // Nothing that could pass for an export is left behind.
    EXPECT_FALSE(fs::exists(SandboxPath("exports/full/0001A2B3/417/backup.cfg")));
}

TEST_F(CWorkTest, ImportFailuresAreNotifiedWithTheirCodes)
{
    // A folder holding no export.
    fs::create_directories(SandboxPath("plain"));
    WriteFile(SandboxPath("plain/readme.txt"), "not a backup");
    Run(CWork::TypeImport, SandboxPath("plain"));
    EXPECT_EQ(Messages(), (std::vector<unsigned>{CM_HLKImportStarted, CM_HLKError, CM_HLKImportDone}));
    EXPECT_EQ(ErrorCodes(), (std::vector<int>{9}));
    EXPECT_FALSE(window.WithoutProgress().back().success);

    // A whole backup folder: two servers.
    testsupport::CopySampleBackupFolder(SandboxPath("twoservers"));
    Run(CWork::TypeImport, SandboxPath("twoservers"));
    EXPECT_EQ(ErrorCodes(), (std::vector<int>{9, 9}));

    // The exported backup is already in this repository.
    Run(CWork::TypeExport, SandboxPath("exports/again"), kBackup417);
    Run(CWork::TypeImport, SandboxPath("exports/again"));
    EXPECT_EQ(ErrorCodes(), (std::vector<int>{9, 9, 12}));

    // No folder at all.
    Run(CWork::TypeImport, "");
    EXPECT_EQ(ErrorCodes(), (std::vector<int>{9, 9, 12, 10}));

    // The disk fills while the import copies.
    fs::create_directories(SandboxPath("repoC"));
    UseRepository(SandboxPath("repoC"));
    {
        hl::FaultPlatform fault;
        fault.FailAll(hl::kErrDiskFull, hl::kOpCopy | hl::kOpWrite);
        hl::ScopedPlatform use(fault);
        Run(CWork::TypeImport, SandboxPath("exports/again"));
        EXPECT_TRUE(fault.Hit());
    }
    EXPECT_EQ(ErrorCodes(), (std::vector<int>{9, 9, 12, 10, 11}));
    EXPECT_FALSE(window.WithoutProgress().back().success);
    // The failed import left no backup the repository would list.
    std::vector<TBackupInfo> listed;
    CBFMRepository::GetInstance(nullptr)->GetAllBackups(listed);
    EXPECT_TRUE(listed.empty());
}

TEST_F(CWorkTest, UnknownTypeOnlyWritesTheDebugLog)
{
    CLog::Init(SandboxPath("data"));
    CLog::SetLevels(31, CLog::LEVEL_FATAL | CLog::LEVEL_ERROR | CLog::LEVEL_WARN | CLog::LEVEL_DEBUG);
    Run(9, SandboxPath("exports/x"), kBackup417);
    const std::string log = ReadFile(CLog::GetLogFileName());
    CLog::ResetForTests();
    EXPECT_TRUE(window.WithoutProgress().empty());
    EXPECT_NE(log.find("CWork::Execute() unknown work type"), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(SandboxPath("exports/x")));
}

TEST_F(CWorkTest, TwoQueuedExportsRunOneAfterTheOther)
{
    {
        OS_CPCQ_Executer<CWork> worker("GUIWorker", 1, 5000, 1024);
        worker.Put(new CWork(CWork::TypeExport, SandboxPath("exports/first"), kBackup417));
        worker.Put(new CWork(CWork::TypeExport, SandboxPath("exports/second"), kBackup9999));
        // Stopping finishes what is queued.
    }
    const auto events = window.WithoutProgress();
    ASSERT_EQ(Messages(), (std::vector<unsigned>{CM_HLKExportStarted, CM_HLKExportDone, CM_HLKExportStarted,
                                                 CM_HLKExportDone}));
    EXPECT_EQ(events[0].text2, SandboxPath("exports/first"));
    EXPECT_EQ(events[1].text2, SandboxPath("exports/first"));
    EXPECT_EQ(events[2].text2, SandboxPath("exports/second"));
    EXPECT_TRUE(events[1].success);
    EXPECT_TRUE(events[3].success);
    EXPECT_EQ(ReadFile(SandboxPath("exports/second/00C0FFEE/9999/backup_000.dat")),
              ReadFile(SandboxPath("repoA/00C0FFEE/9999/backup_000.dat")));
}

TEST_F(CWorkTest, StopTimeOutDuringAnExportCancelsItAndLeavesNoExportBehind)
{
    testsupport::StalledCopyPlatform stalled;
    hl::ScopedPlatform use(stalled);
    {
        OS_CPCQ_Executer<CWork> worker("GUIWorker", 1, 100, 1024);
        worker.SetStopTimeoutAction([] {
            if (GUIComm* gui = GUIComm::Instance())
                gui->RequestCancel();
        });
        worker.Put(new CWork(CWork::TypeExport, SandboxPath("exports/long"), kBackup417));
        worker.Put(new CWork(CWork::TypeExport, SandboxPath("exports/queued"), kBackup9999));
        stalled.started.acquire(); // the image copy is under way and will not end by itself
    }
    EXPECT_EQ(stalled.stalls.load(), 1);
    EXPECT_EQ(Messages(), (std::vector<unsigned>{CM_HLKExportStarted, CM_HLKError, CM_HLKExportDone}));
    EXPECT_EQ(ErrorCodes(), (std::vector<int>{7}));
    EXPECT_FALSE(window.WithoutProgress().back().success);
    // The cancelled export is gone and the queued one never started.
    EXPECT_FALSE(fs::exists(SandboxPath("exports/long")));
    EXPECT_FALSE(fs::exists(SandboxPath("exports/queued")));
    // The repository itself is untouched.
    EXPECT_EQ(ReadFile(SandboxPath("repoA/0001A2B3/417/backup_000.dat")),
              ReadFile(testsupport::SampleBackupFolder() + "/0001A2B3/417/backup_000.dat"));
}
