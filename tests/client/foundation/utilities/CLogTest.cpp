#include "CLog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "CClientExc.h"
#include "FaultPlatform.h"
#include "Platform.h"
#include "TestSandbox.h"

namespace {

// 2009-06-21 14:03:07.251 UTC
constexpr std::int64_t kFixedMs = 1245592987251;

class CLogTest : public SandboxTest {
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        CLog::ResetForTests();
        const char* tz = std::getenv("TZ");
        savedTz_ = tz ? tz : "";
        hl::Os().SetTimeZone("UTC");
        clock_.SetWallClockMs(kFixedMs);
    }
    void TearDown() override
    {
        CLog::ResetForTests();
        hl::Os().SetTimeZone(savedTz_);
        SandboxTest::TearDown();
    }
    std::string LogText() { return ReadFile(CLog::GetLogFileName()); }
    std::string BackupPath() { return CLog::GetLogDirectory() + "/quarnexLog_01.txt"; }
    // Grows (sparsely) or shrinks the current log file to `size` bytes.
    void ResizeLog(std::uint64_t size)
    {
        hl::Platform& os = hl::PosixPlatform();
        int fd = os.OpenFile(CLog::GetLogFileName(), hl::OpenMode::ReadWrite);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(os.Truncate(fd, size));
        os.Close(fd);
    }
    std::string Header(const char* level, int category)
    {
        char buf[128];
        std::snprintf(buf, sizeof buf, "0x%llx-%d %s (14:03:07.25-06/21/2009): ",
                      static_cast<unsigned long long>(hl::Os().ThreadId()), category, level);
        return buf;
    }

    hl::FaultPlatform clock_;
    std::string savedTz_;
};

} // namespace

TEST_F(CLogTest, LineHeaderCarriesKernelThreadIdCategoryLevelAndLocalTime)
{
    hl::ScopedPlatform use(clock_);
    CLog::Init(Sandbox());
    EXPECT_EQ(CLog::GetLogFileName(), Sandbox() + "/log/quarnexLog.txt");
    CLog::SetLevels(33, 15);
    CLog::Error(33, "HLKBackup::Start: port %d\n", 5001);
    CLog::Warn(33, "w\n");
    CLog::Debug(33, "d\n");
    EXPECT_EQ(LogText(), Header("ERROR", 33) + "HLKBackup::Start: port 5001\n" + Header("WARN", 33) + "w\n" +
                             Header("DEBUG", 33) + "d\n");
}

TEST_F(CLogTest, HeaderUsesLocalTimeOfTheZone)
{
    hl::ScopedPlatform use(clock_);
    hl::Os().SetTimeZone("Australia/Sydney"); // UTC+10 in June
    CLog::Init(Sandbox());
    CLog::SetLevels(31, 15);
    CLog::Error(31, "x\n");
    EXPECT_NE(LogText().find("(00:03:07.25-06/22/2009): x\n"), std::string::npos) << LogText();
}

TEST_F(CLogTest, OnlyEnabledLevelsAndValidCategoriesAreWritten)
{
    CLog::Init(Sandbox());
    CLog::SetLevels(10, 7);
    CLog::SetLevels(31, 15);
    CLog::SetLevels(36, 15);
    CLog::SetLevels(-1, 15);
    CLog::Error(1, "never enabled\n");
    CLog::Debug(10, "debug in 10\n");
    CLog::Error(36, "out of range\n");
    CLog::Error(-1, "negative\n");
    CLog::Warn(10, "warn in 10\n");
    CLog::Debug(31, "debug in 31\n");
    std::string text = LogText();
    EXPECT_EQ(text.find("never enabled"), std::string::npos);
    EXPECT_EQ(text.find("debug in 10"), std::string::npos);
    EXPECT_EQ(text.find("out of range"), std::string::npos);
    EXPECT_EQ(text.find("negative"), std::string::npos);
    EXPECT_NE(text.find("warn in 10"), std::string::npos);
    EXPECT_NE(text.find("debug in 31"), std::string::npos);
}

TEST_F(CLogTest, PercentSignsFromArgumentsAreKeptAndLongLinesCut)
{
    hl::ScopedPlatform use(clock_);
    CLog::Init(Sandbox());
    CLog::SetLevels(32, 15);
    CLog::Error(32, "%s\n", "100% sure %d %s");
    std::string first = LogText();
    EXPECT_EQ(first, Header("ERROR", 32) + "100% sure %d %s\n");
    CLog::Error(32, "%s\n", std::string(3000, 'z').c_str());
    std::string second = LogText().substr(first.size());
    EXPECT_EQ(second.size(), 1023u);
    EXPECT_EQ(second.back(), 'z');
}

