// harborlockd's repository commands through harborlock-ctl: export, import and delete with
// their designed results, and the servers list with the warning about servers gone quiet.
#include <signal.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include "Eventually.h"
#include "HarborlockdFixture.h"
#include "Platform.h"

namespace {

// The raw value of "name" in the JSON object that holds "server":"<server>" (objects here are
// flat), or "" when absent.
std::string JsonField(const std::string& json, const std::string& server, const std::string& name)
{
    const auto at = json.find("\"server\":\"" + server + "\"");
    if (at == std::string::npos)
        return "";
    const auto begin = json.rfind('{', at), end = json.find('}', at);
    const std::string object = json.substr(begin, end - begin);
    const auto key = object.find("\"" + name + "\":");
    if (key == std::string::npos)
        return "";
    const auto value = key + name.size() + 3;
    if (object[value] == '"')
        return object.substr(value + 1, object.find('"', value + 1) - value - 1);
    return object.substr(value, object.find_first_of(",}", value) - value);
}

// Bytes of the regular files below the directory named `name` somewhere under `root`.
std::uint64_t BytesBelow(const std::string& root, const std::string& name)
{
    namespace fs = std::filesystem;
    for (const fs::directory_entry& dir : fs::recursive_directory_iterator(root)) {
        if (!dir.is_directory() || dir.path().filename() != name)
            continue;
        std::uint64_t total = 0;
        for (const fs::directory_entry& f : fs::recursive_directory_iterator(dir.path()))
            if (f.is_regular_file() && !f.is_symlink())
                total += f.file_size();
        return total;
    }
    return 0;
}

TEST_F(HarborlockdTest, ExportImportAndDeleteReportTheDesignedResults)
{
    ChildProcess daemon;
    ASSERT_TRUE(StartDaemon(daemon)) << ReadFile(errPath);
    ASSERT_EQ(Sim("push --serial 0x1A2B3 --full --clusters 40 --cluster-size 1024"), 0) << output;
    ASSERT_TRUE(Saved(1)) << ActivityLog();
    ASSERT_EQ(Ctl("--json backups 0001A2B3"), 0) << output;
    const auto at = output.find("\"backup\":\"");
    ASSERT_NE(at, std::string::npos) << output;
    const std::string backupId = output.substr(at + 10, output.find('"', at + 10) - at - 10);

    const std::string exports = SandboxPath("exports");
    hl::Os().CreateDirectory(exports);
    EXPECT_EQ(Ctl("export 0001A2B3 " + backupId + " " + SandboxPath("missing") + " x"), 1);
    EXPECT_EQ(output, "The export folder doesn't exist\n");
    ASSERT_EQ(Ctl("export 0001A2B3 " + backupId + " " + exports + " copy"), 0) << output;
    EXPECT_EQ(output, "Export of backup completed successfully\n");
    EXPECT_EQ(Ctl("export 0001A2B3 " + backupId + " " + exports + " copy"), 1);
    EXPECT_EQ(output, "The export name is invalid.\n" + exports + "/copy already exists.\n");

    // Importing what is still stored: the designed code 12 and its text.
    EXPECT_EQ(Ctl("--json import " + exports + "/copy"), 1) << output;
    EXPECT_EQ(output,
              "{\"result\":\"failed\",\"code\":12,\"text\":\"Backup selected for import already exists in "
              "Harborlock.\"}\n");
    // Not an export at all: code 9.
    const std::string empty = SandboxPath("empty");
    hl::Os().CreateDirectory(empty);
    EXPECT_EQ(Ctl("import " + empty), 1);
    EXPECT_EQ(output,
              "Backup selected for import is not a valid Harborlock backup.\nImport of backup failed.\n");

    EXPECT_EQ(Ctl("delete 0001A2B3 99999"), 1);
    ASSERT_EQ(Ctl("delete 0001A2B3 " + backupId), 0) << output;
    EXPECT_EQ(output.rfind("Delete of backup \"Quarnex Server ID: 0001A2B3    ", 0), 0u) << output;
    EXPECT_EQ(Ctl("backups"), 0);
    EXPECT_EQ(output, "There are no Harborlock backups\n");
    ASSERT_EQ(Ctl("import " + exports + "/copy"), 0) << output;
    ASSERT_EQ(Ctl("backups 0001A2B3"), 0);
    EXPECT_TRUE(Contains(output, "0001A2B3  " + backupId + "  ")) << output;

    daemon.Signal(SIGTERM);
    ASSERT_EQ(daemon.Wait(60), 0);
    const std::string log = ActivityLog();
    EXPECT_TRUE(Contains(log, "\" to " + exports + "/copy  of size 0 MBytes started\n")) << log;
    EXPECT_EQ(Count(log, "  Export of backup completed successfully\n"), 1) << log;
    EXPECT_EQ(Count(log, "  Backup selected for import already exists in Harborlock.\n"), 1) << log;
    EXPECT_EQ(Count(log, "  Import of backup failed\n"), 2) << log;
    EXPECT_EQ(Count(log, "  Import of backup completed successfully\n"), 1) << log;
    EXPECT_TRUE(Contains(log, "\" completed successfully\n")) << log; // the delete line
}

TEST_F(HarborlockdTest, ServersListsEachServerAndQuietServersAreAnnouncedOncePastTheirLimit)
{
    // The daemon's clock runs a day and a half ahead: past server 0000BEEF's one-day limit,
    // short of the default two days of 0001A2B3.
    extraSettings = "ServerWarnDays-0000BEEF: 1\r\n";
    ChildProcess daemon;
    ASSERT_TRUE(StartDaemon(daemon, {"--clock-offset", "129600"})) << ReadFile(errPath);
    ASSERT_EQ(Ctl("servers"), 0) << output;
    EXPECT_TRUE(Contains(output, "No Quarnex server")) << output;

    const std::int64_t before = std::time(nullptr);
    const std::string modelA = SandboxPath("a.img"), modelB = SandboxPath("b.img");
    ASSERT_EQ(
        Sim("push --serial 0x1A2B3 --full --clusters 200 --cluster-size 1024 --seed 1 --model " + modelA), 0)
        << output;
    ASSERT_TRUE(Saved(1));
    ASSERT_EQ(Sim("push --serial 0xBEEF --full --clusters 90 --cluster-size 2048 --seed 2 --model " + modelB),
              0)
        << output;
    ASSERT_TRUE(Saved(2));
    const std::int64_t after = std::time(nullptr);

    // The check after the backup finds 0000BEEF quiet, and only it.
    ASSERT_TRUE(testsupport::Eventually(
        [&] { return Ctl("status") == 0 && Contains(output, "No recent backup: 0000BEEF ("); },
        std::chrono::seconds(30)))
        << output;
    ASSERT_EQ(Ctl("--json status"), 0);
    EXPECT_TRUE(Contains(output, "\"quietServers\":[\"0000BEEF\"]")) << output;

    ASSERT_EQ(Ctl("--json servers"), 0) << output;
    const std::string json = output;
    ASSERT_EQ(Ctl("servers"), 0) << output;
    const std::string text = output;
    const struct {
        std::string id, model, state, stateText;
    } expected[] = {{"0001A2B3", modelA, "ok", "OK"},
                    {"0000BEEF", modelB, "overdue", "No backup for more than 1 day"}};
    for (const auto& e : expected) {
        SCOPED_TRACE(e.id);
        const std::int64_t date = std::atoll(JsonField(json, e.id, "lastBackup").c_str());
        EXPECT_GE(date, before) << json;
        EXPECT_LE(date, after) << json;
        EXPECT_EQ(JsonField(json, e.id, "backups"), "1") << json;
        EXPECT_EQ(JsonField(json, e.id, "imageBytes"), std::to_string(std::filesystem::file_size(e.model)))
            << json;
        const std::uint64_t disk = BytesBelow(folder, e.id);
        EXPECT_GT(disk, std::filesystem::file_size(e.model));
        EXPECT_EQ(JsonField(json, e.id, "diskBytes"), std::to_string(disk)) << json;
        EXPECT_EQ(JsonField(json, e.id, "state"), e.state) << json;
        EXPECT_EQ(JsonField(json, e.id, "stateText"), e.stateText) << json;
        // One text row per server with the same date, count, size and state.
        const auto row = text.find(e.id + "  ");
        ASSERT_NE(row, std::string::npos) << text;
        const std::string line = text.substr(row, text.find('\n', row) - row);
        const std::string dateText = JsonField(json, e.id, "lastBackupText");
        EXPECT_FALSE(dateText.empty());
        EXPECT_TRUE(Contains(line, "  " + dateText + "  ")) << line;
        EXPECT_TRUE(Contains(line, "  1  ")) << line;
        char size[32];
        std::snprintf(size, sizeof size, "%.1f KiB", static_cast<double>(disk) / 1024.0);
        EXPECT_TRUE(Contains(line, size)) << line << " / " << size;
        EXPECT_TRUE(Contains(line, e.stateText)) << line;
    }
    EXPECT_EQ(Count(text, "\n"), 3) << text; // heading and two rows

    // More checks (a re-read of the settings) do not repeat the warning.
    const std::string quietB = "  No backup from Quarnex Server ID: 0000BEEF for 1 day.\n";
    daemon.Signal(SIGHUP);
    ASSERT_TRUE(SettingsRead(1));
    EXPECT_EQ(Count(ActivityLog(), quietB), 1) << ActivityLog();
    EXPECT_EQ(Count(ActivityLog(), "No backup from"), 1) << ActivityLog();

    // A changed limit is a new warning: 0001A2B3 now has one day as well.
    extraSettings += "ServerWarnDays-0001A2B3: 1\r\n";
    WriteSettings(port, folder);
    daemon.Signal(SIGHUP);
    ASSERT_TRUE(SettingsRead(2));
    ASSERT_EQ(Ctl("status"), 0);
    EXPECT_TRUE(Contains(output, "No recent backup: 0000BEEF, 0001A2B3 (")) << output;
    EXPECT_EQ(Count(ActivityLog(), "  No backup from Quarnex Server ID: 0001A2B3 for 1 day.\n"), 1)
        << ActivityLog();
    EXPECT_EQ(Count(ActivityLog(), quietB), 1) << ActivityLog();

    // So is a new backup that is still (by this clock) older than the limit.
    ASSERT_EQ(Sim("push --serial 0xBEEF --full --clusters 90 --cluster-size 2048 --seed 3"), 0) << output;
    ASSERT_TRUE(Saved(3));
    ASSERT_TRUE(
        testsupport::Eventually([&] { return Count(ActivityLog(), quietB) == 2; }, std::chrono::seconds(30)))
        << ActivityLog();

    daemon.Signal(SIGTERM);
    ASSERT_EQ(daemon.Wait(60), 0) << ReadFile(errPath);
    const std::string debugLog = ReadFile(DataRoot() + "/log/quarnexLog.txt");
    EXPECT_EQ(Count(debugLog, "server 0000BEEF is quiet"), 2) << debugLog;
    EXPECT_EQ(Count(debugLog, "server 0001A2B3 is quiet"), 1) << debugLog;

    // On the true clock nothing is past its limit: no warning, none written.
    const std::string logBefore = ActivityLog();
    ChildProcess fresh;
    ASSERT_TRUE(StartDaemon(fresh, {}, "fresh")) << ReadFile(errPath);
    ASSERT_EQ(Ctl("--json status"), 0);
    EXPECT_TRUE(Contains(output, "\"quietServers\":[]")) << output;
    ASSERT_EQ(Ctl("--json servers"), 0);
    EXPECT_EQ(Count(output, "\"state\":\"ok\""), 2) << output;
    fresh.Signal(SIGTERM);
    ASSERT_EQ(fresh.Wait(60), 0) << ReadFile(errPath);
    EXPECT_EQ(Count(ActivityLog(), "No backup from"), Count(logBefore, "No backup from")) << ActivityLog();
}

} // namespace
