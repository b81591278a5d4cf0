#include "CBFMServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>
#include <string>

#include "CBFMBackup.h"
#include "CBFMFile.h"
#include "CClientExc.h"
#include "FaultPlatform.h"
#include "TestSandbox.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kNow = 1765000000;
constexpr std::int64_t kDay = 86400;

class CBFMServerTest : public SandboxTest {
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        clock_.SetWallClockMs(std::int64_t(kNow) * 1000);
        use_ = std::make_unique<hl::ScopedPlatform>(clock_);
        fs::create_directories(Dir());
    }
    void TearDown() override
    {
        use_.reset();
        SandboxTest::TearDown();
    }

    std::string Dir() { return SandboxPath("0001A2B3"); }

    void SetClock(std::int64_t seconds) { clock_.SetWallClockMs(seconds * 1000); }

    // A backup record with an image and the given dates, written as the service would leave it.
    void AddBackup(const std::string& id, std::uint32_t full, std::uint32_t last,
                   std::int32_t incrementals = 0)
    {
        const std::string dir = Dir() + "/" + id;
        fs::create_directories(dir);
        WriteFile(dir + "/backup.cfg", "BackupID: " + id + "\r\nFullBackupDate: " + std::to_string(full) +
                                           "\r\nLastBackupDate: " + std::to_string(last) +
                                           "\r\nNumIncrementals: " + std::to_string(incrementals) + "\r\n");
        CBFMFile image(dir + "/backup.dat", true);
        std::uint32_t written = 0;
        ASSERT_TRUE(image.Write(id.data(), std::uint32_t(id.size()), written));
    }

    std::set<std::string> Backups(CBFMServer& server)
    {
        std::vector<std::string> ids;
        server.GetAllBackups(ids);
        return std::set<std::string>(ids.begin(), ids.end());
    }

    hl::FaultPlatform clock_;
    std::unique_ptr<hl::ScopedPlatform> use_;
};

TEST_F(CBFMServerTest, NewRecordWritesByteExactDefaults)
{
    CBFMServer server(Dir(), "0001A2B3");
    EXPECT_EQ(ReadFile(Dir() + "/server.cfg"),
              "CurrentBackupID: \r\nForceFullNumber: 0\r\nForceFullType: 0\r\n"
              "NumOldBackupsToKeep: 0\r\nServerID: 0001A2B3\r\nServerName: \r\n");
    EXPECT_EQ(server.GetDisplayName(), "Quarnex Server ID: 0001A2B3");
    EXPECT_EQ(server.GetForceFullType(), CBFMServer::Days);
    std::string id = "x";
    EXPECT_FALSE(server.GetCurrentBackup(id));
    EXPECT_EQ(id, "");
    // Days with 0 and no current backup: every transfer is a full one.
    EXPECT_FALSE(server.IsIncrementalAllowed());
}

TEST_F(CBFMServerTest, ConstructorsRefuseRecordsThatAreNotThisDirectory)
{
    EXPECT_THROW(CBFMServer(Dir(), ""), CClientExc);
    EXPECT_THROW(CBFMServer(Dir(), "0001A2B4"), CClientExc);
    EXPECT_THROW(CBFMServer s(Dir()), CClientExc); // no server.cfg
    WriteFile(Dir() + "/server.cfg", "ServerID: 00C0FFEE\r\n");
    EXPECT_THROW(CBFMServer s(Dir()), CClientExc);
    WriteFile(Dir() + "/server.cfg", "ServerID: 0001a2b3\r\n"); // compared byte for byte
    EXPECT_THROW(CBFMServer s(Dir()), CClientExc);
    WriteFile(Dir() + "/server.cfg", "");
    EXPECT_THROW(CBFMServer s(Dir()), CClientExc);

    // Absent entries keep the defaults; the enumeration keeps the low 8 bits; the name is kept.
    WriteFile(Dir() + "/server.cfg", "ServerID: 0001A2B3\r\nForceFullType: 257\r\nServerName: Branch\r\n");
    CBFMServer server(Dir());
    EXPECT_EQ(server.GetForceFullType(), CBFMServer::Incrementals);
    EXPECT_EQ(server.GetForceFullNumber(), 0);
    EXPECT_EQ(server.GetDisplayName(), "Branch    Server ID: 0001A2B3");
}