TEST_F(CLogTest, MessagesBeforeInitAndAfterCloseAreDropped)
{
    CLog::SetLevels(33, 15);
    CLog::Error(33, "before init\n");
    CLog::Init(Sandbox());
    CLog::Error(33, "kept\n");
    CLog::Close();
    CLog::Close();
    CLog::Error(33, "after close\n");
    std::string text = LogText();
    EXPECT_EQ(text.find("before init"), std::string::npos);
    EXPECT_NE(text.find("kept"), std::string::npos);
    EXPECT_EQ(text.find("after close"), std::string::npos);
}

TEST_F(CLogTest, RotatesOnlyWhenStrictlyAboveTheLimit)
{
    hl::ScopedPlatform use(clock_);
    CLog::Init(Sandbox());
    CLog::SetLevels(33, 15);
    CLog::Error(33, "line\n");
    const std::uint64_t lineSize = LogText().size();

    // A write that leaves the file at exactly 32 MiB does not rotate.
    ResizeLog(CLog::kMaxFileSize - lineSize);
    CLog::Error(33, "line\n");
    EXPECT_EQ(hl::Os().FileSize(CLog::GetLogFileName()), static_cast<std::int64_t>(CLog::kMaxFileSize));
    EXPECT_FALSE(hl::Os().PathExists(BackupPath()));

    // The next one rotates; the older generation keeps that last line.
    CLog::Error(33, "over the limit\n");
    EXPECT_EQ(hl::Os().FileSize(BackupPath()),
              static_cast<std::int64_t>(CLog::kMaxFileSize + Header("ERROR", 33).size() + 15));
    EXPECT_EQ(hl::Os().FileSize(CLog::GetLogFileName()), 0);
    CLog::Error(33, "after\n");
    EXPECT_EQ(LogText(), Header("ERROR", 33) + "after\n");

    // A second rotation replaces the first older generation.
    ResizeLog(CLog::kMaxFileSize);
    CLog::Error(33, "second\n");
    std::string backup = ReadFile(BackupPath());
    EXPECT_EQ(backup.size(), CLog::kMaxFileSize + Header("ERROR", 33).size() + 7);
    EXPECT_EQ(backup.substr(backup.size() - 7), "second\n");
    EXPECT_EQ(hl::Os().FileSize(CLog::GetLogFileName()), 0);
}

// Logging runs inside every backup and inside destructors: a rotation that fails must not
// reach the caller.
static_assert(noexcept(CLog::Error(0, "x")) && noexcept(CLog::Warn(0, "x")) && noexcept(CLog::Debug(0, "x")));

TEST_F(CLogTest, RotationThatCannotRenameDisablesTheLogWithoutThrowing)
{
    CLog::Init(Sandbox());
    CLog::SetLevels(33, 15);
    // A non-empty directory at the backup name: it can be neither deleted as a
    // file nor replaced by the rename.
    ASSERT_TRUE(hl::Os().CreateDirectory(BackupPath()));
    WriteFile(BackupPath() + "/keep", "x");
    CLog::Error(33, "first\n");
    ResizeLog(CLog::kMaxFileSize);
    const std::string current = CLog::GetLogFileName();
    const std::string backup = BackupPath();
    EXPECT_NO_THROW(CLog::Error(33, "too big\n"));
    std::string text = ReadFile(current);
    const std::string tail = "too big\nCLOG ERROR: Error Renaming " + current + " to " + backup + "\n";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);

    // Disabled: nothing more is written, and the lock was released (another
    // thread can take it).
    EXPECT_NO_THROW(CLog::Error(33, "dropped\n"));
    std::thread other([] { CLog::Error(33, "from another thread\n"); });
    other.join();
    EXPECT_EQ(ReadFile(current), text);
}

namespace {
// Logs from its destructor, as objects releasing files and sockets do.
struct LogsWhenDestroyed {
    ~LogsWhenDestroyed() { CLog::Error(33, "released\n"); }
};
} // namespace

