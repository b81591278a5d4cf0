#include "CBFMRepository.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "BackupDataLayout.h"
#include "CBFMBackup.h"
#include "CBFMFile.h"
#include "CBFMServer.h"
#include "CClientExc.h"
#include "FaultPlatform.h"
#include "TestSandbox.h"

namespace fs = std::filesystem;

namespace {

class CBFMRepositoryTest : public SandboxTest {
protected:
    // The sample folder, copied so that tests may change it.
    std::string Fixture()
    {
        const std::string root = SandboxPath("backups");
        fs::copy(std::string(HARBORLOCK_FIXTURES) + "/backup-folder", root, fs::copy_options::recursive);
        return root;
    }

    static std::string Image(CBFMRepository& repo, const std::string& server, const std::string& backup)
    {
        std::unique_ptr<CBFMServer> s = repo.GetServer(server);
        if (!s)
            return "<no server>";
        std::unique_ptr<CBFMBackup> b = s->GetBackup(backup);
        if (!b)
            return "<no backup>";
        std::unique_ptr<CBFMFile> f = b->OpenBFMFile(CBFMBackup::BackupFile);
        if (!f)
            return "<no image>";
        std::string data(std::size_t(f->GetSize()), '\0');
        std::uint32_t got = 0;
        f->Read(data.data(), std::uint32_t(data.size()), got);
        return data;
    }

    static std::set<std::string> Servers(CBFMRepository& repo)
    {
        std::vector<std::string> ids;
        repo.GetAllServers(ids);
        return std::set<std::string>(ids.begin(), ids.end());
    }

    static std::vector<std::string> Tree(const std::string& root)
    {
        std::vector<std::string> paths;
        for (const auto& entry : fs::recursive_directory_iterator(root))
            paths.push_back(fs::relative(entry.path(), root).string());
        std::sort(paths.begin(), paths.end());
        return paths;
    }

    // A complete, valid backup of a new server in a fresh repository.
    void MakeBackup(CBFMRepository& repo, const std::string& serverID, std::string& backupID,
                    const std::string& image)
    {
        std::unique_ptr<CBFMServer> server = repo.CreateServer(serverID);
        ASSERT_NE(server, nullptr);
        std::unique_ptr<CBFMBackup> backup = server->CreateBackup();
        ASSERT_NE(backup, nullptr);
        {
            std::unique_ptr<CBFMFile> merge = backup->CreateBFMFile(CBFMBackup::TmpMergeFile);
            ASSERT_NE(merge, nullptr);
            std::uint32_t written = 0;
            ASSERT_TRUE(merge->Write(image.data(), std::uint32_t(image.size()), written));
        }
        ASSERT_TRUE(backup->CommitMerge(true));
        ASSERT_TRUE(backup->Cleanup());
        ASSERT_TRUE(server->CommitNewFull(backup->GetName()));
        backupID = backup->GetName();
    }

