// The Servers view of the main window, the warning about servers that went quiet, and the
// desktop notifications: on the sample backup folder and with backups pushed by the
// simulated Quarnex server over loopback into the window's own service.

#include "PresentationFixture.h"

#include "CDesktopNotifier.h"
#include "CServerWatch.h"
#include "CStaleServerMonitor.h"
#include "ClusterPlan.h"
#include "GUIComm.h"
#include "ModalWatcher.h"
#include "Platform.h"
#include "QuarnexConnection.h"
#include "QuarnexSim.h"
#include "SampleBackupFolder.h"
#include "ScopedEnvironment.h"
#include "TServersForm.h"

#include <QAction>
#include <QMenu>
#include <QSpinBox>
#include <QTableWidget>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kDay = 86400;
constexpr std::int64_t k417Date = 1765100000; // last backup of 0001A2B3 in the sample folder

struct Seen {
    QString title;
    QString text;
    bool warning = false;
};

class ServersViewTest : public PresentationTest {
protected:
    void CopySampleFolder() { testsupport::CopySampleBackupFolder(BackupFolder()); }

    // Shows the window on the folder with the clock at `now` (so the first check already
    // runs on it) and records every desktop notification.
    void ShowOn(const std::string& port)
    {
        WriteSettings(port, BackupFolder());
        CreateMainForm();
        watch = Form().findChild<CServerWatch*>();
        ASSERT_NE(watch, nullptr);
        QObject::connect(watch->Notifier(), &CDesktopNotifier::Notified, &Form(),
                         [this](const QString& title, const QString& text, bool warning) {
                             seen.push_back({title, text, warning});
                         });
        watch->Monitor()->SetClock([this] { return now; });
        ShowMainForm();
    }

    // ShowOn a served port; a port another process holds is retried on another. The port,
    // or -1.
    int ShowOnServedPort()
    {
        return PresentationTest::ShowOnServedPort([this](int port) {
            seen.clear(); // the failed start's notification
            ShowOn(std::to_string(port));
        });
    }

    QTableWidget* OpenServersView()
    {
        QMenu* backupMenu = Child<QMenu>("menuitemBackup");
        QAction* item = Form().findChild<QAction*>("menuitemServers");
        EXPECT_TRUE(item && backupMenu && backupMenu->actions().contains(item))
            << "Servers... is in the Backup menu";
        EXPECT_EQ(item ? item->text() : QString(), "Servers...");
        if (item)
            item->trigger();
        Pump();
        TServersForm* form = Form().findChild<TServersForm*>();
        EXPECT_TRUE(form && form->isVisible());
        return form ? form->findChild<QTableWidget*>("tblServers") : nullptr;
    }

    static int RowOf(QTableWidget* table, const QString& id)
    {
        for (int r = 0; r < table->rowCount(); ++r)
            if (table->item(r, TServersForm::ColServerID)->text() == id)
                return r;
        return -1;
    }
    static QString Cell(QTableWidget* table, const QString& id, int col)
    {
        const int r = RowOf(table, id);
        return r < 0 ? QStringLiteral("<no row>") : table->item(r, col)->text();
    }
    static QStringList Column(QTableWidget* table, int col)
    {
        QStringList out;
        for (int r = 0; r < table->rowCount(); ++r)
            out << table->item(r, col)->text();
        return out;
    }

    CServerWatch* watch = nullptr;
    std::int64_t now = k417Date + kDay;
    std::vector<Seen> seen;
    testsupport::ScopedTimeZone utc{"UTC"};
};

TEST_F(ServersViewTest, SampleFolderShowsEveryServerWithDatesCountsAndSizes)
{
    CopySampleFolder();
    ShowOn("0");
    QTableWidget* table = OpenServersView();
    ASSERT_NE(table, nullptr);

    ASSERT_EQ(table->rowCount(), 2) << "notaserver/ is not a server";
    EXPECT_EQ(Column(table, TServersForm::ColServerID), QStringList({"0001A2B3", "00C0FFEE"}));
    EXPECT_EQ(Cell(table, "00C0FFEE", TServersForm::ColName), "Main office");
    // Dates in local time (UTC here), as the other lists show them.
    EXPECT_EQ(Cell(table, "0001A2B3", TServersForm::ColLastBackup), "Sun Dec 07, 09:33 AM 2025");
    EXPECT_EQ(Cell(table, "00C0FFEE", TServersForm::ColLastBackup), "Fri Jan 01, 12:00 AM 2100");
    EXPECT_EQ(Cell(table, "0001A2B3", TServersForm::ColBackups), "2");
    EXPECT_EQ(Cell(table, "00C0FFEE", TServersForm::ColBackups), "1");
    // Every file below the server directory.
    EXPECT_EQ(Cell(table, "0001A2B3", TServersForm::ColSize), "653 bytes");
    EXPECT_EQ(Cell(table, "00C0FFEE", TServersForm::ColSize), "290 bytes");
    EXPECT_EQ(Cell(table, "0001A2B3", TServersForm::ColState), "OK");
    EXPECT_EQ(Cell(table, "0001A2B3", TServersForm::ColWarnDays), "2 days");
    EXPECT_TRUE(seen.empty()) << seen.front().text.toStdString();
}