TEST_F(CBFMServerTest, OptionChangesAreSavedAtOnce)
{
    {
        CBFMServer server(Dir(), "0001A2B3");
        server.SetForceFullType(CBFMServer::Incrementals);
        server.SetForceFullNumber(3);
        server.SetNumOldBackupsToKeep(-1);
    }
    EXPECT_EQ(ReadFile(Dir() + "/server.cfg"),
              "CurrentBackupID: \r\nForceFullNumber: 3\r\nForceFullType: 1\r\n"
              "NumOldBackupsToKeep: -1\r\nServerID: 0001A2B3\r\nServerName: \r\n");
}

// Two snapshots of one server (the service's and the window's) must not undo each other.
TEST_F(CBFMServerTest, EachChangeSavesOnlyItsOwnFieldOverTheFile)
{
    CBFMServer service(Dir(), "0001A2B3");
    CBFMServer window(Dir());
    AddBackup("417", kNow - 10, kNow - 10);
    EXPECT_TRUE(service.CommitNewFull("417"));
    window.SetNumOldBackupsToKeep(3); // the window's snapshot still has no current backup
    service.SetForceFullType(CBFMServer::Never);
    window.SetForceFullNumber(9);

    CBFMServer fresh(Dir());
    std::string current;
    EXPECT_TRUE(fresh.GetCurrentBackup(current));
    EXPECT_EQ(current, "417");
    EXPECT_EQ(fresh.GetNumOldBackupsToKeep(), 3);
    EXPECT_EQ(fresh.GetForceFullType(), CBFMServer::Never);
    EXPECT_EQ(fresh.GetForceFullNumber(), 9);

    // A server name put into the file by other means survives every save.
    WriteFile(Dir() + "/server.cfg",
              ReadFile(Dir() + "/server.cfg")
                  .replace(ReadFile(Dir() + "/server.cfg").find("ServerName: "), 12, "ServerName: Depot"));
    service.SetForceFullNumber(2);
    EXPECT_EQ(CBFMServer(Dir()).GetServerName(), "Depot");
}

TEST_F(CBFMServerTest, ScansListOnlyLoadableBackupRecords)
{
    CBFMServer server(Dir(), "0001A2B3");
    AddBackup("12", kNow - 100, kNow - 100);
    AddBackup("417", kNow - 50, kNow - 50);
    fs::create_directories(Dir() + "/junk");
    WriteFile(Dir() + "/junk/readme.txt", "not a backup");
    fs::create_directories(Dir() + "/99");
    WriteFile(Dir() + "/99/backup.cfg", "BackupID: 98\r\n"); // does not match its directory
    fs::create_directories(Dir() + "/5");
    WriteFile(Dir() + "/5/backup.cfg", "\x01\x02 garbage without a colon");
    WriteFile(Dir() + "/7", "a file, not a directory");
    EXPECT_EQ(Backups(server), (std::set<std::string>{"12", "417"}));
    EXPECT_EQ(server.GetBackup("junk"), nullptr);
    EXPECT_EQ(server.GetBackup(".."), nullptr);
    EXPECT_EQ(server.GetBackup(""), nullptr);
    EXPECT_NE(server.GetBackup("417"), nullptr);
}

TEST_F(CBFMServerTest, MostRecentBackupComparesDatesUnsigned)
{
    CBFMServer server(Dir(), "0001A2B3");
    std::string id;
    EXPECT_FALSE(server.GetMostRecentBackup(id));
    AddBackup("1", 2000000000, 2000000000);   // 2033
    AddBackup("2", 2200000000u, 2200000000u); // 2039: negative as a signed number
    AddBackup("3", 1000, 1000);
    ASSERT_TRUE(server.GetMostRecentBackup(id));
    EXPECT_EQ(id, "2");
}

