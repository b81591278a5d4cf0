#pragma once
// CActivityLogMemo: the activity log as the main window shows it, in its text control. The
// whole file is loaded at start-up; after each added line at most kMaxLines remain (the file
// itself is never trimmed, see CActivityLog).

#include <QStringList>

#include <string>

class QPlainTextEdit;

class CActivityLogMemo {
public:
    static constexpr int kMaxLines = 10000;

    explicit CActivityLogMemo(QPlainTextEdit* memo) : m_memo(memo) {}

    // Fills the memo with the file at path (nothing when there is none) and scrolls to its
    // end. Throws CClientExc when the file cannot be made readable and writable.
    void Load(const std::string& path);
    // Adds one line, drops the oldest beyond kMaxLines and scrolls to the end.
    void Append(const std::string& line);
    QStringList Lines() const;
    // Writes the memo's lines (not the file) to path, replacing it. Throws CClientExc when
    // it cannot be opened.
    bool SaveTo(const std::string& path) const;
    void Clear();
    void SelectAll();

private:
    QPlainTextEdit* m_memo;
};