    static std::string ValidImage(char fill)
    {
        using namespace BackupDataLayout;
        std::string out(kBackupHeaderSize + kClusterHeaderSize + 4, fill);
        EncodeBackupHeader(BackupHeader{0xABCD, 16, 1, 2, 3}, reinterpret_cast<std::uint8_t*>(out.data()));
        EncodeClusterHeader(ClusterHeader{1, kModeMain, 4},
                            reinterpret_cast<std::uint8_t*>(out.data()) + kBackupHeaderSize);
        return out;
    }
};

TEST_F(CBFMRepositoryTest, ANewRootIsCreatedWithDefaultSelection)
{
    const std::string root = SandboxPath("a/b/HarborlockBackups");
    CBFMRepository repo(root.c_str());
    EXPECT_TRUE(fs::is_directory(root));
    EXPECT_EQ(ReadFile(root + "/repository.cfg"),
              "RestoreBackupAuto: 1\r\nRestoreBackupBackupID: \r\nRestoreBackupServerID: \r\n");
    EXPECT_TRUE(repo.IsAutoSelect());
    EXPECT_GT(repo.GetFreeSpace(), 0);

    EXPECT_THROW(CBFMRepository(""), CClientExc);
    EXPECT_THROW(CBFMRepository(nullptr), CClientExc);
}

TEST_F(CBFMRepositoryTest, AnUnreadableConfigurationIsReplacedByTheDefaults)
{
    const std::string root = SandboxPath("r");
    fs::create_directories(root);
    WriteFile(root + "/repository.cfg", "");
    {
        CBFMRepository repo(root.c_str());
        EXPECT_TRUE(repo.IsAutoSelect());
    }
    EXPECT_EQ(ReadFile(root + "/repository.cfg"),
              "RestoreBackupAuto: 1\r\nRestoreBackupBackupID: \r\nRestoreBackupServerID: \r\n");
    WriteFile(root + "/repository.cfg", "RestoreBackupAuto: 7\r\nRestoreBackupServerID: X\r\n");
    CBFMRepository repo(root.c_str());
    EXPECT_TRUE(repo.IsAutoSelect()); // any non-zero value
}

TEST_F(CBFMRepositoryTest, ReadsTheSampleFolder)
{
    CBFMRepository repo(Fixture().c_str());
    EXPECT_EQ(Servers(repo), (std::set<std::string>{"0001A2B3", "00C0FFEE"}));

    std::unique_ptr<CBFMServer> a = repo.GetServer("0001A2B3");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->GetDisplayName(), "Quarnex Server ID: 0001A2B3");
    EXPECT_EQ(a->GetForceFullType(), CBFMServer::Days);
    EXPECT_EQ(a->GetForceFullNumber(), 7);
    EXPECT_EQ(a->GetNumOldBackupsToKeep(), 2);
    std::string id;
    ASSERT_TRUE(a->GetCurrentBackup(id));
    EXPECT_EQ(id, "417");
    ASSERT_TRUE(a->GetMostRecentBackup(id));
    EXPECT_EQ(id, "417");
    std::vector<std::string> ids;
    a->GetAllBackups(ids);
    EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()), (std::set<std::string>{"12", "417"}));

    std::unique_ptr<CBFMBackup> b417 = a->GetBackup("417");
    ASSERT_NE(b417, nullptr);
    EXPECT_EQ(b417->FullBackupDate(), 1765000000u);
    EXPECT_EQ(b417->LastBackupDate(), 1765100000u);
    EXPECT_EQ(b417->NumIncrementals(), 2);
    EXPECT_TRUE(b417->ValidateImage());

    // The image of 417: header, then six records in file order.
    using namespace BackupDataLayout;
    const std::string image = Image(repo, "0001A2B3", "417");
    ASSERT_EQ(image.size(), 203u);
    const BackupHeader header = DecodeBackupHeader(reinterpret_cast<const std::uint8_t*>(image.data()));
    EXPECT_EQ(header, (BackupHeader{0x0001A2B3, 4096, 11, 22, 33}));
    struct Record {
        std::uint32_t block;
        std::uint32_t mode;
        std::string data;
    };
    std::vector<Record> records;
    std::size_t pos = kBackupHeaderSize;
    while (pos + kClusterHeaderSize <= image.size()) {
        const ClusterHeader c =
            DecodeClusterHeader(reinterpret_cast<const std::uint8_t*>(image.data()) + pos);
        pos += kClusterHeaderSize;
        ASSERT_LE(pos + c.length, image.size());
        records.push_back(Record{c.blockID, c.mode, image.substr(pos, c.length)});
        pos += c.length;
    }
    EXPECT_EQ(pos, image.size());
    ASSERT_EQ(records.size(), 6u);
    std::string bytes64;
    for (int i = 0; i < 64; ++i)
        bytes64 += char(i);
    EXPECT_EQ(records[0].block, 0u);
    EXPECT_EQ(records[0].mode, kModeMain);
    EXPECT_EQ(records[0].data, "block zero");
    EXPECT_EQ(records[1].block, 1u);
    EXPECT_EQ(records[1].data, bytes64);
    EXPECT_EQ(records[2].block, 2u);
    EXPECT_EQ(records[2].mode, kModeScratch);
    EXPECT_EQ(records[2].data, "scratch two");
    EXPECT_EQ(records[3].block, 2u);
    EXPECT_EQ(records[3].mode, kModeMain);
    EXPECT_EQ(records[3].data, "main two");
    EXPECT_EQ(records[4].block, 5u);
    EXPECT_EQ(records[4].data, "");
    EXPECT_EQ(records[5].block, 0xFFFFFFFFu);
    EXPECT_EQ(records[5].mode, 3u);
    EXPECT_EQ(records[5].data, "last block, mode 3");

    std::unique_ptr<CBFMServer> c = repo.GetServer("00C0FFEE");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->GetDisplayName(), "Main office    Server ID: 00C0FFEE");
    EXPECT_EQ(c->GetForceFullType(), CBFMServer::Incrementals);
    EXPECT_EQ(c->GetForceFullNumber(), 3);
    std::unique_ptr<CBFMBackup> b9999 = c->GetBackup("9999");
    ASSERT_NE(b9999, nullptr);
    EXPECT_EQ(b9999->LastBackupDate(), 4102444800u);
    const std::string small = Image(repo, "00C0FFEE", "9999");
    ASSERT_EQ(small.size(), 20u);
    EXPECT_EQ(DecodeBackupHeader(reinterpret_cast<const std::uint8_t*>(small.data())),
              (BackupHeader{0x00C0FFEE, 65536, 1, 2, 3}));

    // The list sorted as the dialogs sort it: by server ID, then by date (unsigned).
    std::vector<TBackupInfo> list;
    repo.GetAllBackups(list);
    std::sort(list.begin(), list.end(), [](const TBackupInfo& x, const TBackupInfo& y) {
        return x.serverID != y.serverID ? x.serverID < y.serverID : x.lastBackupDate < y.lastBackupDate;
    });
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].serverID + "/" + list[0].backupID, "0001A2B3/12");
    EXPECT_EQ(list[1].serverID + "/" + list[1].backupID, "0001A2B3/417");
    EXPECT_EQ(list[2].serverID + "/" + list[2].backupID, "00C0FFEE/9999");
    EXPECT_EQ(list[2].serverName, "Main office");
    EXPECT_EQ(list[0].lastBackupDate, 1764000000u);

    std::string server, backup;
    EXPECT_TRUE(repo.IsAutoSelect());
    ASSERT_TRUE(repo.GetRestoreBackup("0001A2B3", server, backup));
    EXPECT_EQ(server + "/" + backup, "0001A2B3/417");

    std::uint64_t size = 0;
    ASSERT_TRUE(repo.GetBackupSize("0001A2B3", "12", size));
    EXPECT_EQ(size, 35u);
}

