// A time as unsigned 32-bit seconds since 1970 UTC (reaching 2106), its local
// time and its display text.
#pragma once

#include <cstdint>
#include <string>

struct TDateParts {
    std::uint8_t weekday = 0; // 0 Sunday .. 6 Saturday
    std::uint8_t month = 0;   // 1..12
    std::uint8_t day = 0;     // 1..31
    std::uint16_t year = 0;
    std::uint8_t hour = 0;
    std::uint8_t minute = 0;
    std::uint8_t second = 0;
    bool am = true;
};

class CTimeUtil {
public:
    static constexpr std::uint32_t kNoTime = 0xFFFFFFFFu;
    static constexpr std::uint64_t kFileTime1970 = 116444736000000000ull;

    explicit CTimeUtil(std::uint32_t time = 0) : time_(time) {}
    CTimeUtil& operator=(std::uint32_t time)
    {
        time_ = time;
        return *this;
    }
    std::uint32_t Get() const { return time_; }

    // The held value split as UTC, "%a %b %d, %I:%M %p %Y" ("UNKNOWN" on failure).
    void ToDisplayString(std::string& text) const;
    // The same with seconds: "%a %b %d, %I:%M:%S %p %Y".
    void ToDisplayStringSeconds(std::string& text) const;

    // Local time value of a UTC value, by the system's tz database for that date.
    static std::uint32_t ToLocal(std::uint32_t utc);
    // A UTC calendar date and time to seconds since 1970.
    static std::uint32_t ToClientStandardTime(int year, int month, int day, int hour, int minute, int second,
                                              int milliseconds);
    static void GetDateParts(std::uint32_t time, TDateParts& parts, bool use24Hour);
    static std::uint32_t AddTime(std::uint32_t time, std::int32_t days, std::int32_t hours,
                                 std::int32_t minutes, std::int32_t seconds);
    // First time at or after `time` on `weekday` that is occurrence `selector`
    // (0 first .. 3 fourth, 4 last) of that weekday in its month.
    static std::uint32_t NthWeekday(std::uint32_t time, int weekday, int selector);
    static bool IsValidDate(int month, int day, int year);

private:
    std::uint32_t time_;
};
