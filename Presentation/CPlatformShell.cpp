#include "CPlatformShell.h"

#include "CLog.h"
#include "Platform.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QUrl>

namespace {

// Shell results kept from the design so the error texts stay the same.
constexpr int kShellFileNotFound = 2;
constexpr int kShellNoAssociation = 31;
constexpr int kShellOk = 42;
constexpr int kCategoryShell = 10;

} // namespace

bool CPlatformShell::Launch(const std::string& path, bool showErrors)
{
    m_path = path;
    if (!hl::Os().FileExists(path))
        m_lastResult = kShellFileNotFound;
    else if (!QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path))))
        m_lastResult = kShellNoAssociation;
    else
        m_lastResult = kShellOk;

    if (m_lastResult > 32)
        return true;

    CLog::Error(kCategoryShell, "CPlatformShell::Launch(): unable to launch file %s, reason: 0x%x\n",
                path.c_str(), static_cast<unsigned>(m_lastResult));
    if (showErrors) {
        QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Launch Error"),
                        QString::fromStdString(LaunchErrorText(path, m_lastResult)), QMessageBox::Ok);
        box.exec();
    }
    return false;
}

std::string CPlatformShell::LaunchErrorText(const std::string& path, int result)
{
    std::string text = "Unable to launch file " + path + ".\n";
    switch (result) {
    case 0:
    case 8: text += "Not enough memory to complete the launch."; break;
    case 2:
    case 3: text += "The path or file does not exist."; break;
    case 5: text += "The operating system denied access to the file."; break;
    case 11: text += "The " + path + " file has an illegal format."; break;
    case 26: text += "A sharing violation has occurred."; break;
    case 27:
    case 31: text += "There is no executable associated with this file type."; break;
    case 28:
    case 29:
    case 30: text += "A DDE Failure has occurred."; break;
    case 32: text += "The specified DLL file was not found."; break;
    default: break;
    }
    return text;
}

bool CPlatformShell::BrowseForFolder(QWidget* owner, const char* title, std::string& path)
{
    path.clear();
    const QString caption = QString::fromUtf8(title ? title : "Choose A Folder:");
    const QString dir =
        QFileDialog::getExistingDirectory(owner, caption, QString(), QFileDialog::ShowDirsOnly);
    if (dir.isEmpty())
        return false;
    path = dir.toStdString();
    return true;
}

void CPlatformShell::GetAppDataDir(std::string& path)
{
    path = hl::Os().DataFolder() + "/Quarnex";
}

void CPlatformShell::ErrorBox(QWidget* owner, const std::string& text)
{
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Error"), QString::fromStdString(text),
                    QMessageBox::Ok, owner);
    box.exec();
}