TEST_F(ServersViewTest, SimulatedBackupAppearsAtOnceAndEveryColumnSortsByValue)
{
    CopySampleFolder();
    const int port = ShowOnServedPort();
    ASSERT_GT(port, 0);
    QTableWidget* table = OpenServersView();
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(table->rowCount(), 2);

    // A full backup of 300 clusters of 4 KiB from a third server, over real loopback.
    quarnexsim::QuarnexSim sim("127.0.0.1", static_cast<uint16_t>(port));
    sim.SetTimeoutMs(10000);
    quarnexsim::PlanOptions plan;
    plan.count = 300;
    plan.clusterSize = 4096;
    plan.scratchPercent = 20;
    quarnexsim::SimHeader header;
    header.serialNumber = 0x0000BEEF;
    header.clusterSize = 4096;
    const std::int64_t before = hl::Os().WallClockMs() / 1000;
    const quarnexsim::PushResult pushed = sim.Push(header, true, quarnexsim::ClusterPlan::Generate(plan));
    ASSERT_TRUE(pushed.completed) << pushed.failure;
    const std::int64_t after = hl::Os().WallClockMs() / 1000;
    now = after;

    // The open view is filled again when the backup has been saved, without being asked.
    ASSERT_TRUE(
        WaitFor([&] { return table->rowCount() == 3; }, "the open view to be refilled after the backup"));
    const int row = RowOf(table, "0000BEEF");
    ASSERT_GE(row, 0);
    EXPECT_EQ(Cell(table, "0000BEEF", TServersForm::ColBackups), "1");
    const qint64 date =
        table->item(row, TServersForm::ColLastBackup)->data(TServersForm::SortRole).toLongLong();
    EXPECT_GE(date, before);
    EXPECT_LE(date, after);
    std::uint64_t onDisk = 0;
    for (const auto& entry : fs::recursive_directory_iterator(BackupFolder() + "/0000BEEF"))
        if (entry.is_regular_file())
            onDisk += entry.file_size();
    EXPECT_EQ(table->item(row, TServersForm::ColSize)->data(TServersForm::SortRole).toULongLong(), onDisk);
    EXPECT_GE(onDisk, 300u * 4096u);
    EXPECT_TRUE(Cell(table, "0000BEEF", TServersForm::ColSize).endsWith("MiB"));
    EXPECT_EQ(Cell(table, "0000BEEF", TServersForm::ColState), "OK");

    // Sorting by a column orders by its value, not by its text.
    table->sortByColumn(TServersForm::ColSize, Qt::AscendingOrder);
    EXPECT_EQ(Column(table, TServersForm::ColServerID), QStringList({"00C0FFEE", "0001A2B3", "0000BEEF"}));
    table->sortByColumn(TServersForm::ColLastBackup, Qt::AscendingOrder);
    EXPECT_EQ(Column(table, TServersForm::ColServerID), QStringList({"0001A2B3", "0000BEEF", "00C0FFEE"}));
    table->sortByColumn(TServersForm::ColBackups, Qt::DescendingOrder);
    EXPECT_EQ(Column(table, TServersForm::ColServerID).first(), "0001A2B3");
    table->sortByColumn(TServersForm::ColServerID, Qt::DescendingOrder);
    EXPECT_EQ(Column(table, TServersForm::ColServerID), QStringList({"00C0FFEE", "0001A2B3", "0000BEEF"}));
    // A refresh keeps the order the user chose.
    watch->Monitor()->Check();
    EXPECT_EQ(Column(table, TServersForm::ColServerID), QStringList({"00C0FFEE", "0001A2B3", "0000BEEF"}));
}

