#include "CTimeUtil.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "Platform.h"

namespace {

std::uint32_t Utc(int y, int mo, int d, int h, int mi, int s)
{
    return CTimeUtil::ToClientStandardTime(y, mo, d, h, mi, s, 0);
}

// Sets TZ for the test and restores it afterwards.
class ZoneTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* tz = std::getenv("TZ");
        saved_ = tz ? tz : "";
    }
    void TearDown() override { hl::Os().SetTimeZone(saved_); }
    std::string saved_;
};

struct Transition {
    const char* zone;
    int y, mo, d, h, mi, s; // UTC
    int offsetMinutes;      // local - UTC at that instant
};

// Both sides of each change, in years whose rules differ (New York before and
// after 2007, Berlin before 1996, Sydney before and after 2008) and in both
// hemispheres.
const Transition kTransitions[] = {
    {"America/New_York", 2006, 4, 2, 6, 59, 59, -300},
    {"America/New_York", 2006, 4, 2, 7, 0, 0, -240},
    {"America/New_York", 2006, 10, 29, 5, 59, 59, -240},
    {"America/New_York", 2006, 10, 29, 6, 0, 0, -300},
    {"America/New_York", 2007, 3, 11, 6, 59, 59, -300},
    {"America/New_York", 2007, 3, 11, 7, 0, 0, -240},
    {"America/New_York", 2007, 11, 4, 5, 59, 59, -240},
    {"America/New_York", 2007, 11, 4, 6, 0, 0, -300},
    {"America/New_York", 2024, 3, 10, 6, 59, 59, -300},
    {"America/New_York", 2024, 3, 10, 7, 0, 0, -240},
    {"America/New_York", 2024, 11, 3, 5, 59, 59, -240},
    {"America/New_York", 2024, 11, 3, 6, 0, 0, -300},
    {"Europe/Berlin", 1995, 3, 26, 0, 59, 59, 60},
    {"Europe/Berlin", 1995, 3, 26, 1, 0, 0, 120},
    {"Europe/Berlin", 1995, 9, 24, 0, 59, 59, 120},
    {"Europe/Berlin", 1995, 9, 24, 1, 0, 0, 60},
    {"Europe/Berlin", 2009, 3, 29, 0, 59, 59, 60},
    {"Europe/Berlin", 2009, 3, 29, 1, 0, 0, 120},
    {"Europe/Berlin", 2009, 10, 25, 0, 59, 59, 120},
    {"Europe/Berlin", 2009, 10, 25, 1, 0, 0, 60},
    {"Europe/Berlin", 2021, 10, 31, 0, 59, 59, 120},
    {"Europe/Berlin", 2021, 10, 31, 1, 0, 0, 60},
    {"Australia/Sydney", 2007, 3, 24, 15, 59, 59, 660},
    {"Australia/Sydney", 2007, 3, 24, 16, 0, 0, 600},
    {"Australia/Sydney", 2007, 10, 27, 15, 59, 59, 600},
    {"Australia/Sydney", 2007, 10, 27, 16, 0, 0, 660},
    {"Australia/Sydney", 2009, 4, 4, 15, 59, 59, 660},
    {"Australia/Sydney", 2009, 4, 4, 16, 0, 0, 600},
    {"Australia/Sydney", 2009, 10, 3, 15, 59, 59, 600},
    {"Australia/Sydney", 2009, 10, 3, 16, 0, 0, 660},
    {"Australia/Sydney", 2023, 4, 1, 15, 59, 59, 660},
    {"Australia/Sydney", 2023, 4, 1, 16, 0, 0, 600},
    {"Australia/Sydney", 2023, 9, 30, 15, 59, 59, 600},
    {"Australia/Sydney", 2023, 9, 30, 16, 0, 0, 660},
    {"Australia/Sydney", 2020, 1, 15, 12, 0, 0, 660},
    {"Australia/Sydney", 2020, 7, 15, 12, 0, 0, 600},
    {"Asia/Kolkata", 1980, 1, 1, 0, 0, 0, 330},
    {"Asia/Kolkata", 2020, 7, 1, 12, 0, 0, 330},
    {"Asia/Kolkata", 2100, 1, 1, 0, 0, 0, 330},
    {"UTC", 1970, 1, 1, 0, 0, 0, 0},
    {"UTC", 2009, 6, 21, 14, 3, 7, 0},
    {"UTC", 2106, 2, 7, 6, 28, 15, 0},
};

} // namespace

