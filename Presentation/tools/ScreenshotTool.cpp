// Saves pictures of the main window and the dialogs for the documentation.
// Run by scripts/screenshots.sh under xvfb-run with a throw-away HOME; this
// helper alone reads HARBORLOCK_SCREENSHOT_DIR (where to write) and
// HARBORLOCK_SCREENSHOT_FIXTURES (a backup folder to show); the program
// itself reads no environment.

#include "CBFMRepository.h"
#include "CClientExc.h"
#include "CClientInfra.h"
#include "CLog.h"
#include "CPlatformShell.h"
#include "CWork.h"
#include "GUIComm.h"
#include "MakeDirPath.h"
#include "TExceptionDlg.h"
#include "TMainForm.h"
#include "TRestoreOptionsForm.h"
#include "TRestorePromptForm.h"
#include "TSettingsModForm.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

QString g_outDir;

void Settle()
{
    for (int i = 0; i < 20; ++i) {
        QApplication::processEvents();
        QThread::msleep(10);
    }
}

bool Save(QWidget* w, const char* name)
{
    Settle();
    const QString path = g_outDir + "/" + name;
    const bool ok = w->grab().save(path);
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", path.toLocal8Bit().constData());
    return ok;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const char* out = std::getenv("HARBORLOCK_SCREENSHOT_DIR");
    if (!out || !*out) {
        std::fprintf(stderr, "HARBORLOCK_SCREENSHOT_DIR is not set\n");
        return 2;
    }
    g_outDir = QString::fromLocal8Bit(out);
    QDir().mkpath(g_outDir);

    std::string dataDir;
    CPlatformShell::GetAppDataDir(dataDir);
    dataDir += "/Harborlock";
    MakeDirPath(dataDir);
    CLog::Init(dataDir);
    CClientInfra* infra = CClientInfra::GetInstance(dataDir.c_str());

    const std::string folder = std::string(std::getenv("HOME")) + "/HarborlockBackups";
    if (const char* fixtures = std::getenv("HARBORLOCK_SCREENSHOT_FIXTURES"); fixtures && *fixtures)
        std::filesystem::copy(fixtures, folder,
                              std::filesystem::copy_options::recursive |
                                  std::filesystem::copy_options::skip_existing);
    // A first start writes the default settings, as a user's first start does.
    (void)infra;

    bool ok = true;
    {
        TExceptionDlg exceptionDlg;
        TMainForm form;
        QApplication::setWindowIcon(form.windowIcon());
        form.resize(760, 560);
        form.show();
        Settle();

        // A backup in progress, as the user sees it while one arrives.
        GUIComm* comm = GUIComm::Instance();
        comm->NotifyBackupInitiated("0001A2B3");
        comm->NotifyBackupStarted("0001A2B3", 812);
        comm->NotifyProgress(100);
        comm->NotifyBackupTransferDone(true);
        comm->NotifySaveBackupStarted();
        comm->NotifyProgress(100);
        comm->NotifySaveBackupDone(true);
        comm->NotifyBackupInitiated("00C0FFEE");
        comm->NotifyBackupStarted("00C0FFEE", 1430);
        comm->NotifyProgress(42);
        Settle();
        ok &= Save(&form, "main-window.png");

        std::vector<std::string> addresses;
        form.GetHostIPAddresses(addresses);
        {
            TSettingsModForm dlg(&form);
            dlg.InitGUIWithData(addresses, "5001", folder);
            dlg.SetPeerRules(addresses, CPeerRules::Settings());
            dlg.show();
            ok &= Save(&dlg, "settings-dialog.png");
        }
        {
            CBFMRepository* repository = CBFMRepository::GetInstance(folder.c_str());
            std::vector<TBackupInfo> backups;
            repository->GetAllBackups(backups);
            CWork::SortBackupList(backups);
            std::vector<std::string> descriptions;
            for (const TBackupInfo& b : backups)
                descriptions.push_back(CWork::GetBackupDescription(b));
            TRestoreOptionsForm dlg(&form);
            dlg.InitGUIWithData(false, descriptions, descriptions.empty() ? -1 : 1);
            dlg.show();
            ok &= Save(&dlg, "restore-options-dialog.png");
        }
        {
            TRestorePromptForm dlg(&form);
            dlg.InitGUIWithData(0x0001A2B3, 0x0001A2B3, 1765100000);
            dlg.show(); // shows the seconds left at once
            ok &= Save(&dlg, "restore-prompt-dialog.png");
        }
        {
            exceptionDlg.setModal(false);
            CClientExc exc("Activity log file is not read/write and unable to change it.", 1234,
                           "Presentation/TMainForm", 412);
            QTimer::singleShot(0, [&] {
                Save(&exceptionDlg, "exception-dialog.png");
                exceptionDlg.accept();
            });
            exceptionDlg.ShowExceptionDlg("TMainForm::LoadActivityLog", &exc);
        }
        form.close();
        Settle();
    }
    CClientInfra::Release();
    CLog::Close();
    return ok ? 0 : 1;
}