TEST_F(CBFMServerTest, CreateBackupDrawsAFreshDecimalIdAndItsDirectory)
{
    CBFMServer server(Dir(), "0001A2B3");
    std::set<std::string> seen;
    for (int i = 0; i < 20; ++i) {
        std::unique_ptr<CBFMBackup> backup = server.CreateBackup();
        ASSERT_NE(backup, nullptr);
        const std::string id = backup->GetName();
        ASSERT_FALSE(id.empty());
        EXPECT_TRUE(std::all_of(id.begin(), id.end(), ::isdigit)) << id;
        EXPECT_TRUE(id == "0" || id[0] != '0') << id;
        EXPECT_LE(std::stoi(id), 9999);
        EXPECT_TRUE(seen.insert(id).second) << id;
        EXPECT_TRUE(fs::exists(Dir() + "/" + id + "/backup.cfg"));
    }
}

TEST_F(CBFMServerTest, IncrementalPolicy)
{
    CBFMServer server(Dir(), "0001A2B3");
    AddBackup("417", kNow, kNow, 0);
    EXPECT_TRUE(server.CommitNewFull("417"));
    // Days with 0: the deadline is the full backup's own second, which is not later than now.
    EXPECT_FALSE(server.IsIncrementalAllowed());

    server.SetForceFullNumber(7);
    SetClock(kNow + 7 * kDay - 1);
    EXPECT_TRUE(server.IsIncrementalAllowed());
    SetClock(kNow + 7 * kDay);
    EXPECT_FALSE(server.IsIncrementalAllowed());

    // After 2038 the same rule holds (no signed or 32-bit wrap).
    AddBackup("418", 2200000000u, 2200000000u, 0);
    server.CommitNewFull("418");
    SetClock(2200000000ll + kDay);
    EXPECT_TRUE(server.IsIncrementalAllowed());
    SetClock(2200000000ll + 7 * kDay);
    EXPECT_FALSE(server.IsIncrementalAllowed());

    server.SetForceFullType(CBFMServer::Incrementals);
    server.SetForceFullNumber(3);
    for (int n = 0; n <= 4; ++n) {
        AddBackup("418", 2200000000u, 2200000000u, n);
        EXPECT_EQ(server.IsIncrementalAllowed(), n < 3) << n;
    }

    // Never: allowed whenever a current backup is named, even one whose directory is gone.
    server.SetForceFullType(CBFMServer::Never);
    fs::remove_all(Dir() + "/418");
    EXPECT_TRUE(server.IsIncrementalAllowed());
    server.SetForceFullType(CBFMServer::Days);
    EXPECT_FALSE(server.IsIncrementalAllowed()); // the current backup does not load
}

TEST_F(CBFMServerTest, NewFullKeepsTheNewestOldBackupsAndDeletesTheOldest)
{
    CBFMServer server(Dir(), "0001A2B3");
    server.SetNumOldBackupsToKeep(2);
    AddBackup("10", 100, 100);
    AddBackup("11", 500, 500);
    AddBackup("12", 300, 300);
    AddBackup("13", 2200000000u, 2200000000u); // after 2038: the newest, not the oldest
    AddBackup("14", 200, 200);
    AddBackup("99", kNow, kNow);
    fs::create_directories(Dir() + "/junk"); // not a record: never pruned
    WriteFile(Dir() + "/junk/keep.txt", "x");

    EXPECT_TRUE(server.CommitNewFull("99"));
    EXPECT_EQ(Backups(server), (std::set<std::string>{"99", "13", "11"}));
    EXPECT_FALSE(fs::exists(Dir() + "/10"));
    EXPECT_FALSE(fs::exists(Dir() + "/12"));
    EXPECT_FALSE(fs::exists(Dir() + "/14"));
    EXPECT_TRUE(fs::exists(Dir() + "/junk/keep.txt"));
    std::string current;
    EXPECT_TRUE(server.GetCurrentBackup(current));
    EXPECT_EQ(current, "99");
}

