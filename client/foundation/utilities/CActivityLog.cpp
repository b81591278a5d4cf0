#include "CActivityLog.h"

#include <cstdio>

#include "CTimeUtil.h"
#include "Platform.h"

CActivityLog::~CActivityLog()
{
    Close();
}

std::string CActivityLog::PathIn(const std::string& logDirectory)
{
    return logDirectory + "/activityLog.txt";
}

std::string CActivityLog::TimeStamp(std::time_t when)
{
    TDateParts parts;
    CTimeUtil::GetDateParts(CTimeUtil::ToLocal(static_cast<std::uint32_t>(when)), parts, false);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02u/%02u/%02u %02u:%02u:%02u%s", parts.month, parts.day,
                  static_cast<unsigned>(parts.year % 100), parts.hour, parts.minute, parts.second,
                  parts.am ? "am" : "pm");
    return buf;
}

std::string CActivityLog::FormatLine(std::time_t when, const std::string& text)
{
    return TimeStamp(when) + "  " + text;
}

bool CActivityLog::Open(const std::string& path)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_fd >= 0)
        hl::Os().Close(m_fd);
    m_fd = hl::Os().OpenFile(path, hl::OpenMode::Append);
    return m_fd >= 0;
}

void CActivityLog::Close()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_fd >= 0)
        hl::Os().Close(m_fd);
    m_fd = -1;
}

bool CActivityLog::IsOpen() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_fd >= 0;
}

std::string CActivityLog::Log(const std::string& text)
{
    const std::string line = FormatLine(std::time(nullptr), text);
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_fd >= 0) {
        const std::string whole = line + "\n";
        // A failed write is not reported: the log is the user's record, not a reason to stop.
        hl::Os().Write(m_fd, whole.data(), whole.size());
    }
    return line;
}