TEST_F(CBFMRepositoryTest, DamagedRecordsAreSkippedAndNothingValidIsDeleted)
{
    const std::string root = Fixture();
    WriteFile(root + "/0001A2B3/12/backup.cfg", "BackupID: 13\r\n");
    WriteFile(root + "/00C0FFEE/server.cfg", "ServerID\r\n: x\r\n");
    fs::create_directories(root + "/..hidden");
    CBFMRepository repo(root.c_str());
    EXPECT_EQ(Servers(repo), (std::set<std::string>{"0001A2B3"}));
    std::vector<TBackupInfo> list;
    repo.GetAllBackups(list);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].backupID, "417");

    EXPECT_EQ(repo.GetServer("notaserver"), nullptr);
    EXPECT_EQ(repo.GetServer(".."), nullptr);
    EXPECT_EQ(repo.GetServer(""), nullptr);
    EXPECT_EQ(repo.CreateServer("a/b"), nullptr);
    EXPECT_FALSE(repo.DeleteBackup("0001A2B3", ".."));
    EXPECT_FALSE(repo.DeleteBackup("0001A2B3", "junk"));
    EXPECT_FALSE(repo.DeleteBackup("0001A2B3", "12")); // not loadable, and not removed
    EXPECT_FALSE(repo.DeleteBackup("00C0FFEE", "9999"));
    EXPECT_TRUE(fs::exists(root + "/0001A2B3/junk/readme.txt"));
    EXPECT_TRUE(fs::exists(root + "/0001A2B3/12/backup_000.dat"));
    EXPECT_TRUE(fs::exists(root + "/00C0FFEE/9999/backup_000.dat"));
    EXPECT_TRUE(fs::exists(root + "/0001A2B3/417/backup_000.dat"));
}