TEST_F(CBFMServerTest, ANegativeKeepCountKeepsEverything)
{
    CBFMServer server(Dir(), "0001A2B3");
    server.SetNumOldBackupsToKeep(-1);
    for (int i = 1; i <= 5; ++i)
        AddBackup(std::to_string(i), std::uint32_t(i), std::uint32_t(i));
    AddBackup("99", kNow, kNow);
    EXPECT_TRUE(server.CommitNewFull("99"));
    EXPECT_EQ(Backups(server).size(), 6u);
}

// Backups sharing a date: only the first one found of them is a candidate in each pruning.
TEST_F(CBFMServerTest, TiedDatesArePrunedOneAtATime)
{
    CBFMServer server(Dir(), "0001A2B3");
    AddBackup("1", 100, 100);
    AddBackup("2", 100, 100);
    AddBackup("3", 100, 100);
    AddBackup("99", kNow, kNow);
    EXPECT_TRUE(server.CommitNewFull("99")); // keep 0: three others, one candidate
    std::set<std::string> left = Backups(server);
    EXPECT_EQ(left.size(), 3u);
    EXPECT_TRUE(left.count("99"));

    AddBackup("4", 50, 50);
    AddBackup("5", 60, 60);
    server.SetNumOldBackupsToKeep(1);
    EXPECT_TRUE(server.CommitNewFull("99"));
    // Four others, keep 1: 50, 60 and one of the two at 100 go; the other stays.
    left = Backups(server);
    EXPECT_EQ(left.size(), 2u);
    EXPECT_TRUE(left.count("99"));
    EXPECT_FALSE(left.count("4"));
    EXPECT_FALSE(left.count("5"));
}

TEST_F(CBFMServerTest, DeleteBackupClearsTheCurrentBackupAndRemovesOnlyRecords)
{
    CBFMServer server(Dir(), "0001A2B3");
    AddBackup("417", kNow, kNow);
    AddBackup("12", kNow - 5, kNow - 5);
    server.SetNumOldBackupsToKeep(5);
    ASSERT_TRUE(server.CommitNewFull("417"));
    CBFMServer otherSnapshot(Dir());

    EXPECT_TRUE(server.DeleteBackup("12"));
    EXPECT_FALSE(fs::exists(Dir() + "/12"));
    EXPECT_NE(ReadFile(Dir() + "/server.cfg").find("CurrentBackupID: 417\r\n"), std::string::npos);

    // The other snapshot deletes the current backup: the file's current ID is cleared.
    EXPECT_TRUE(otherSnapshot.DeleteBackup("417"));
    EXPECT_FALSE(fs::exists(Dir() + "/417"));
    EXPECT_NE(ReadFile(Dir() + "/server.cfg").find("CurrentBackupID: \r\n"), std::string::npos);
    std::string current;
    EXPECT_FALSE(otherSnapshot.GetCurrentBackup(current));

    // Not records: nothing is deleted, the answer is false.
    fs::create_directories(Dir() + "/junk");
    WriteFile(Dir() + "/junk/data.txt", "keep me");
    EXPECT_FALSE(server.DeleteBackup("junk"));
    EXPECT_EQ(ReadFile(Dir() + "/junk/data.txt"), "keep me");
    EXPECT_FALSE(server.DeleteBackup(""));
    EXPECT_FALSE(server.DeleteBackup(".."));
    EXPECT_FALSE(server.DeleteBackup("../0001A2B3"));
    EXPECT_TRUE(fs::exists(Dir() + "/server.cfg"));
}

