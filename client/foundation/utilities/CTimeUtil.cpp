#include "CTimeUtil.h"

#include <cstdio>
#include <ctime>

#include "Platform.h"

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct Civil {
    int year;
    unsigned month;   // 1..12
    unsigned day;     // 1..31
    unsigned weekday; // 0 Sunday
    unsigned hour, minute, second;
};

// Splits seconds since 1970 as UTC.
Civil SplitUtc(std::int64_t t)
{
    std::int64_t days = t >= 0 ? t / 86400 : (t - 86399) / 86400;
    std::int64_t secs = t - days * 86400;
    Civil c{};
    c.hour = static_cast<unsigned>(secs / 3600);
    c.minute = static_cast<unsigned>(secs % 3600 / 60);
    c.second = static_cast<unsigned>(secs % 60);
    c.weekday = static_cast<unsigned>((days % 7 + 11) % 7); // 1970-01-01 was a Thursday
    std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    c.day = doy - (153 * mp + 2) / 5 + 1;
    c.month = mp < 10 ? mp + 3 : mp - 9;
    c.year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (c.month <= 2));
    return c;
}

unsigned DaysInMonth(int year, unsigned month)
{
    static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2) {
        bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
        return leap ? 29 : 28;
    }
    return kDays[month - 1];
}

const char* const kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// English names whatever the process locale is, so the text never changes
// with the desktop's language.
void Format(std::uint32_t time, bool withSeconds, std::string& text)
{
    Civil c = SplitUtc(time);
    unsigned hour12 = c.hour % 12 == 0 ? 12 : c.hour % 12;
    const char* ampm = c.hour < 12 ? "AM" : "PM";
    char buf[50];
    if (withSeconds)
        std::snprintf(buf, sizeof buf, "%s %s %02u, %02u:%02u:%02u %s %04d", kWeekdays[c.weekday],
                      kMonths[c.month - 1], c.day, hour12, c.minute, c.second, ampm, c.year);
    else
        std::snprintf(buf, sizeof buf, "%s %s %02u, %02u:%02u %s %04d", kWeekdays[c.weekday],
                      kMonths[c.month - 1], c.day, hour12, c.minute, ampm, c.year);
    text = buf;
}

} // namespace

void CTimeUtil::ToDisplayString(std::string& text) const
{
    Format(time_, false, text);
}

void CTimeUtil::ToDisplayStringSeconds(std::string& text) const
{
    Format(time_, true, text);
}

std::uint32_t CTimeUtil::ToLocal(std::uint32_t utc)
{
    // The zone's offset for this very instant, from the tz database: right in
    // both hemispheres and for years whose rules differ from today's.
    std::tm local{};
    if (!hl::Os().ToLocalTime(static_cast<std::int64_t>(utc), local))
        return utc;
    return static_cast<std::uint32_t>(static_cast<std::int64_t>(utc) + local.tm_gmtoff);
}

std::uint32_t CTimeUtil::ToClientStandardTime(int year, int month, int day, int hour, int minute, int second,
                                              int milliseconds)
{
    // The 100-ns count since 1601 divided by 10^7: whole seconds, so the
    // milliseconds only matter through truncation.
    std::int64_t days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    std::int64_t t =
        days * 86400 + static_cast<std::int64_t>(hour) * 3600 + minute * 60 + second + milliseconds / 1000;
    return static_cast<std::uint32_t>(t);
}

void CTimeUtil::GetDateParts(std::uint32_t time, TDateParts& parts, bool use24Hour)
{
    if (time == kNoTime) {
        parts = TDateParts{};
        parts.weekday = 8;
        parts.month = 14;
        parts.day = 1;
        parts.am = true;
        return;
    }
    Civil c = SplitUtc(time);
    parts.weekday = static_cast<std::uint8_t>(c.weekday > 6 ? 6 : c.weekday);
    parts.month = static_cast<std::uint8_t>(c.month > 12 ? 12 : c.month);
    parts.day = static_cast<std::uint8_t>(c.day > 31 ? 31 : c.day);
    parts.year = static_cast<std::uint16_t>(c.year);
    parts.minute = static_cast<std::uint8_t>(c.minute > 59 ? 59 : c.minute);
    parts.second = static_cast<std::uint8_t>(c.second > 59 ? 59 : c.second);
    if (c.hour == 0) {
        parts.hour = use24Hour ? 0 : 12;
        parts.am = true;
    } else if (c.hour <= 12) {
        parts.hour = static_cast<std::uint8_t>(c.hour);
        parts.am = c.hour != 12;
    } else {
        parts.hour = static_cast<std::uint8_t>(use24Hour ? c.hour : c.hour - 12);
        parts.am = false;
    }
}

std::uint32_t CTimeUtil::AddTime(std::uint32_t time, std::int32_t days, std::int32_t hours,
                                 std::int32_t minutes, std::int32_t seconds)
{
    std::int64_t t = static_cast<std::int64_t>(time) + static_cast<std::int64_t>(days) * 86400 +
                     static_cast<std::int64_t>(hours) * 3600 + static_cast<std::int64_t>(minutes) * 60 +
                     seconds;
    return static_cast<std::uint32_t>(t);
}

std::uint32_t CTimeUtil::NthWeekday(std::uint32_t time, int weekday, int selector)
{
    // A selector outside 0..4 would never match; take it as "last".
    if (selector < 0 || selector > 4)
        selector = 4;
    if (weekday < 0)
        weekday = 0;
    if (weekday > 6)
        weekday = 6;
    std::int64_t t = time;
    while (static_cast<int>(SplitUtc(t).weekday) != weekday)
        t += 86400;
    for (;;) {
        Civil c = SplitUtc(t);
        unsigned k = (c.day - 1) / 7;
        bool last = c.day + 7 > DaysInMonth(c.year, c.month);
        bool match = static_cast<int>(k) == selector || (selector == 4 && last);
        if (match && IsValidDate(static_cast<int>(c.month), static_cast<int>(c.day), c.year))
            return static_cast<std::uint32_t>(t);
        t += 7 * 86400;
    }
}

bool CTimeUtil::IsValidDate(int month, int day, int year)
{
    switch (month) {
    case 1:
    case 3:
    case 5:
    case 7:
    case 8:
    case 10:
    case 12: return day <= 31;
    case 4:
    case 6:
    case 9:
    case 11: return day <= 30;
    case 2: return day <= 28 || (day == 29 && year % 4 == 0);
    default: return false;
    }
}