TEST_F(CLogTest, FailedRotationInADestructorReachesNoCaller)
{
    CLog::Init(Sandbox());
    CLog::SetLevels(33, 15);
    CLog::Error(33, "first\n");
    ResizeLog(CLog::kMaxFileSize);
    const std::string current = CLog::GetLogFileName();
    hl::FaultPlatform fault;
    fault.FailAll(hl::kErrAccessDenied, hl::kOpRename);
    bool reachedEnd = false;
    {
        hl::ScopedPlatform use(fault);
        try {
            {
                LogsWhenDestroyed object;
            }
            CLog::Warn(33, "after the failed rotation\n");
            reachedEnd = true;
        } catch (...) {
            ADD_FAILURE() << "an exception left the log";
        }
    }
    EXPECT_TRUE(reachedEnd);
    EXPECT_EQ(fault.Calls(hl::kOpRename), 1u) << "one rotation tried, then the log is off";
    const std::string text = ReadFile(current);
    const std::string tail = "released\nCLOG ERROR: Error Renaming " + current + " to " + BackupPath() + "\n";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    EXPECT_FALSE(hl::Os().PathExists(BackupPath()));

    // Restarted: now the rename works but the new file cannot be opened. The
    // older generation keeps everything up to the line that rotated, and the log
    // stays off without a word to its callers.
    ASSERT_TRUE(hl::Os().DeleteFile(current));
    CLog::Init(Sandbox());
    CLog::Error(33, "first\n");
    ResizeLog(CLog::kMaxFileSize);
    hl::FaultPlatform noOpen;
    noOpen.FailAll(hl::kErrAccessDenied, hl::kOpOpen);
    reachedEnd = false;
    {
        hl::ScopedPlatform use(noOpen);
        try {
            {
                LogsWhenDestroyed object;
            }
            CLog::Warn(33, "dropped\n");
            reachedEnd = true;
        } catch (...) {
            ADD_FAILURE() << "an exception left the log";
        }
    }
    EXPECT_TRUE(reachedEnd);
    EXPECT_EQ(noOpen.Calls(hl::kOpOpen), 1u);
    const std::string older = ReadFile(BackupPath());
    EXPECT_EQ(older.size(), CLog::kMaxFileSize + Header("ERROR", 33).size() + 9);
    EXPECT_EQ(older.substr(older.size() - 9), "released\n");
    EXPECT_FALSE(hl::Os().PathExists(current));
    CLog::Error(33, "still off\n");
    EXPECT_FALSE(hl::Os().PathExists(current));
}

TEST_F(CLogTest, SizeQueryFailureIsNotedAndSkipsRotation)
{
    CLog::Init(Sandbox());
    CLog::SetLevels(33, 15);
    CLog::Error(33, "first\n");
    ResizeLog(CLog::kMaxFileSize + 10);
    hl::FaultPlatform fault;
    fault.FailAll(hl::kErrAccessDenied, hl::kOpQuery);
    {
        hl::ScopedPlatform use(fault);
        CLog::Error(33, "second\n");
    }
    std::string text = LogText();
    const std::string tail = "second\nCLOG ERROR: Problem getting file statistics.\n";
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    EXPECT_FALSE(hl::Os().PathExists(BackupPath()));
}

TEST_F(CLogTest, RootRules)
{
    const char* savedHome = std::getenv("HOME");
    std::string home = savedHome ? savedHome : "";
    ::setenv("HOME", SandboxPath("home").c_str(), 1);
    CLog::Init("data"); // neither absolute nor starting with "."
    EXPECT_EQ(CLog::GetLogFileName(), SandboxPath("home") + "/log/quarnexLog.txt");
    EXPECT_TRUE(hl::Os().DirectoryExists(SandboxPath("home/log")));
    ::setenv("HOME", home.c_str(), 1);

    auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(Sandbox());
    CLog::Init("./x");
    EXPECT_EQ(CLog::GetLogFileName(), "./x/log/quarnexLog.txt");
    std::filesystem::current_path(cwd);
    EXPECT_TRUE(hl::Os().DirectoryExists(SandboxPath("x/log")));
}

TEST_F(CLogTest, InitThrowsWhenTheLogDirectoryCannotBeCreated)
{
    WriteFile(SandboxPath("root"), "a file, not a directory");
    EXPECT_THROW(CLog::Init(SandboxPath("root")), CClientExc);
}

TEST_F(CLogTest, UnopenableFileDropsMessagesSilently)
{
    hl::FaultPlatform fault;
    fault.FailAll(hl::kErrAccessDenied, hl::kOpOpen);
    {
        hl::ScopedPlatform use(fault);
        EXPECT_NO_THROW(CLog::Init(Sandbox()));
        CLog::SetLevels(33, 15);
        EXPECT_NO_THROW(CLog::Error(33, "dropped\n"));
    }
    EXPECT_FALSE(hl::Os().PathExists(CLog::GetLogFileName()));
    EXPECT_EQ(fault.Calls(hl::kOpWrite), 0u);
}

TEST_F(CLogTest, LinesFromManyThreadsNeverInterleave)
{
    CLog::Init(Sandbox());
    CLog::SetLevels(33, 15);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                CLog::Debug(33, "thread %d line %d %s\n", t, i, "payload-payload");
        });
    for (auto& t : threads)
        t.join();
    std::istringstream in(LogText());
    std::regex line(
        R"(0x[0-9a-f]+-33 DEBUG \(\d\d:\d\d:\d\d\.\d\d-\d\d/\d\d/\d{4}\): thread \d line \d+ payload-payload)");
    std::string l;
    int count = 0;
    while (std::getline(in, l)) {
        EXPECT_TRUE(std::regex_match(l, line)) << l;
        ++count;
    }
    EXPECT_EQ(count, 800);
}
