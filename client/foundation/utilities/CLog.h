// Process-wide debug log: one line per message, flushed at once, kept below
// 32 MiB by rotating into a single older generation ("quarnexLog_01.txt").
#pragma once

#include <cstdint>
#include <string>

class CLog {
public:
    enum : std::uint8_t {
        LEVEL_FATAL = 0x01,
        LEVEL_ERROR = 0x02,
        LEVEL_WARN = 0x04,
        LEVEL_DEBUG = 0x08,
    };
    static constexpr int kNumCategories = 36;
    static constexpr std::uint64_t kMaxFileSize = 0x2000000; // rotate above this

    // Opens "<root>/log/quarnexLog.txt" for appending. A root that is absolute or
    // starts with "." is used; any other root falls back to "$HOME". Throws
    // CClientExc when the log directory cannot be created. Not locked: call
    // before other threads log.
    static void Init(const std::string& root);
    // ORs `mask` into the enabled levels of `category` (0..35; others ignored).
    static void SetLevels(int category, std::uint8_t mask);
    // The levels every Harborlock program (window and daemon) starts with: fatal, error and
    // warning lines for categories 0, 10 and 15, and debug lines too for the window, repository
    // and service (31-33).
    static void SetProgramLevels();

    // Log one message when its level is enabled for the category. Never throws, so
    // callers may log anywhere, destructors included: a rotation that cannot move
    // the file aside notes "CLOG ERROR: Error Renaming ..." at its end and
    // disables the log until the next Init.
    static void Error(int category, const char* format, ...) noexcept __attribute__((format(printf, 2, 3)));
    static void Warn(int category, const char* format, ...) noexcept __attribute__((format(printf, 2, 3)));
    static void Debug(int category, const char* format, ...) noexcept __attribute__((format(printf, 2, 3)));

    static std::string GetLogFileName();
    static std::string GetLogDirectory();
    // Closes the file; later messages are dropped until the next Init.
    static void Close();

    // Closes the file and clears the enabled levels and paths, so each test
    // starts from the state at program load.
    static void ResetForTests();
};
