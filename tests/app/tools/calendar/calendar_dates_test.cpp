#include "app/tools/calendar/calendar_dates.hpp"
#include "app/tools/calendar/calendar_text.hpp"

#include "calendar_test_support.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <tuple>

namespace app::tools {
namespace {
using testing::at;
using testing::ScopedTimeZone;

TEST(CalendarDates, InternetDateTimeIsStrict) {
    ScopedTimeZone zone("Asia/Shanghai");  // the zone must not matter here
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"2024-01-15T09:00:00Z", "2024-01-15T09:00:00Z"},
        {"2024-01-15T17:00:00+08:00", "2024-01-15T09:00:00Z"},
        {"2024-01-15T09:30:00+05:30", "2024-01-15T04:00:00Z"},
        {"2024-01-01T01:00:00+02:00", "2023-12-31T23:00:00Z"},
        {"2024-02-29T00:00:00Z", "2024-02-29T00:00:00Z"},
        {"2024-01-15T09:00:00.000Z", "2024-01-15T09:00:00Z"},  // JavaScript's toISOString()
        {"2024-01-15T17:00:00.999999999+08:00", "2024-01-15T09:00:00Z"},
    };
    for (const auto& [text, utc] : cases) {
        const auto parsed = parseInternetDateTime(text);
        EXPECT_EQ(parsed ? std::optional(formatInternetDateTime(*parsed)) : std::nullopt, utc) << text;
    }
    // Fractions to the microsecond, the rest dropped.
    const std::pair<const char*, int> fractions[] = {
        {"2030-07-01T00:00:00.5Z", 500000}, {"2030-07-01T00:00:00.000Z", 0}, {"2030-07-01T00:00:00.123456Z", 123456},
        {"2030-07-01T02:00:00.0000019+02:00", 1}, {"2030-07-01T00:00:00.12345678901234567890Z", 123456}};
    for (const auto& [text, micros] : fractions)
        EXPECT_EQ(parseInternetDateTime(text), at("2030-07-01T00:00:00Z") + std::chrono::microseconds(micros)) << text;
    for (const char* text : {"2023-02-29T00:00:00Z", "2024-02-30T09:00:00Z", "2024-13-01T00:00:00Z", "2024-01-00T00:00:00Z",
                             "2024-01-15T09:00:00.Z", "2024-01-15T09:00:00,5Z", "2024-01-15T09:00:00.5",
                             "2024-01-15T09:00:00.5+0800", "2024-01-15T09:00:00.5Zx", "2024-02-30T09:00:00.000Z",
                             "2024-01-15T09:00:00", "2024-01-15T09:00Z", "2024-01-15 09:00:00Z",
                             "2024-01-15t09:00:00z", "2024-01-15T24:00:00Z", "2024-01-15T09:00:60Z", "2024-01-15T09:00:00+0800",
                             "2024-01-15T09:00:00+24:00", " 2024-01-15T09:00:00Z", "2024-01-15", ""})
        EXPECT_EQ(parseInternetDateTime(text), std::nullopt) << text;
}

// A local day starts at its first midnight; where a change of offset skips
// midnight, at the time after the gap.
TEST(CalendarDates, LocalDaysInAChangeOfOffset) {
    const std::tuple<const char*, const char*, const char*> cases[] = {  // zone, day, first instant
        {"America/Havana", "2030-03-10", "2030-03-10T05:00:00Z"},
        {"America/Havana", "2030-11-03", "2030-11-03T04:00:00Z"},
        {"Europe/Berlin", "2030-10-27", "2030-10-26T22:00:00Z"},
        {"Asia/Shanghai", "2030-02-30", nullptr},
        // A date-time without an offset is local, read by the same rule.
        {"America/Havana", "2030-03-10T00:30:00", "2030-03-10T05:30:00Z"},
        {"America/Havana", "2030-11-03T00:30:00", "2030-11-03T04:30:00Z"},
        {"Europe/Berlin", "2030-10-27T02:30:00.750", "2030-10-27T00:30:00Z"},
        {"Europe/Berlin", "2025-05-01T11:00:00", "2025-05-01T09:00:00Z"},
        {"Europe/Berlin", "2025-05-01T11:00:00.", nullptr},
        {"Europe/Berlin", "2025-05-01T11:00", nullptr},
    };
    for (const auto& [name, day, first] : cases) {
        ScopedTimeZone zone(name);
        const auto parsed = parseDate(std::string_view(day));
        EXPECT_EQ(parsed ? std::optional(formatInternetDateTime(*parsed)) : std::nullopt,
                  first ? std::optional<std::string>(first) : std::nullopt) << name << " " << day;
    }
}

TEST(CalendarDates, CalendarDaysKeepTheWallClockAcrossOffsetChanges) {
    using namespace std::chrono;
    const std::tuple<const char*, const char*, int, const char*> cases[] = {  // zone, from, days, to
        {"UTC", "2024-03-05T17:00:00Z", 7, "2024-03-12T17:00:00Z"},
        {"Asia/Shanghai", "2024-03-05T17:00:00Z", 7, "2024-03-12T17:00:00Z"},
        // 12:00 EST to 12:00 EDT: one hour less than seven times 24 hours.
        {"America/New_York", "2024-03-05T17:00:00Z", 7, "2024-03-12T16:00:00Z"},
        // 12:00 EDT to 12:00 EST: one hour more.
        {"America/New_York", "2024-10-30T16:00:00Z", 7, "2024-11-06T17:00:00Z"},
        {"America/New_York", "2024-03-20T16:00:00Z", -30, "2024-02-19T17:00:00Z"},
        // 02:30 EST the day before the gap: 02:30 does not exist, so 03:30 EDT.
        {"America/New_York", "2024-03-09T07:30:00Z", 1, "2024-03-10T07:30:00Z"},
        {"Europe/Berlin", "2024-03-30T11:00:00Z", 1, "2024-03-31T10:00:00Z"},
    };
    for (const auto& [name, from, days, to] : cases) {
        ScopedTimeZone zone(name);
        EXPECT_EQ(formatInternetDateTime(addCalendarDays(at(from), days)), to) << name << " " << from;
    }
    ScopedTimeZone zone("America/New_York");
    Instant precise = at("2024-03-05T17:00:00Z") + microseconds(123456);
    EXPECT_EQ(addCalendarDays(precise, 7) - precise, hours(7 * 24 - 1));
}

}  // namespace
}  // namespace app::tools