TEST_F(CBFMServerTest, RemoveBackupDirectoryRemovesOnlyEmptyOnes)
{
    CBFMServer server(Dir(), "0001A2B3");
    fs::create_directories(Dir() + "/5");
    AddBackup("6", 1, 1);
    EXPECT_TRUE(server.RemoveBackupDirectory("5"));
    EXPECT_FALSE(fs::exists(Dir() + "/5"));
    EXPECT_TRUE(server.RemoveBackupDirectory("6")); // not empty counts as done
    EXPECT_TRUE(fs::exists(Dir() + "/6/backup.cfg"));
    EXPECT_FALSE(server.RemoveBackupDirectory("nothing-here"));
    EXPECT_FALSE(server.RemoveBackupDirectory(""));
}

TEST_F(CBFMServerTest, BackupSizeIsTheImageSize)
{
    CBFMServer server(Dir(), "0001A2B3");
    AddBackup("417", 1, 1);
    std::uint64_t size = 0;
    ASSERT_TRUE(server.GetBackupSize("417", size));
    EXPECT_EQ(size, 3u);
    fs::create_directories(Dir() + "/8");
    WriteFile(Dir() + "/8/backup.cfg", "BackupID: 8\r\n"); // a record without an image
    EXPECT_FALSE(server.GetBackupSize("8", size));
    EXPECT_FALSE(server.GetBackupSize("", size));
    EXPECT_FALSE(server.GetBackupSize("9", size));
}

} // namespace

// ---- the current backup around a commit --------------------------------------------------