TEST_F(CBFMRepositoryTest, RestoreSelection)
{
    const std::string root = Fixture();
    std::string server, backup;
    {
        CBFMRepository repo(root.c_str());
        EXPECT_FALSE(repo.GetRestoreBackup("DEADBEEF", server, backup)); // unknown server

        // No current backup: the most recent one (417 is later than 12).
        WriteFile(root + "/0001A2B3/server.cfg",
                  "CurrentBackupID: \r\nForceFullNumber: 7\r\nForceFullType: 0\r\nNumOldBackupsToKeep: 2\r\n"
                  "ServerID: 0001A2B3\r\nServerName: \r\n");
        ASSERT_TRUE(repo.GetRestoreBackup("0001A2B3", server, backup));
        EXPECT_EQ(backup, "417");

        // A chosen backup is answered to every requester.
        repo.SetRestoreBackup("00C0FFEE", "9999");
        EXPECT_FALSE(repo.IsAutoSelect());
        ASSERT_TRUE(repo.GetRestoreBackup("0001A2B3", server, backup));
        EXPECT_EQ(server + "/" + backup, "00C0FFEE/9999");
    }
    EXPECT_EQ(ReadFile(root + "/repository.cfg"),
              "RestoreBackupAuto: 0\r\nRestoreBackupBackupID: 9999\r\nRestoreBackupServerID: 00C0FFEE\r\n");

    // Deleting the chosen backup brings the automatic choice back.
    CBFMRepository repo(root.c_str());
    EXPECT_FALSE(repo.IsAutoSelect());
    EXPECT_TRUE(repo.DeleteBackup("00C0FFEE", "9999"));
    EXPECT_TRUE(repo.IsAutoSelect());
    EXPECT_FALSE(fs::exists(root + "/00C0FFEE/9999"));
    EXPECT_EQ(ReadFile(root + "/repository.cfg"),
              "RestoreBackupAuto: 1\r\nRestoreBackupBackupID: \r\nRestoreBackupServerID: \r\n");
    EXPECT_NE(ReadFile(root + "/00C0FFEE/server.cfg").find("CurrentBackupID: \r\n"), std::string::npos);
}

// The selection is changed on the window thread while connection threads read it: a reader
// must always see one whole selection, never a mix of two.
TEST_F(CBFMRepositoryTest, TheRestoreSelectionIsReadWholeWhileItChanges)
{
    CBFMRepository repo(SandboxPath("r").c_str());
    const std::string longA(300, 'A');
    const std::string longB(200, 'B');
    repo.SetRestoreBackup(longA, "1");
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        std::string server, backup;
        while (!stop) {
            repo.GetRestoreBackup("X", server, backup);
            if (!((server == longA && backup == "1") || (server == longB && backup == "2")))
                ++torn;
        }
    });
    for (int i = 0; i < 100; ++i)
        repo.SetRestoreBackup(i % 2 ? longA : longB, i % 2 ? "1" : "2");
    stop = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
}

