// The whole program as a user runs it: Harborlock started on a served port with
// its own home folder, a simulated Quarnex server pushing a backup to it.

#include "TestSandbox.h"

#include "CBFMRepository.h"
#include "ClusterPlan.h"
#include "Eventually.h"
#include "MakeDirPath.h"
#include "Platform.h"
#include "QuarnexSim.h"
#include "ServedPort.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <chrono>
#include <filesystem>
#include <string>

namespace {

class HarborlockEndToEndTest : public SandboxTest {
protected:
    void TearDown() override
    {
        if (app.state() != QProcess::NotRunning)
            Stop();
        CBFMRepository::Release();
        SandboxTest::TearDown();
    }

    std::string Home() const { return SandboxPath("home"); }
    std::string DataRoot() const { return Home() + "/.local/share/Quarnex/Harborlock"; }
    std::string Folder() const { return SandboxPath("backups"); }

    QStringList ActivityTexts() const
    {
        QStringList out;
        const std::string path = DataRoot() + "/log/activityLog.txt";
        if (!hl::Os().FileExists(path))
            return out;
        static const QRegularExpression stamp(
            QStringLiteral("^\\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d[ap]m  "));
        for (const QString& line : QString::fromStdString(ReadFile(path)).split('\n', Qt::SkipEmptyParts)) {
            EXPECT_TRUE(stamp.match(line).hasMatch()) << line.toStdString();
            out << QString(line).remove(stamp);
        }
        return out;
    }

    enum class Start { Listening, PortTaken, Failed };

    // Starts Harborlock with settings naming `port` and waits until its service listens there
    // (its debug log says so) or says it could not start: then the port is held by another
    // process, and the program is stopped and its activity log removed for the next try.
    Start StartOn(int port)
    {
        WriteFile(DataRoot() + "/Config/Harborlock.cfg",
                  "BackupDataBasePath: " + Folder() + "\r\nIPPort: " + std::to_string(port) + "\r\n");
        app.start(QStringLiteral(HARBORLOCK_EXE), QStringList());
        if (!app.waitForStarted(10000))
            return Start::Failed;
        const std::string listening = "Accepting connections on port " + std::to_string(port) + "\n";
        bool taken = false;
        const bool settled = testsupport::Eventually(
            [&] {
                if (ReadFile(DataRoot() + "/log/quarnexLog.txt").find(listening) != std::string::npos)
                    return true;
                taken = ActivityTexts().contains("Error starting backup service");
                return taken || app.state() != QProcess::Running;
            },
            kAppLimit);
        if (settled && !taken && app.state() == QProcess::Running)
            return Start::Listening;
        Stop();
        std::filesystem::remove(DataRoot() + "/log/activityLog.txt");
        return taken ? Start::PortTaken : Start::Failed;
    }

    void Stop()
    {
        app.terminate();
        if (!app.waitForFinished(30000))
            app.kill();
        app.waitForFinished(5000);
    }

    static constexpr std::chrono::seconds kAppLimit{60};
    QProcess app;
};

using testsupport::Eventually;

TEST_F(HarborlockEndToEndTest, ReceivesABackupAndLogsIt)
{
    MakeDirPath(DataRoot() + "/Config");
    MakeDirPath(Folder());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", QString::fromStdString(Home()));
    env.remove("XDG_DATA_HOME");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    // The program is stopped by a signal at the end; leak checking needs a normal exit.
    env.insert("ASAN_OPTIONS", "detect_leaks=0");
    app.setProcessEnvironment(env);
    app.setProcessChannelMode(QProcess::ForwardedChannels);
    bool failed = false;
    const int port = testsupport::StartOnServedPort([&](int candidate) {
        const Start start = StartOn(candidate);
        failed = start == Start::Failed;
        return start != Start::PortTaken;
    });
    ASSERT_FALSE(failed) << "Harborlock did not start, or did not listen within " << kAppLimit.count()
                         << " s";
    ASSERT_GT(port, 0);

    quarnexsim::QuarnexSim sim("127.0.0.1", static_cast<uint16_t>(port));
    sim.SetTimeoutMs(10000);
    uint32_t pong = 0;
    ASSERT_TRUE(sim.Ping(pong)) << "Harborlock did not answer on port " << port;

    quarnexsim::PlanOptions plan;
    plan.count = 300;
    plan.clusterSize = 4096;
    plan.scratchPercent = 20;
    const auto clusters = quarnexsim::ClusterPlan::Generate(plan);
    quarnexsim::SimHeader header;
    header.serialNumber = 0x0000BEEF;
    header.clusterSize = 4096;
    header.headerParam1 = 1;
    const quarnexsim::PushResult pushed = sim.Push(header, true, clusters);
    ASSERT_TRUE(pushed.completed) << pushed.failure;

    ASSERT_TRUE(Eventually([&] { return ActivityTexts().contains("Saving backup completed successfully"); },
                           kAppLimit))
        << ActivityTexts().join("\n").toStdString();
    const QStringList texts = ActivityTexts();
    const QStringList expected = {
        "Backup initated from Quarnex Server ID: 0000BEEF",
        "Started backup transfer from Quarnex Server ID: 0000BEEF of estimated size 1 MBytes",
        QString::fromStdString("Backup folder is " + Folder()),
        "Backup transfer completed successfully",
        "Saving backup started",
        "Saving backup completed successfully",
    };
    EXPECT_EQ(texts, expected);

    app.terminate();
    ASSERT_TRUE(app.waitForFinished(30000));

    // The backup is in the repository the settings named.
    CBFMRepository* repository = CBFMRepository::GetInstance(Folder().c_str());
    std::vector<TBackupInfo> backups;
    repository->GetAllBackups(backups);
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(backups[0].serverID, "0000BEEF");
    std::uint64_t size = 0;
    ASSERT_TRUE(repository->GetBackupSize(backups[0].serverID, backups[0].backupID, size));
    EXPECT_GE(size, 300u * 4096u);
}

} // namespace
