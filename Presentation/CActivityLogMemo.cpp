#include "CActivityLogMemo.h"

#include "CClientExc.h"

#include <QFile>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>

namespace {
// Errors name the window's unit, where the user meets them.
constexpr const char* kSourceFile = "Presentation/TMainForm";
} // namespace

void CActivityLogMemo::Load(const std::string& path)
{
    const QString name = QString::fromStdString(path);
    QFileInfo info(name);
    if (!info.exists())
        return;
    if (!info.isReadable() || !info.isWritable()) {
        if (!QFile::setPermissions(name, QFile::permissions(name) | QFile::ReadOwner | QFile::WriteOwner))
            throw CClientExc("Activity log file is not read/write and unable to change it.", 1234,
                             kSourceFile, __LINE__);
    }
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        throw CClientExc("Activity log file is not read/write and unable to change it.", 1234, kSourceFile,
                         __LINE__);
    QString text = QString::fromUtf8(file.readAll());
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    if (!text.isEmpty())
        m_memo->setPlainText(text);
    m_memo->moveCursor(QTextCursor::End);
    m_memo->verticalScrollBar()->setValue(m_memo->verticalScrollBar()->maximum());
}

void CActivityLogMemo::Append(const std::string& line)
{
    m_memo->appendPlainText(QString::fromStdString(line));
    const int excess = m_memo->document()->blockCount() - kMaxLines;
    if (excess > 0) {
        QTextCursor cursor(m_memo->document());
        cursor.movePosition(QTextCursor::Start);
        cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, excess);
        cursor.removeSelectedText();
    }
    m_memo->verticalScrollBar()->setValue(m_memo->verticalScrollBar()->maximum());
}

QStringList CActivityLogMemo::Lines() const
{
    return m_memo->toPlainText().split(QLatin1Char('\n'));
}

bool CActivityLogMemo::SaveTo(const std::string& path) const
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        throw CClientExc(("Unable to save the activity log to " + path + ".").c_str(), 1234, kSourceFile,
                         __LINE__);
    QString text = m_memo->toPlainText();
    if (!text.isEmpty())
        text += QLatin1Char('\n');
    return file.write(text.toUtf8()) >= 0;
}

void CActivityLogMemo::Clear()
{
    m_memo->clear();
}

void CActivityLogMemo::SelectAll()
{
    m_memo->setFocus();
    m_memo->selectAll();
}
