// Harborlock: the desktop backup service for Quarnex phone-system servers.

#include "CAutostartEntry.h"
#include "CClientInfra.h"
#include "CLog.h"
#include "CPlatformShell.h"
#include "MakeDirPath.h"
#include "Platform.h"
#include "TAboutBox.h"
#include "TExceptionDlg.h"
#include "TMainForm.h"

#include <QApplication>
#include <QMessageBox>

#include <exception>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

// The framework's standard box for an exception that ends the start-up.
void ShowFatal(const QString& text)
{
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Harborlock"), text, QMessageBox::Ok);
    box.exec();
}

bool SocketStackUsable()
{
    int major = 0, minor = 0;
    return hl::Os().SocketStackVersion(major, minor) && major == 2 && minor == 2;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Harborlock"));
    QApplication::setApplicationDisplayName(QStringLiteral("Harborlock"));
    QApplication::setDesktopFileName(QStringLiteral("harborlock"));

    bool infraCreated = false;
    try {
        std::string dataDir;
        CPlatformShell::GetAppDataDir(dataDir);
        dataDir += "/Harborlock";
        MakeDirPath(dataDir);

        CLog::Init(dataDir);
        CLog::SetProgramLevels();

        CClientInfra::GetInstance(dataDir.c_str());
        infraCreated = true;

        TExceptionDlg exceptionDlg;
        TMainForm mainForm;
        QApplication::setWindowIcon(mainForm.windowIcon());
        TAboutBox aboutBox(&mainForm);

        if (!SocketStackUsable())
            throw std::runtime_error("Failure to initialize WSA DLL.  Program Terminating.");

        mainForm.show();
        // Started from the login autostart entry: straight to the tray (or minimised where
        // the desktop has no tray). The only command-line option the program reads.
        if (CAutostartEntry::StartsMinimized(QCoreApplication::arguments()))
            mainForm.showMinimized();
        QApplication::exec();
    } catch (const CClientExc& e) {
        ShowFatal(QString::fromStdString(e.GetDisplayText()));
    } catch (const std::exception& e) {
        ShowFatal(QString::fromUtf8(e.what()));
    } catch (...) {
        ShowFatal(QString());
    }

    if (infraCreated)
        CClientInfra::Release();
    CLog::Close();
    return 0;
}