TEST_F(ServersViewTest, QuietServerIsMarkedAndAnnouncedOnceWhenPastItsLimit)
{
    CopySampleFolder();
    now = k417Date + 2 * kDay; // exactly two days: not yet
    ShowOn("0");
    QTableWidget* table = OpenServersView();
    ASSERT_NE(table, nullptr);
    CDesktopNotifier* notifier = watch->Notifier();
    const QIcon normalIcon = notifier->CurrentIcon();

    EXPECT_TRUE(seen.empty());
    EXPECT_FALSE(notifier->IsWarning());
    EXPECT_EQ(Cell(table, "0001A2B3", TServersForm::ColState), "OK");

    now = k417Date + 2 * kDay + 1;
    watch->Monitor()->Check();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].warning);
    EXPECT_EQ(seen[0].text, "No backup from Quarnex Server ID: 0001A2B3 for 2 days.");
    EXPECT_TRUE(notifier->IsWarning());
    EXPECT_NE(notifier->CurrentIcon().cacheKey(), normalIcon.cacheKey()) << "the tray icon changes";
    EXPECT_TRUE(notifier->CurrentTip().contains("0001A2B3"));
    EXPECT_FALSE(notifier->CurrentTip().contains("00C0FFEE"));
    EXPECT_EQ(Cell(table, "0001A2B3", TServersForm::ColState), "No backup for more than 2 days");
    const int row = RowOf(table, "0001A2B3");
    EXPECT_TRUE(table->item(row, TServersForm::ColServerID)->background().style() != Qt::NoBrush)
        << "the quiet row is marked";
    EXPECT_EQ(table->item(RowOf(table, "00C0FFEE"), TServersForm::ColServerID)->background().style(),
              Qt::NoBrush);

    // Still quiet a day later: not announced again.
    now += kDay;
    watch->Monitor()->Check();
    EXPECT_EQ(seen.size(), 1u);
    EXPECT_TRUE(notifier->IsWarning());
}

TEST_F(ServersViewTest, WarnDaysAreThePerServerWindowSettingAndSurviveASettingsRewrite)
{
    CopySampleFolder();
    now = k417Date + 3 * kDay + 5;
    const std::string serverCfg = ReadFile(BackupFolder() + "/0001A2B3/server.cfg");
    ShowOn("0");
    ASSERT_EQ(seen.size(), 1u) << "quiet for three days with the default of two";
    EXPECT_EQ(seen[0].text, "No backup from Quarnex Server ID: 0001A2B3 for 3 days.");
    QTableWidget* table = OpenServersView();
    ASSERT_NE(table, nullptr);
    QSpinBox* days = Form().findChild<TServersForm*>()->findChild<QSpinBox*>("udWarnDays");
    ASSERT_NE(days, nullptr);
    EXPECT_FALSE(days->isEnabled()) << "nothing selected yet";

    table->selectRow(RowOf(table, "0001A2B3"));
    EXPECT_TRUE(days->isEnabled());
    EXPECT_EQ(days->value(), 2);
    days->setValue(7);
    Pump();

    EXPECT_EQ(Cell(table, "0001A2B3", TServersForm::ColState), "OK");
    EXPECT_EQ(Cell(table, "0001A2B3", TServersForm::ColWarnDays), "7 days");
    EXPECT_FALSE(watch->Notifier()->IsWarning()) << "no server is quiet any more";
    EXPECT_EQ(Cell(table, "00C0FFEE", TServersForm::ColWarnDays), "2 days");
    const std::string settings = ReadFile(SettingsPath());
    EXPECT_NE(settings.find("ServerWarnDays-0001A2B3: 7\r\n"), std::string::npos) << settings;
    EXPECT_NE(settings.find("IPPort: 0\r\n"), std::string::npos) << settings;
    EXPECT_EQ(ReadFile(BackupFolder() + "/0001A2B3/server.cfg"), serverCfg) << "server.cfg is not touched";

    // The window rewrites the file when the port or folder changes: the limit stays.
    Form().SaveSettings("5002", BackupFolder());
    EXPECT_NE(ReadFile(SettingsPath()).find("ServerWarnDays-0001A2B3: 7\r\n"), std::string::npos);
    std::string port, folder;
    Form().LoadSettings(port, folder);
    EXPECT_EQ(port, "5002");
    EXPECT_EQ(folder, BackupFolder());

    // Past the new limit it warns again.
    now = k417Date + 7 * kDay + 1;
    watch->Monitor()->Check();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].text, "No backup from Quarnex Server ID: 0001A2B3 for 7 days.");
    EXPECT_EQ(Cell(table, "0001A2B3", TServersForm::ColState), "No backup for more than 7 days");
}

