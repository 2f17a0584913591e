// Dates as the calendar and reminders families read and write them: internet
// date-times (RFC 3339), plain local days, calendar-day
// arithmetic and the local texts shown to the user. Everything local follows
// the zone in effect at the call (TZ), so a changed zone is seen at once.
#pragma once

#include "app/platform/event_store.hpp"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace app::tools {

using Instant = platform::Instant;

// Where "now" comes from; tests give a fixed one.
using Clock = std::function<Instant()>;
Instant systemNow();

// "2024-01-15T09:00:00Z" or "2024-01-15T17:00:00+08:00": full date with
// dashes, "T", time with colons, optional fractional seconds (".123", any
// number of digits, kept to the microsecond), then "Z" or a signed
// hours:minutes offset. Anything else (no zone, a day that does not exist
// such as 2024-02-30, hour 24, second 60) gives nothing.
std::optional<Instant> parseInternetDateTime(std::string_view text);

// The instant in UTC, whole seconds: "2024-01-15T09:00:00Z".
std::string formatInternetDateTime(Instant instant);

// "yyyy-MM-dd": the first instant of that day in the local zone (midnight,
// its first occurrence where a change of offset repeats it, or the time after
// the gap where a change skips it).
std::optional<Instant> parseLocalDay(std::string_view text);

// The same without a zone designator ("2025-05-01T11:00:00"): a local time,
// read as calendar files read one (a time a change of offset skips takes the
// offset before the change, a repeated one names its first occurrence).
std::optional<Instant> parseLocalDateTime(std::string_view text);

// An internet date-time first, else a local date-time, else a local day;
// nothing when none reads (the caller picks a default or an error).
std::optional<Instant> parseDate(std::optional<std::string_view> text);

// The same wall-clock time the given number of calendar days later (earlier
// when negative) in the local zone; across a change of offset the distance
// is not a multiple of 24 hours.
Instant addCalendarDays(Instant instant, int days);

// "yyyy-MM-dd HH:mm" in the local zone and the default locale.
std::string formatLocalMinute(Instant instant);

// Full date style and medium time style in the default locale and the local
// zone, e.g. "Monday, January 15, 2024 at 9:00:00 AM".
std::string formatFullDateMediumTime(Instant instant);

}  // namespace app::tools