TEST_F(CBFMRepositoryTest, ExportThenImportIntoAnEmptyRepository)
{
    const std::string root = Fixture();
    CBFMRepository repo(root.c_str());
    const std::string exportDir = SandboxPath("export");
    ASSERT_EQ(repo.ExportBackup(exportDir, "0001A2B3", "417"), CBFMRepository::ResultSuccess);
    EXPECT_EQ(Tree(exportDir),
              (std::vector<std::string>{"0001A2B3", "0001A2B3/417", "0001A2B3/417/backup.cfg",
                                        "0001A2B3/417/backup_000.dat", "0001A2B3/417/backup_cfg.dat",
                                        "0001A2B3/server.cfg"}));
    EXPECT_EQ(repo.ExportBackup(exportDir, "0001A2B3", "417"), CBFMRepository::ResultExportDirFailed);
    EXPECT_EQ(repo.ExportBackup(SandboxPath("e2"), "0001A2B3", "junk"), CBFMRepository::ResultFailure);
    EXPECT_FALSE(fs::exists(SandboxPath("e2")));
    EXPECT_EQ(repo.ExportBackup("", "0001A2B3", "417"), CBFMRepository::ResultFailure);

    const std::string empty = SandboxPath("empty");
    CBFMRepository target(empty.c_str());
    ASSERT_EQ(target.ImportBackup(exportDir), CBFMRepository::ResultSuccess);
    EXPECT_EQ(Image(target, "0001A2B3", "417"), Image(repo, "0001A2B3", "417"));
    EXPECT_EQ(ReadFile(empty + "/0001A2B3/417/backup.cfg"), ReadFile(root + "/0001A2B3/417/backup.cfg"));
    EXPECT_EQ(ReadFile(empty + "/0001A2B3/417/backup_cfg.dat"),
              ReadFile(root + "/0001A2B3/417/backup_cfg.dat"));
    std::unique_ptr<CBFMServer> imported = target.GetServer("0001A2B3");
    ASSERT_NE(imported, nullptr);
    EXPECT_EQ(imported->GetNumOldBackupsToKeep(), 2);
    EXPECT_EQ(imported->GetForceFullNumber(), 7);
    // The exported backup was current at home; here it must not become an incremental base.
    std::string current;
    EXPECT_FALSE(imported->GetCurrentBackup(current));

    // The same backup again: already there, nothing copied.
    EXPECT_EQ(target.ImportBackup(exportDir), CBFMRepository::ResultAlreadyExists);
    // A server already known keeps its own configuration.
    imported->SetForceFullNumber(1);
    ASSERT_EQ(repo.ExportBackup(SandboxPath("export12"), "0001A2B3", "12"), CBFMRepository::ResultSuccess);
    ASSERT_EQ(target.ImportBackup(SandboxPath("export12")), CBFMRepository::ResultSuccess);
    EXPECT_EQ(target.GetServer("0001A2B3")->GetForceFullNumber(), 1);
    EXPECT_EQ(Image(target, "0001A2B3", "12"), Image(repo, "0001A2B3", "12"));
}

TEST_F(CBFMRepositoryTest, ImportAcceptsExactlyOneServerWithOneValidBackup)
{
    const std::string root = Fixture();
    CBFMRepository target(SandboxPath("target").c_str());
    EXPECT_EQ(target.ImportBackup(""), CBFMRepository::ResultFailure);
    // Two servers.
    EXPECT_EQ(target.ImportBackup(root), CBFMRepository::ResultNotOneBackup);
    // One server with two backups.
    fs::create_directories(SandboxPath("two"));
    fs::copy(root + "/0001A2B3", SandboxPath("two/0001A2B3"), fs::copy_options::recursive);
    EXPECT_EQ(target.ImportBackup(SandboxPath("two")), CBFMRepository::ResultNotOneBackup);
    // No server, no backup.
    fs::create_directories(SandboxPath("none/0001A2B3"));
    EXPECT_EQ(target.ImportBackup(SandboxPath("none")), CBFMRepository::ResultNotOneBackup);
    fs::copy(root + "/0001A2B3/server.cfg", SandboxPath("none/0001A2B3/server.cfg"));
    EXPECT_EQ(target.ImportBackup(SandboxPath("none")), CBFMRepository::ResultNotOneBackup);

    // One backup whose image is cut short, or whose header is unusable: not a valid backup.
    fs::remove_all(SandboxPath("two/0001A2B3/12"));
    fs::resize_file(SandboxPath("two/0001A2B3/417/backup_000.dat"), 200);
    EXPECT_EQ(target.ImportBackup(SandboxPath("two")), CBFMRepository::ResultNotOneBackup);
    fs::remove(SandboxPath("two/0001A2B3/417/backup_000.dat"));
    WriteFile(SandboxPath("two/0001A2B3/417/backup_000.dat"), std::string(20, '\xFF'));
    EXPECT_EQ(target.ImportBackup(SandboxPath("two")), CBFMRepository::ResultNotOneBackup);
    EXPECT_EQ(Servers(target), std::set<std::string>{});
    EXPECT_EQ(Tree(SandboxPath("target")), std::vector<std::string>{"repository.cfg"});
}