namespace {

class CBFMServerCommitTest : public CBFMServerTest {
protected:
    // Commits an image into backup `id` as the service does, without the server's part.
    void CommitInto(const std::string& id, bool full, bool newRecord)
    {
        const std::string dir = Dir() + "/" + id;
        std::unique_ptr<CBFMBackup> backup;
        if (newRecord) {
            fs::create_directories(dir);
            backup = std::make_unique<CBFMBackup>(dir, id);
        } else {
            backup = std::make_unique<CBFMBackup>(dir);
        }
        {
            std::unique_ptr<CBFMFile> merge = backup->CreateBFMFile(CBFMBackup::TmpMergeFile);
            ASSERT_NE(merge, nullptr);
            std::uint32_t written = 0;
            ASSERT_TRUE(merge->Write(id.data(), std::uint32_t(id.size()), written));
        }
        bool decided = false;
        ASSERT_TRUE(backup->CommitMerge(full, nullptr, &decided));
        EXPECT_TRUE(decided);
    }
    std::string Current()
    {
        CBFMServer fresh(Dir());
        std::string id;
        fresh.GetCurrentBackup(id);
        return id;
    }
};

TEST_F(CBFMServerCommitTest, ClearingTheCurrentBackupRefusesIncrementalsAndSurvivesARestart)
{
    CBFMServer server(Dir(), "0001A2B3");
    server.SetForceFullType(CBFMServer::Never);
    AddBackup("5", kNow, kNow);
    ASSERT_TRUE(server.CommitNewFull("5"));
    ASSERT_TRUE(server.IsIncrementalAllowed());
    ASSERT_TRUE(server.ClearCurrentBackup());
    EXPECT_FALSE(server.IsIncrementalAllowed());
    EXPECT_EQ(Current(), "");
    EXPECT_FALSE(CBFMServer(Dir()).IsIncrementalAllowed());
    // The other fields stay as they were.
    EXPECT_EQ(CBFMServer(Dir()).GetForceFullType(), CBFMServer::Never);
    // The most recent backup still restores.
    std::string recent;
    EXPECT_TRUE(server.GetMostRecentBackup(recent));
    EXPECT_EQ(recent, "5");
}

TEST_F(CBFMServerCommitTest, AClearThatCannotBeMadeDurableFails)
{
    CBFMServer server(Dir(), "0001A2B3");
    AddBackup("5", kNow, kNow);
    ASSERT_TRUE(server.CommitNewFull("5"));
    hl::FaultPlatform fault(clock_);
    fault.FailNth(1, hl::kErrDiskFull, hl::kOpSync, true);
    {
        hl::ScopedPlatform use(fault);
        EXPECT_FALSE(server.ClearCurrentBackup());
    }
    EXPECT_TRUE(fault.Hit());
}

TEST_F(CBFMServerCommitTest, FinishCommitsMakesAnIncrementalCurrentAgain)
{
    CBFMServer server(Dir(), "0001A2B3");
    server.SetForceFullType(CBFMServer::Never);
    CommitInto("5", true, true);
    ASSERT_TRUE(server.FinishCommits());
    ASSERT_EQ(Current(), "5");
    ASSERT_TRUE(server.ClearCurrentBackup());
    CommitInto("5", false, false);
    EXPECT_EQ(Current(), "") << "the server's part waits for FinishCommits";
    EXPECT_TRUE(server.FinishCommits());
    EXPECT_EQ(Current(), "5");
    EXPECT_FALSE(fs::exists(Dir() + "/5/current.cfg"));
    EXPECT_TRUE(server.IsIncrementalAllowed());
}

TEST_F(CBFMServerCommitTest, FinishCommitsPrunesAfterAFullAndTheNewestCommitEndsCurrent)
{
    CBFMServer server(Dir(), "0001A2B3");
    server.SetNumOldBackupsToKeep(1);
    AddBackup("1", 100, 100);
    AddBackup("2", 200, 200);
    SetClock(kNow);
    CommitInto("7", true, true);
    SetClock(kNow + 10);
    CommitInto("8", true, true);
    // Both waited (a crash after each commit record): the newer one ends current, pruning
    // keeps one old backup beside it.
    EXPECT_TRUE(server.FinishCommits());
    EXPECT_EQ(Current(), "8");
    EXPECT_EQ(Backups(server), (std::set<std::string>{"7", "8"}));
    EXPECT_FALSE(fs::exists(Dir() + "/7/current.cfg"));
    EXPECT_FALSE(fs::exists(Dir() + "/8/current.cfg"));
}

TEST_F(CBFMServerCommitTest, FinishCommitsEndsASwitchThatStoppedAfterItsCommitRecord)
{
    CBFMServer server(Dir(), "0001A2B3");
    server.SetForceFullType(CBFMServer::Never);
    CommitInto("5", true, true);
    ASSERT_TRUE(server.FinishCommits());
    ASSERT_TRUE(server.ClearCurrentBackup());
    // The incremental's commit record is durable, then every rename fails: the switch waits.
    CBFMBackup backup(Dir() + "/5");
    WriteFile(Dir() + "/5/merge_cfg.dat", "NumSubFiles: 1\r\nMaxBytesPerSubFile: 2147483647\r\n");
    WriteFile(Dir() + "/5/merge_000.dat", "new image");
    bool decided = false;
    {
        hl::FaultPlatform fault(clock_);
        // The first rename puts the commit record in place; the second is the switch's first.
        fault.FailNth(2, hl::kErrAccessDenied, hl::kOpRename, true);
        hl::ScopedPlatform use(fault);
        EXPECT_FALSE(backup.CommitMerge(false, nullptr, &decided));
    }
    EXPECT_TRUE(decided) << "the commit record was durable: the backup is committed";
    EXPECT_EQ(Current(), "");
    // The next look at the server finishes the switch and its server's part.
    EXPECT_TRUE(server.FinishCommits());
    EXPECT_EQ(Current(), "5");
    std::unique_ptr<CBFMBackup> after = server.GetBackup("5");
    ASSERT_TRUE(after);
    EXPECT_EQ(after->NumIncrementals(), 1);
    EXPECT_EQ(ReadFile(Dir() + "/5/backup_000.dat"), "new image");
}

} // namespace