TEST(CTimeUtil, ClientStandardTimeOfKnownDates)
{
    EXPECT_EQ(Utc(1970, 1, 1, 0, 0, 0), 0u);
    EXPECT_EQ(CTimeUtil::ToClientStandardTime(2009, 6, 21, 14, 3, 7, 999), 1245592987u);
    EXPECT_EQ(Utc(2000, 3, 1, 0, 0, 0), 951868800u);
    EXPECT_EQ(Utc(2106, 2, 7, 6, 28, 15), 4294967295u);
}

class CTimeUtilZoneTest : public ZoneTest {};

TEST_F(CTimeUtilZoneTest, LocalTimeFollowsTheTzDatabaseOnBothSidesOfEachChange)
{
    for (const Transition& t : kTransitions) {
        hl::Os().SetTimeZone(t.zone);
        const std::uint32_t utc = Utc(t.y, t.mo, t.d, t.h, t.mi, t.s);
        const std::uint32_t expected =
            static_cast<std::uint32_t>(utc + static_cast<std::int64_t>(t.offsetMinutes) * 60);
        EXPECT_EQ(CTimeUtil::ToLocal(utc), expected)
            << t.zone << " " << t.y << "-" << t.mo << "-" << t.d << " " << t.h << ":" << t.mi << ":" << t.s;
    }
}

TEST_F(CTimeUtilZoneTest, LocalWallClockMapsBackToTheSameInstant)
{
    // Every day 1971..2105 at a drifting hour: the local value ToLocal gives,
    // taken as a wall-clock time of the zone, must name the same instant again
    // (checked through mktime, a different route through the tz database).
    for (const char* zone :
         {"America/New_York", "Europe/Berlin", "Australia/Sydney", "Asia/Kolkata", "UTC"}) {
        hl::Os().SetTimeZone(zone);
        int failures = 0;
        for (std::int64_t t = 365LL * 86400; t < 4291747200LL && failures < 5; t += 86400 * 3 + 3607) {
            const std::uint32_t utc = static_cast<std::uint32_t>(t);
            const std::uint32_t local = CTimeUtil::ToLocal(utc);
            TDateParts p;
            CTimeUtil::GetDateParts(local, p, true);
            std::tm tm{};
            tm.tm_year = p.year - 1900;
            tm.tm_mon = p.month - 1;
            tm.tm_mday = p.day;
            tm.tm_hour = p.hour;
            tm.tm_min = p.minute;
            tm.tm_sec = p.second;
            tm.tm_isdst = -1;
            std::int64_t back = 0;
            ASSERT_TRUE(hl::Os().FromLocalTime(tm, back));
            // In the repeated hour after a change back mktime may pick the other
            // instant with the same wall clock; both show the same local time.
            if (back != t && CTimeUtil::ToLocal(static_cast<std::uint32_t>(back)) != local) {
                ++failures;
                ADD_FAILURE() << zone << " t=" << t << " local=" << local << " back=" << back;
            }
        }
    }
}

TEST(CTimeUtil, DisplayStringsReachTo2106)
{
    std::string s;
    CTimeUtil(0).ToDisplayString(s);
    EXPECT_EQ(s, "Thu Jan 01, 12:00 AM 1970");
    CTimeUtil(1245592987).ToDisplayString(s);
    EXPECT_EQ(s, "Sun Jun 21, 02:03 PM 2009");
    CTimeUtil(1245592987).ToDisplayStringSeconds(s);
    EXPECT_EQ(s, "Sun Jun 21, 02:03:07 PM 2009");
    CTimeUtil(0xFFFFFFFFu).ToDisplayStringSeconds(s);
    EXPECT_EQ(s, "Sun Feb 07, 06:28:15 AM 2106");
    CTimeUtil(Utc(2040, 12, 31, 12, 0, 0)).ToDisplayString(s); // past 2038
    EXPECT_EQ(s, "Mon Dec 31, 12:00 PM 2040");
}

