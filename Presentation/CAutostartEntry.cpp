#include "CAutostartEntry.h"

#include "CLog.h"
#include "Platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <utility>

namespace {
constexpr int kCategoryApp = 31;
const char* const kFileName = "harborlock.desktop";

// One argument of an Exec line: quoted, with the characters the quoting reserves escaped,
// then the backslashes escaped once more for the string value, and "%" doubled because it
// starts a field code. Empty when the text holds a character no Exec line can carry.
std::string ExecArgument(const std::string& text)
{
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '\n' || c == '\r' || c == '\0')
            return std::string();
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    std::string out;
    for (char c : quoted) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '%')
            out += "%%";
        else
            out += c;
    }
    return out;
}
} // namespace

CAutostartEntry::CAutostartEntry() : CAutostartEntry(DefaultPath(), hl::Os().ExecutablePath()) {}

CAutostartEntry::CAutostartEntry(std::string path, std::string program)
    : m_path(std::move(path)), m_program(std::move(program))
{}

std::string CAutostartEntry::DefaultPath()
{
    // Honours $XDG_CONFIG_HOME (when absolute), else ~/.config.
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return (config + QStringLiteral("/autostart/") + QLatin1String(kFileName)).toStdString();
}

std::string CAutostartEntry::Contents() const
{
    const std::string program = ExecArgument(m_program);
    if (m_program.empty() || program.empty())
        return std::string();
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Harborlock\n"
           "Comment=Receives and keeps backups of Quarnex phone-system servers\n"
           "Exec=" +
           program + " " + kMinimizedOption +
           "\n"
           "Icon=harborlock\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

bool CAutostartEntry::IsEnabled() const
{
    QFile file(QString::fromStdString(m_path));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    // An entry switched off by the desktop's own startup settings stays in place but hidden.
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (line == "Hidden=true")
            return false;
    }
    return true;
}

bool CAutostartEntry::SetEnabled(bool enabled)
{
    const QString path = QString::fromStdString(m_path);
    if (!enabled) {
        if (!QFileInfo::exists(path) || QFile::remove(path))
            return true;
        CLog::Error(kCategoryApp, "CAutostartEntry::SetEnabled(): unable to remove %s\n", m_path.c_str());
        return false;
    }
    const std::string contents = Contents();
    if (contents.empty()) {
        CLog::Error(kCategoryApp,
                    "CAutostartEntry::SetEnabled(): the program path %s cannot be started from "
                    "an autostart entry\n",
                    m_program.c_str());
        return false;
    }
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        CLog::Error(kCategoryApp, "CAutostartEntry::SetEnabled(): unable to create the folder of %s\n",
                    m_path.c_str());
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(contents.data(), qint64(contents.size())) < 0 ||
        !file.commit()) {
        CLog::Error(kCategoryApp, "CAutostartEntry::SetEnabled(): unable to write %s\n", m_path.c_str());
        return false;
    }
    return true;
}

bool CAutostartEntry::StartsMinimized(const QStringList& arguments)
{
    // The first argument is the program itself.
    return arguments.indexOf(QLatin1String(kMinimizedOption), 1) >= 1;
}
