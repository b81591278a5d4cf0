#include "CActivityLog.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "CTimeUtil.h"
#include "Platform.h"
#include "TestSandbox.h"

namespace {

class CActivityLogTest : public SandboxTest {
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        const char* tz = std::getenv("TZ");
        saved_ = tz ? tz : "";
    }
    void TearDown() override
    {
        hl::Os().SetTimeZone(saved_);
        SandboxTest::TearDown();
    }
    std::string saved_;
};

std::time_t Utc(int y, int mo, int d, int h, int mi, int s)
{
    return static_cast<std::time_t>(CTimeUtil::ToClientStandardTime(y, mo, d, h, mi, s, 0));
}

TEST_F(CActivityLogTest, TimeStampIsTwelveHourLocalTimeWithAmPm)
{
    hl::Os().SetTimeZone("UTC");
    EXPECT_EQ(CActivityLog::TimeStamp(Utc(2005, 2, 1, 12, 30, 5)), "02/01/05 12:30:05pm");
    EXPECT_EQ(CActivityLog::TimeStamp(Utc(2004, 9, 13, 9, 42, 51)), "09/13/04 09:42:51am");
    EXPECT_EQ(CActivityLog::TimeStamp(Utc(2026, 12, 31, 0, 0, 7)), "12/31/26 12:00:07am");
    EXPECT_EQ(CActivityLog::TimeStamp(Utc(2026, 12, 31, 23, 59, 59)), "12/31/26 11:59:59pm");
    // Local time, by the zone's rule for that date.
    hl::Os().SetTimeZone("Europe/Berlin");
    EXPECT_EQ(CActivityLog::TimeStamp(Utc(2009, 7, 1, 10, 0, 0)), "07/01/09 12:00:00pm");
    EXPECT_EQ(CActivityLog::FormatLine(Utc(2009, 1, 1, 10, 0, 0), "Saving backup started"),
              "01/01/09 11:00:00am  Saving backup started");
}

TEST_F(CActivityLogTest, LinesAreAppendedWholeAndKeptAcrossOpens)
{
    const std::string path = CActivityLog::PathIn(Sandbox());
    EXPECT_EQ(path, Sandbox() + "/activityLog.txt");
    WriteFile(path, "earlier line\n");
    {
        CActivityLog log;
        ASSERT_TRUE(log.Open(path));
        const std::string line = log.Log("Backup transfer completed successfully");
        EXPECT_EQ(line.substr(line.size() - 40), "  Backup transfer completed successfully");
        // On disk at once: another reader sees the line before the log is closed.
        EXPECT_EQ(ReadFile(path), "earlier line\n" + line + "\n");
    }
    CActivityLog second;
    ASSERT_TRUE(second.Open(path));
    const std::string next = second.Log("Saving backup started");
    const std::string text = ReadFile(path);
    EXPECT_EQ(text.substr(text.size() - next.size() - 1), next + "\n");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
}

TEST_F(CActivityLogTest, UnopenableFileLeavesLoggingHarmless)
{
    CActivityLog log;
    EXPECT_FALSE(log.Open(SandboxPath("missing/dir/activityLog.txt")));
    EXPECT_FALSE(log.IsOpen());
    EXPECT_NE(log.Log("Backup failed.").find("  Backup failed."), std::string::npos);
}

} // namespace