TEST_F(ServersViewTest, NewBackupEndsTheWarning)
{
    const int port = ShowOnServedPort();
    ASSERT_GT(port, 0);
    quarnexsim::QuarnexSim sim("127.0.0.1", static_cast<uint16_t>(port));
    sim.SetTimeoutMs(10000);
    quarnexsim::PlanOptions plan;
    plan.count = 8;
    plan.clusterSize = 4096;
    quarnexsim::SimHeader header;
    header.serialNumber = 0x0000CAFE;
    header.clusterSize = 4096;
    ASSERT_TRUE(sim.Push(header, true, quarnexsim::ClusterPlan::Generate(plan)).completed);
    ASSERT_TRUE(WaitFor([&] { return watch->Monitor()->Summaries().size() == 1; },
                        "the monitor to know the new server"));

    // Three days later nothing came: quiet.
    const std::int64_t real = hl::Os().WallClockMs() / 1000;
    now = real + 3 * kDay;
    watch->Monitor()->Check();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(watch->Notifier()->IsWarning());

    // A backup arriving then (the clock still three days on) clears it by itself.
    plan.seed = 2;
    ASSERT_TRUE(sim.Push(header, true, quarnexsim::ClusterPlan::Generate(plan)).completed);
    // The service stamps the backup with the real clock; the check runs at "now".
    now = real + 1;
    ASSERT_TRUE(
        WaitFor([&] { return !watch->Notifier()->IsWarning(); }, "the warning to clear after a new backup"));
    EXPECT_EQ(seen.size(), 1u);
}

TEST_F(ServersViewTest, FailuresRaiseADesktopNotificationWithTheDesignedText)
{
    const int port = ShowOnServedPort();
    ASSERT_GT(port, 0);

    // A Quarnex server that says HELLO for a full backup and then goes away.
    {
        quarnexsim::QuarnexConnection c;
        ASSERT_TRUE(c.Connect("127.0.0.1", static_cast<uint16_t>(port)));
        quarnexsim::SimHeader header;
        header.serialNumber = 0x0000D00D;
        header.clusterSize = 4096;
        const std::vector<std::uint8_t> hello = quarnexsim::QuarnexSim::HelloPayload(header, true);
        ASSERT_TRUE(c.SendWord(0x55AA0001) && c.SendBytes(hello.data(), hello.size()));
        std::uint32_t answer = 0;
        ASSERT_TRUE(c.ReadWord(answer, 10000));
    }
    const auto announced = [&](const QString& text) {
        return std::any_of(seen.begin(), seen.end(),
                           [&](const Seen& s) { return s.text == text && !s.warning; });
    };
    ASSERT_TRUE(WaitFor([&] { return announced("Backup failed."); }, "a notification for the failed backup"));
    EXPECT_TRUE(ActivityTexts().contains("Backup failed."));

    // The other failures arrive the same way, each with its own text.
    GUIComm* comm = GUIComm::Instance();
    ASSERT_NE(comm, nullptr);
    const std::vector<std::pair<int, QString>> cases = {
        {14, "Error finalizing backup."},
        {5, "Restore failed."},
        {8, "Creation of backup export directory failed."},
        {9, "Backup selected for import is not a valid Harborlock backup."},
        {11, "Copying backup failed because disk is full."},
    };
    for (const auto& [code, text] : cases) {
        const std::size_t count = seen.size();
        comm->NotifyError(code);
        Pump();
        ASSERT_EQ(seen.size(), count + 1) << code;
        EXPECT_EQ(seen.back().text, text);
    }
    const std::size_t count = seen.size();
    comm->NotifyServiceFailed(1);
    Pump();
    ASSERT_EQ(seen.size(), count + 1);
    EXPECT_EQ(seen.back().text,
              "Error creating network connection on specified port.  Try another port number.");

    // Progress and success notifications are not announced.
    comm->NotifyRestoreStarted("0001A2B3", 1);
    comm->NotifyRestoreDone(true);
    Pump();
    EXPECT_EQ(seen.size(), count + 1);
}

} // namespace
