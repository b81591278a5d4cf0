#include "PresentationFixture.h"

#include "CBFMRepository.h"
#include "CClientInfra.h"
#include "CInetHeaderParser.h"
#include "CLog.h"
#include "MakeDirPath.h"
#include "ServedPort.h"
#include "TExceptionDlg.h"
#include "TMainForm.h"

#include <QApplication>
#include <QFile>
#include <QRegularExpression>

#include <filesystem>

void PresentationTest::SetUp()
{
    SandboxTest::SetUp();
    CLog::ResetForTests();
    CLog::Init(Sandbox());
    for (int category : {0, 10, 15})
        CLog::SetLevels(category, 7);
    for (int category : {31, 32, 33})
        CLog::SetLevels(category, 15);
    MakeDirPath(DataRoot());
    MakeDirPath(BackupFolder());
    CClientInfra::GetInstance(DataRoot().c_str());
}

void PresentationTest::TearDown()
{
    CloseMainForm();
    TExceptionDlg::Release();
    CClientInfra::Release();
    CLog::ResetForTests();
    SandboxTest::TearDown();
}

void PresentationTest::WriteSettings(const std::string& port, const std::string& folder)
{
    CInetHeaderParser parser(true);
    parser.AddHeader("IPPort", port);
    parser.AddHeader("BackupDataBasePath", folder);
    ASSERT_TRUE(parser.Save(SettingsPath()));
}

TMainForm& PresentationTest::CreateMainForm()
{
    m_form = std::make_unique<TMainForm>();
    return *m_form;
}

TMainForm& PresentationTest::ShowMainForm()
{
    if (!m_form)
        m_form = std::make_unique<TMainForm>();
    m_form->show();
    Pump();
    return *m_form;
}

void PresentationTest::CloseMainForm()
{
    if (!m_form)
        return;
    m_form->close();
    Pump();
    m_form.reset();
    Pump();
}

int PresentationTest::ShowOnServedPort(const std::function<void(int port)>& show)
{
    bool failed = false;
    const int port = testsupport::StartOnServedPort([&](int candidate) {
        show(candidate);
        if (HasFatalFailure()) {
            failed = true;
            return true;
        }
        if (!ServiceStartFailed())
            return true;
        CloseMainForm();
        std::filesystem::remove(ActivityLogPath());
        return false;
    });
    return failed ? -1 : port;
}

int PresentationTest::ShowMainFormOnServedPort()
{
    return ShowOnServedPort([this](int port) {
        WriteSettings(std::to_string(port), BackupFolder());
        ShowMainForm();
    });
}

bool PresentationTest::ServiceStartFailed()
{
    return m_form && ActivityTexts().contains(QStringLiteral("Error starting backup service"));
}

void PresentationTest::Pump()
{
    QApplication::sendPostedEvents();
    QApplication::processEvents();
}

QString PresentationTest::WithoutStamp(const QString& line)
{
    static const QRegularExpression stamp(QStringLiteral(
        "^(0[1-9]|1[0-2])/[0-3][0-9]/[0-9]{2} (0[1-9]|1[0-2]):[0-5][0-9]:[0-5][0-9](am|pm)  "));
    const QRegularExpressionMatch m = stamp.match(line);
    EXPECT_TRUE(m.hasMatch()) << "no time stamp: " << line.toStdString();
    return m.hasMatch() ? line.mid(m.capturedLength()) : line;
}

QStringList PresentationTest::ActivityTexts()
{
    QStringList out;
    for (const QString& line : m_form->ActivityLogLines())
        if (!line.isEmpty())
            out << WithoutStamp(line);
    return out;
}

QStringList PresentationTest::ActivityFileTexts()
{
    QStringList out;
    const QString text = QString::fromStdString(ReadFile(ActivityLogPath()));
    for (const QString& line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        out << WithoutStamp(line);
    return out;
}

std::string PresentationTest::DebugLog() const
{
    return ReadFile(CLog::GetLogFileName());
}
