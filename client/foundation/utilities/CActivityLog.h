// CActivityLog: the user's activity log file ("activityLog.txt" in the data root's log
// folder), one time-stamped line per event, without any window.
//
// Every line goes to the file in one append write, so two programs logging into the same
// file (the window and harborlockd on different backup folders) never cut each other's lines,
// and a line is complete on disk as soon as Log returns. The window keeps its own view of the
// lines; this class owns only the file.
#pragma once

#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>

class CActivityLog {
public:
    CActivityLog() = default;
    ~CActivityLog();
    CActivityLog(const CActivityLog&) = delete;
    CActivityLog& operator=(const CActivityLog&) = delete;

    // The file's path inside the log folder.
    static std::string PathIn(const std::string& logDirectory);
    // "mm/dd/yy hh:nn:ssam" (12-hour clock, "am" or "pm") of a moment in local time.
    static std::string TimeStamp(std::time_t when);
    // Time stamp, two spaces, text.
    static std::string FormatLine(std::time_t when, const std::string& text);

    // Opens the file for appending (created when missing). False when it cannot be opened;
    // lines logged then go nowhere.
    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const;

    // Appends one line stamped with the current time; returns the line (without its line end).
    // Callable from any thread.
    std::string Log(const std::string& text);

private:
    mutable std::mutex m_lock;
    int m_fd = -1;
};
