#include "CLog.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <initializer_list>

#include "MakeDirPath.h"
#include "OS_CAutoLock.h"
#include "Platform.h"

namespace {

const char kHeaderFormat[] = "0x%llx-%d %s (%02d:%02d:%02d.%02d-%02d/%02d/%04d): ";

struct LogState {
    std::uint16_t enabled[CLog::kNumCategories] = {};
    std::string directory = "/log";
    std::string file = "/quarnexLog.txt";
    int fd = -1;
};

// The log's lock is the innermost lock of the program: nothing below takes
// another lock of the program while holding it (the platform calls only).
OS_CLockable& Lock()
{
    static OS_CLockable* lock = new OS_CLockable; // usable by static destructors too
    return *lock;
}

LogState& State()
{
    static LogState* state = new LogState;
    return *state;
}

bool IsUsableRoot(const std::string& root)
{
    return !root.empty() && (root[0] == '/' || root[0] == '.');
}

void CloseFile(LogState& s)
{
    if (s.fd >= 0) {
        hl::Os().Close(s.fd);
        s.fd = -1;
    }
}

// A rotation that cannot move the current file aside disables the log (noted at the file's
// end) instead of failing the caller: a debug log must never abort the work it describes.
void Rotate(LogState& s)
{
    hl::Platform& os = hl::Os();
    const std::string backup = s.directory + "/quarnexLog_01.txt";
    os.DeleteFile(backup); // a missing backup is fine
    CloseFile(s);
    if (os.MoveFile(s.file, backup)) {
        // The current name is free now: this starts an empty file. Should it not open, the log
        // stays without a file.
        s.fd = os.OpenFile(s.file, hl::OpenMode::Append);
        return;
    }
    int fd = os.OpenFile(s.file, hl::OpenMode::Append);
    if (fd >= 0) {
        char line[1024];
        std::snprintf(line, sizeof line, "CLOG ERROR: Error Renaming %s to %s\n", s.file.c_str(),
                      backup.c_str());
        os.Write(fd, line, std::strlen(line));
        os.Close(fd);
    }
}

void WriteLocked(std::uint8_t level, const char* levelName, int category, const char* format, va_list args)
{
    LogState& s = State();
    if (category < 0 || category >= CLog::kNumCategories)
        return;
    if (!(s.enabled[category] & level))
        return;

    hl::Platform& os = hl::Os();
    std::int64_t nowMs = os.WallClockMs();
    std::tm local{};
    os.ToLocalTime(nowMs / 1000, local);
    char line[1024];
    int n = std::snprintf(line, sizeof line, kHeaderFormat, static_cast<unsigned long long>(os.ThreadId()),
                          category, levelName, local.tm_hour, local.tm_min, local.tm_sec,
                          static_cast<int>(nowMs % 1000) / 10, local.tm_mon + 1, local.tm_mday,
                          local.tm_year + 1900);
    if (n < 0)
        return;
    std::size_t used =
        static_cast<std::size_t>(n) < sizeof line ? static_cast<std::size_t>(n) : sizeof line - 1;
    if (format && used < sizeof line - 1)
        std::vsnprintf(line + used, sizeof line - used, format, args);

    if (s.fd < 0)
        return;
    // Written as-is: "%" produced by the caller's arguments stays "%".
    os.Write(s.fd, line, std::strlen(line));
    std::int64_t size = os.FileSize(s.file);
    if (size < 0) {
        static const char kStatError[] = "CLOG ERROR: Problem getting file statistics.\n";
        os.Write(s.fd, kStatError, sizeof kStatError - 1);
        return;
    }
    if (static_cast<std::uint64_t>(size) > CLog::kMaxFileSize)
        Rotate(s);
}

// Logging is called from destructors and from every thread of a backup: nothing may leave it.
void Write(std::uint8_t level, const char* levelName, int category, const char* format, va_list args) noexcept
{
    OS_CAutoLock guard(Lock());
    try {
        WriteLocked(level, levelName, category, format, args);
    } catch (...) {
        // Out of memory building a path: this message is lost, the caller goes on.
    }
}

} // namespace

void CLog::Init(const std::string& root)
{
    LogState& s = State();
    hl::Platform& os = hl::Os();
    std::string base = IsUsableRoot(root) ? root : os.HomeDirectory();
    std::string directory = hl::JoinPath(base, "log");
    MakeDirPath(directory);
    CloseFile(s);
    s.directory = directory;
    s.file = directory + "/quarnexLog.txt";
    s.fd = os.OpenFile(s.file, hl::OpenMode::Append);
}

void CLog::SetLevels(int category, std::uint8_t mask)
{
    OS_CAutoLock guard(Lock());
    if (category < 0 || category >= kNumCategories)
        return;
    State().enabled[category] |= mask;
}

void CLog::SetProgramLevels()
{
    for (int category : {0, 10, 15})
        SetLevels(category, 7);
    for (int category : {31, 32, 33})
        SetLevels(category, 15);
}

void CLog::Error(int category, const char* format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    Write(LEVEL_ERROR, "ERROR", category, format, args);
    va_end(args);
}

void CLog::Warn(int category, const char* format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    Write(LEVEL_WARN, "WARN", category, format, args);
    va_end(args);
}

void CLog::Debug(int category, const char* format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    Write(LEVEL_DEBUG, "DEBUG", category, format, args);
    va_end(args);
}

std::string CLog::GetLogFileName()
{
    return State().file;
}

std::string CLog::GetLogDirectory()
{
    return State().directory;
}

void CLog::Close()
{
    OS_CAutoLock guard(Lock());
    CloseFile(State());
}

void CLog::ResetForTests()
{
    OS_CAutoLock guard(Lock());
    LogState& s = State();
    CloseFile(s);
    s = LogState();
}
