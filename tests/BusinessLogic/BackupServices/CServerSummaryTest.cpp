#include "CServerSummary.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "CBFMBackup.h"
#include "CBFMRepository.h"
#include "CBFMServer.h"
#include "TestSandbox.h"

namespace fs = std::filesystem;

namespace {

class CServerSummaryTest : public SandboxTest {
protected:
    std::string Fixture()
    {
        const std::string root = SandboxPath("backups");
        fs::copy(std::string(HARBORLOCK_FIXTURES) + "/backup-folder", root, fs::copy_options::recursive);
        return root;
    }

    static std::uint64_t FileBytesBelow(const std::string& dir)
    {
        std::uint64_t total = 0;
        for (const auto& entry : fs::recursive_directory_iterator(dir))
            if (entry.is_regular_file())
                total += entry.file_size();
        return total;
    }
};

TEST_F(CServerSummaryTest, SampleFolderGivesOneLinePerLoadableServer)
{
    const std::string root = Fixture();
    CBFMRepository repo(root.c_str());
    const std::vector<TServerSummary> servers = CServerSummary::Collect(repo);

    // notaserver (empty server.cfg) is skipped; the list is sorted by server ID.
    ASSERT_EQ(servers.size(), 2u);
    const TServerSummary& a = servers[0];
    const TServerSummary& b = servers[1];

    EXPECT_EQ(a.serverID, "0001A2B3");
    EXPECT_EQ(a.serverName, "");
    EXPECT_EQ(a.displayName, "Quarnex Server ID: 0001A2B3");
    EXPECT_EQ(a.currentBackupID, "417");
    EXPECT_EQ(a.backupCount, 2u); // 417 and 12; junk/ is no backup
    EXPECT_EQ(a.lastBackupDate, 1765100000u);
    EXPECT_EQ(a.imageBytes, 203u + 35u);
    // server.cfg 118, 417: 203 + 91 + 48, junk/readme.txt 20, 12: 35 + 90 + 48.
    EXPECT_EQ(a.diskBytes, 653u);
    EXPECT_EQ(a.diskBytes, FileBytesBelow(root + "/0001A2B3"));

    EXPECT_EQ(b.serverID, "00C0FFEE");
    EXPECT_EQ(b.displayName, "Main office    Server ID: 00C0FFEE");
    EXPECT_EQ(b.backupCount, 1u);
    EXPECT_EQ(b.lastBackupDate, 4102444800u); // after 2038: unsigned all the way
    EXPECT_EQ(b.imageBytes, 20u);
    EXPECT_EQ(b.diskBytes, 130u + 20u + 92u + 48u);
}

TEST_F(CServerSummaryTest, RecordWithoutImageIsNotAStoredBackup)
{
    const std::string root = SandboxPath("fresh");
    CBFMRepository repo(root.c_str());
    std::unique_ptr<CBFMServer> server = repo.CreateServer("0000BEEF");
    ASSERT_TRUE(server);
    // What a transfer in progress leaves: a record with backup.cfg and no image yet.
    std::unique_ptr<CBFMBackup> pending = server->CreateBackup();
    ASSERT_TRUE(pending);

    const std::vector<TServerSummary> servers = CServerSummary::Collect(repo);
    ASSERT_EQ(servers.size(), 1u);
    EXPECT_EQ(servers[0].backupCount, 0u);
    EXPECT_EQ(servers[0].imageBytes, 0u);
    EXPECT_EQ(servers[0].diskBytes, FileBytesBelow(root + "/0000BEEF"));
    EXPECT_GT(servers[0].diskBytes, 0u);
    EXPECT_EQ(CServerSummary::StateAt(servers[0], 2000000000, 2), CServerSummary::StateNoBackups);
    EXPECT_EQ(CServerSummary::StateText(CServerSummary::StateNoBackups, 2), "No backups");
}

TEST_F(CServerSummaryTest, LinksAreNotFollowedWhenSizing)
{
    const std::string root = Fixture();
    const std::uint64_t before = FileBytesBelow(root + "/00C0FFEE");
    // A link to the other server's tree must not add that tree's bytes.
    fs::create_directory_symlink(root + "/0001A2B3", root + "/00C0FFEE/elsewhere");
    CBFMRepository repo(root.c_str());
    const std::vector<TServerSummary> servers = CServerSummary::Collect(repo);
    ASSERT_EQ(servers.size(), 2u);
    EXPECT_EQ(servers[1].serverID, "00C0FFEE");
    EXPECT_EQ(servers[1].diskBytes, before);
}

TEST(CServerSummaryState, WarnsOnlyAfterMoreThanTheSetDays)
{
    TServerSummary s;
    s.backupCount = 1;
    s.lastBackupDate = 1765100000;
    const std::int64_t day = 86400;
    EXPECT_EQ(CServerSummary::StateAt(s, s.lastBackupDate, 2), CServerSummary::StateOK);
    EXPECT_EQ(CServerSummary::StateAt(s, s.lastBackupDate + 2 * day, 2), CServerSummary::StateOK);
    EXPECT_EQ(CServerSummary::StateAt(s, s.lastBackupDate + 2 * day + 1, 2), CServerSummary::StateOverdue);
    EXPECT_EQ(CServerSummary::StateAt(s, s.lastBackupDate + 8 * day, 7), CServerSummary::StateOverdue);
    // Zero days: never warn.
    EXPECT_EQ(CServerSummary::StateAt(s, s.lastBackupDate + 400 * day, 0), CServerSummary::StateOK);
    // A clock behind the last backup is not a quiet server.
    EXPECT_EQ(CServerSummary::StateAt(s, s.lastBackupDate - 10 * day, 2), CServerSummary::StateOK);
    EXPECT_EQ(CServerSummary::DaysSinceLastBackup(s, s.lastBackupDate + 3 * day + 5), 3);
    EXPECT_EQ(CServerSummary::DaysSinceLastBackup(s, s.lastBackupDate - 5), 0);
    EXPECT_EQ(CServerSummary::StateText(CServerSummary::StateOverdue, 2), "No backup for more than 2 days");
    EXPECT_EQ(CServerSummary::StateText(CServerSummary::StateOverdue, 1), "No backup for more than 1 day");
}

TEST(CServerSummaryState, DatesAfter2038CompareUnsigned)
{
    TServerSummary s;
    s.backupCount = 1;
    s.lastBackupDate = 4102444800u; // 2100-01-01
    EXPECT_EQ(CServerSummary::StateAt(s, 4102444800LL + 86400, 2), CServerSummary::StateOK);
    EXPECT_EQ(CServerSummary::StateAt(s, 4102444800LL + 3 * 86400, 2), CServerSummary::StateOverdue);
}

} // namespace