TEST(CTimeUtil, GetDatePartsHoursAndNoTime)
{
    TDateParts p;
    CTimeUtil::GetDateParts(CTimeUtil::kNoTime, p, false);
    EXPECT_EQ(p.weekday, 8);
    EXPECT_EQ(p.month, 14);
    EXPECT_EQ(p.day, 1);
    EXPECT_EQ(p.year, 0);
    EXPECT_TRUE(p.am);

    CTimeUtil::GetDateParts(Utc(2009, 6, 21, 0, 5, 9), p, false);
    EXPECT_EQ(p.weekday, 0);
    EXPECT_EQ(p.month, 6);
    EXPECT_EQ(p.day, 21);
    EXPECT_EQ(p.year, 2009);
    EXPECT_EQ(p.hour, 12);
    EXPECT_EQ(p.minute, 5);
    EXPECT_EQ(p.second, 9);
    EXPECT_TRUE(p.am);
    CTimeUtil::GetDateParts(Utc(2009, 6, 21, 0, 0, 0), p, true);
    EXPECT_EQ(p.hour, 0);
    EXPECT_TRUE(p.am);
    CTimeUtil::GetDateParts(Utc(2009, 6, 21, 12, 0, 0), p, false);
    EXPECT_EQ(p.hour, 12);
    EXPECT_FALSE(p.am);
    CTimeUtil::GetDateParts(Utc(2009, 6, 21, 11, 0, 0), p, false);
    EXPECT_EQ(p.hour, 11);
    EXPECT_TRUE(p.am);
    CTimeUtil::GetDateParts(Utc(2009, 6, 21, 23, 0, 0), p, false);
    EXPECT_EQ(p.hour, 11);
    EXPECT_FALSE(p.am);
    CTimeUtil::GetDateParts(Utc(2009, 6, 21, 23, 0, 0), p, true);
    EXPECT_EQ(p.hour, 23);
    EXPECT_FALSE(p.am);
}

TEST(CTimeUtil, AddTimeIsPlainArithmetic)
{
    EXPECT_EQ(CTimeUtil::AddTime(1000, 1, 2, 3, 4), 1000u + 86400u + 7200u + 180u + 4u);
    EXPECT_EQ(CTimeUtil::AddTime(100000, -1, 0, 0, 0), 100000u - 86400u);
}

TEST(CTimeUtil, NthWeekdayFindsTheOccurrenceAndKeepsTheTimeOfDay)
{
    // March 2009 has five Sundays (1..29), February 2009 four (1..22).
    EXPECT_EQ(CTimeUtil::NthWeekday(Utc(2009, 3, 1, 2, 0, 0), 0, 4), Utc(2009, 3, 29, 2, 0, 0));
    EXPECT_EQ(CTimeUtil::NthWeekday(Utc(2009, 2, 1, 2, 0, 0), 0, 4), Utc(2009, 2, 22, 2, 0, 0));
    EXPECT_EQ(CTimeUtil::NthWeekday(Utc(2009, 3, 1, 2, 0, 0), 0, 1), Utc(2009, 3, 8, 2, 0, 0));
    EXPECT_EQ(CTimeUtil::NthWeekday(Utc(2009, 3, 1, 2, 0, 0), 0, 3), Utc(2009, 3, 22, 2, 0, 0));
    // Past this month's first Sunday: the first Sunday of April.
    EXPECT_EQ(CTimeUtil::NthWeekday(Utc(2009, 3, 10, 0, 0, 0), 0, 0), Utc(2009, 4, 5, 0, 0, 0));
    // Second Tuesday of a month starting on a Wednesday (July 2009 -> 14th).
    EXPECT_EQ(CTimeUtil::NthWeekday(Utc(2009, 7, 1, 0, 0, 0), 2, 1), Utc(2009, 7, 14, 0, 0, 0));
    // Out-of-range selectors count as "last" instead of searching for ever.
    EXPECT_EQ(CTimeUtil::NthWeekday(Utc(2009, 3, 1, 2, 0, 0), 0, 9), Utc(2009, 3, 29, 2, 0, 0));
}

TEST(CTimeUtil, IsValidDateUsesTheFourYearRuleOnly)
{
    EXPECT_TRUE(CTimeUtil::IsValidDate(2, 29, 1900));
    EXPECT_TRUE(CTimeUtil::IsValidDate(2, 29, 2004));
    EXPECT_FALSE(CTimeUtil::IsValidDate(2, 29, 2001));
    EXPECT_TRUE(CTimeUtil::IsValidDate(2, 28, 2001));
    EXPECT_FALSE(CTimeUtil::IsValidDate(2, 30, 2004));
    EXPECT_TRUE(CTimeUtil::IsValidDate(12, 31, 2001));
    EXPECT_FALSE(CTimeUtil::IsValidDate(11, 31, 2001));
    EXPECT_TRUE(CTimeUtil::IsValidDate(11, 30, 2001));
    EXPECT_FALSE(CTimeUtil::IsValidDate(0, 1, 2001));
    EXPECT_FALSE(CTimeUtil::IsValidDate(13, 1, 2001));
    EXPECT_TRUE(CTimeUtil::IsValidDate(1, 0, 2001)); // no lower bound on the day
}