// A disk that fills at any copy of an export or import: the answer is 4 and nothing that was
// created stays behind; with room again, the same operation succeeds.
TEST_F(CBFMRepositoryTest, AFullDiskAtAnyCopyLeavesNothingHalfDone)
{
    CBFMRepository repo(SandboxPath("home").c_str());
    std::string backupID;
    MakeBackup(repo, "0A0B0C0D", backupID, ValidImage('x'));
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(repo.ExportBackup(SandboxPath("good"), "0A0B0C0D", backupID), CBFMRepository::ResultSuccess);
    CBFMRepository target(SandboxPath("target").c_str());

    for (std::uint64_t k = 1;; ++k) {
        SCOPED_TRACE(k);
        hl::FaultPlatform full;
        full.FailNth(k, hl::kErrDiskFull, hl::kOpCopy);
        int exported = 0;
        int imported = 0;
        {
            hl::ScopedPlatform use(full);
            exported = repo.ExportBackup(SandboxPath("out"), "0A0B0C0D", backupID);
        }
        hl::FaultPlatform fullAgain;
        fullAgain.FailNth(k, hl::kErrDiskFull, hl::kOpCopy);
        {
            hl::ScopedPlatform use(fullAgain);
            imported = target.ImportBackup(SandboxPath("good"));
        }
        if (!full.Hit()) {
            EXPECT_EQ(exported, CBFMRepository::ResultSuccess);
            EXPECT_EQ(imported, CBFMRepository::ResultSuccess);
            EXPECT_EQ(Image(target, "0A0B0C0D", backupID), ValidImage('x'));
            break;
        }
        EXPECT_EQ(exported, CBFMRepository::ResultDiskFull);
        EXPECT_FALSE(fs::exists(SandboxPath("out")));
        EXPECT_EQ(imported, CBFMRepository::ResultDiskFull);
        EXPECT_EQ(Tree(SandboxPath("target")), std::vector<std::string>{"repository.cfg"});
        ASSERT_LT(k, 50u);
    }
}

TEST_F(CBFMRepositoryTest, SingletonKeepsTheFirstRootAndForgetsAFailedOne)
{
    EXPECT_THROW(CBFMRepository::GetInstance(""), CClientExc);
    CBFMRepository* first = CBFMRepository::GetInstance(SandboxPath("one").c_str());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(CBFMRepository::GetInstance(SandboxPath("two").c_str()), first);
    EXPECT_FALSE(fs::exists(SandboxPath("two")));
    CBFMRepository::Release();
    CBFMRepository* second = CBFMRepository::GetInstance(SandboxPath("two").c_str());
    EXPECT_EQ(second->GetRootDir(), SandboxPath("two"));
    CBFMRepository::Release();
}

// A service thread holding the instance keeps using the folder it started with after the
// window released it and opened another one.
TEST_F(CBFMRepositoryTest, AHolderKeepsTheReleasedInstance)
{
    EXPECT_EQ(CBFMRepository::Acquire(), nullptr);
    CBFMRepository::GetInstance(SandboxPath("one").c_str());
    std::shared_ptr<CBFMRepository> held = CBFMRepository::Acquire();
    ASSERT_NE(held, nullptr);
    CBFMRepository::Release();
    EXPECT_EQ(CBFMRepository::Acquire(), nullptr);
    CBFMRepository* other = CBFMRepository::GetInstance(SandboxPath("two").c_str());
    EXPECT_NE(other, held.get());
    EXPECT_EQ(held->GetRootDir(), SandboxPath("one"));
    EXPECT_TRUE(held->CreateServer("0001A2B3") != nullptr);
    EXPECT_TRUE(fs::exists(SandboxPath("one") + "/0001A2B3"));
    EXPECT_FALSE(fs::exists(SandboxPath("two") + "/0001A2B3"));
    held.reset();
    CBFMRepository::Release();
}

TEST_F(CBFMRepositoryTest, SharedServerRecordsForTheWindow)
{
    CBFMRepository repo(Fixture().c_str());
    std::vector<SmartPtr<CBFMServer>> servers;
    EXPECT_TRUE(repo.GetAllServers(servers));
    ASSERT_EQ(servers.size(), 2u);
    std::set<std::string> ids;
    for (const auto& s : servers) {
        EXPECT_EQ(s.UseCount(), 1u);
        ids.insert(s->GetServerID());
    }
    EXPECT_EQ(ids, (std::set<std::string>{"0001A2B3", "00C0FFEE"}));
    EXPECT_TRUE(repo.GetAllServers(servers)); // refilled, not appended
    EXPECT_EQ(servers.size(), 2u);
}

} // namespace
