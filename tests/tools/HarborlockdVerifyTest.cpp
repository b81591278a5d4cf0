// `harborlock-ctl verify` against a running harborlockd: real processes, a backup pushed by the
// simulator over loopback, the stored image then damaged on disk.
#include <filesystem>
#include <string>

#include "HarborlockdFixture.h"

namespace {

namespace fs = std::filesystem;

class HarborlockdVerifyTest : public HarborlockdTest {
protected:
    ChildProcess daemon;
};

TEST_F(HarborlockdVerifyTest, CtlVerifyReportsEachBackupAndADamagedOneMakesTheNextBackupFull)
{
    ASSERT_TRUE(StartDaemon(daemon)) << ReadFile(errPath);
    ASSERT_EQ(Sim("push --serial 0x1A2B3 --full --clusters 40"), 0) << output;
    ASSERT_TRUE(Saved(1));

    ASSERT_EQ(Ctl("verify"), 0) << output;
    EXPECT_TRUE(Contains(output, "Verify of 1 backup started\n")) << output;
    EXPECT_TRUE(Contains(output, "\": whole (")) << output;
    EXPECT_TRUE(Contains(output, "Verify of backups completed: 1 whole, 0 damaged, 0 not checked\n"))
        << output;

    // One byte of the stored image flipped on disk.
    std::string image;
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(folder + "/0001A2B3"))
        if (e.path().filename() == "backup_000.dat")
            image = e.path().string();
    ASSERT_FALSE(image.empty());
    std::string bytes = ReadFile(image);
    ASSERT_GT(bytes.size(), 1000u);
    bytes[1000] = char(bytes[1000] ^ 0x80);
    WriteFile(image, bytes);

    EXPECT_EQ(Ctl("verify 0001A2B3"), 1) << output;
    EXPECT_TRUE(Contains(output, "Verify of 1 backup of Quarnex Server ID: 0001A2B3 started\n")) << output;
    EXPECT_TRUE(Contains(output, "\": damaged in backup_000.dat at offset ")) << output;
    EXPECT_TRUE(Contains(output,
                         ": the record does not match its checksum.  The next backup from this server will "
                         "be a full backup.\n"))
        << output;
    EXPECT_TRUE(Contains(output, "Verify of backups completed: 0 whole, 1 damaged, 0 not checked\n"))
        << output;
    const std::string server = ReadFile(folder + "/0001A2B3/server.cfg");
    EXPECT_TRUE(Contains(server, "CurrentBackupID: \r\n")) << server;

    EXPECT_EQ(Ctl("--json verify"), 1) << output;
    EXPECT_TRUE(
        Contains(output, "{\"result\":\"damaged\",\"whole\":0,\"damaged\":1,\"unchecked\":0,\"backups\":[{"))
        << output;
    EXPECT_TRUE(Contains(output, "\"verdict\":\"damaged\",\"nextBackupFull\":false"))
        << output; // already cleared

    EXPECT_EQ(Ctl("verify 00000009"), 1) << output;
    EXPECT_TRUE(Contains(output, "No backups of Quarnex Server ID 00000009 are stored.")) << output;
    EXPECT_EQ(Ctl("verify 0001A2B3 extra"), 2);
    // Every run is in the activity log as well.
    EXPECT_TRUE(Contains(ActivityLog(), "Verify of backups completed: 0 whole, 1 damaged, 0 not checked"))
        << ActivityLog();
}

} // namespace
