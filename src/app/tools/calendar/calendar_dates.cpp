#include "app/tools/calendar/calendar_dates.hpp"

#include <unicode/calendar.h>
#include <unicode/datefmt.h>
#include <unicode/gregocal.h>
#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>

namespace app::tools {

namespace {

using namespace std::chrono;

bool readDigits(std::string_view text, std::size_t pos, std::size_t count, int& out) {
    if (pos + count > text.size()) return false;
    int value = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        char c = text[i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    out = value;
    return true;
}

// The zone in effect now: ICU caches its default zone, so ask the host each
// time (this re-reads TZ).
std::unique_ptr<icu::TimeZone> hostZone() {
    return std::unique_ptr<icu::TimeZone>(icu::TimeZone::detectHostTimeZone());
}

UDate toUDate(Instant instant) { return static_cast<UDate>(floor<milliseconds>(instant).time_since_epoch().count()); }

Instant fromUDate(UDate date) { return Instant(microseconds(static_cast<std::int64_t>(std::llround(date * 1000.0)))); }

// A Gregorian calendar in the host zone, proleptic (no Julian dates before
// 1582); as iCalendar reads local times, a skipped wall time moves forward by
// the length of the gap and a repeated one is its first occurrence.
std::unique_ptr<icu::GregorianCalendar> localCalendar() {
    UErrorCode status = U_ZERO_ERROR;
    auto calendar = std::make_unique<icu::GregorianCalendar>(hostZone().release(), icu::Locale::getDefault(), status);
    if (U_FAILURE(status)) return nullptr;
    calendar->setGregorianChange(-8.64e15, status);
    calendar->setLenient(true);
    calendar->setSkippedWallTimeOption(UCAL_WALLTIME_LAST);
    calendar->setRepeatedWallTimeOption(UCAL_WALLTIME_FIRST);
    if (U_FAILURE(status)) return nullptr;
    return calendar;
}

std::string utf8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

std::string formatWith(icu::DateFormat* format, Instant instant) {
    if (!format) return formatInternetDateTime(instant);
    format->adoptTimeZone(hostZone().release());
    icu::UnicodeString text;
    format->format(toUDate(instant), text);
    return utf8(text);
}

}  // namespace

Instant systemNow() { return time_point_cast<microseconds>(system_clock::now()); }

namespace {

// The date, time and fractional seconds of "yyyy-MM-ddTHH:mm:ss[.f]" as a
// wall-clock time (its fields counted as if in UTC), and where the zone
// designator would start.
std::optional<Instant> wallDateTime(std::string_view text, std::size_t& zoneAt) {
    int y, mo, d, h, mi, s;
    if (text.size() < 19) return std::nullopt;
    if (!readDigits(text, 0, 4, y) || text[4] != '-' || !readDigits(text, 5, 2, mo) || text[7] != '-' ||
        !readDigits(text, 8, 2, d) || text[10] != 'T' || !readDigits(text, 11, 2, h) || text[13] != ':' ||
        !readDigits(text, 14, 2, mi) || text[16] != ':' || !readDigits(text, 17, 2, s))
        return std::nullopt;
    year_month_day date{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
    if (!date.ok() || h > 23 || mi > 59 || s > 59) return std::nullopt;

    // Fractional seconds, any number of digits (JavaScript writes three):
    // kept to the microsecond, the rest dropped.
    std::size_t at = 19;
    microseconds fraction{0};
    if (at < text.size() && text[at] == '.') {
        const std::size_t first = ++at;
        std::int64_t scale = 100000;
        for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, scale /= 10)
            fraction += microseconds((text[at] - '0') * scale);
        if (at == first) return std::nullopt;
    }
    zoneAt = at;
    return Instant(sys_days(date) + hours(h) + minutes(mi) + seconds(s) + fraction);
}

}  // namespace

std::optional<Instant> parseInternetDateTime(std::string_view text) {
    std::size_t at = 0;
    const auto wall = wallDateTime(text, at);
    if (!wall) return std::nullopt;
    const std::string_view zone = text.substr(at);
    int offsetMinutes = 0;
    if (zone.size() == 1) {
        if (zone[0] != 'Z') return std::nullopt;
    } else {
        char sign = zone.empty() ? '\0' : zone[0];
        int oh, om;
        if (zone.size() != 6 || (sign != '+' && sign != '-') || !readDigits(zone, 1, 2, oh) || zone[3] != ':' ||
            !readDigits(zone, 4, 2, om) || oh > 23 || om > 59)
            return std::nullopt;
        offsetMinutes = (oh * 60 + om) * (sign == '-' ? -1 : 1);
    }
    return *wall - minutes(offsetMinutes);
}

std::optional<Instant> parseLocalDateTime(std::string_view text) {
    std::size_t at = 0;
    const auto wall = wallDateTime(text, at);
    if (!wall || at != text.size()) return std::nullopt;
    const auto whole = floor<seconds>(*wall);
    const std::int64_t utc = platform::wallClockToUtc(whole.time_since_epoch().count(), platform::localOffsetAt);
    return Instant(seconds(utc)) + (*wall - whole);
}

std::string formatInternetDateTime(Instant instant) {
    auto whole = floor<seconds>(instant);
    auto dayStart = floor<days>(whole);
    year_month_day date(dayStart);
    hh_mm_ss<seconds> time(whole - dayStart);
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return buffer;
}

std::optional<Instant> parseLocalDay(std::string_view text) {
    int y, mo, d;
    if (text.size() != 10 || !readDigits(text, 0, 4, y) || text[4] != '-' || !readDigits(text, 5, 2, mo) ||
        text[7] != '-' || !readDigits(text, 8, 2, d))
        return std::nullopt;
    if (!year_month_day{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}}.ok())
        return std::nullopt;
    auto calendar = localCalendar();
    if (!calendar) return std::nullopt;
    calendar->clear();
    calendar->set(y, mo - 1, d, 0, 0, 0);
    UErrorCode status = U_ZERO_ERROR;
    UDate date = calendar->getTime(status);
    if (U_FAILURE(status)) return std::nullopt;
    return fromUDate(date);
}

std::optional<Instant> parseDate(std::optional<std::string_view> text) {
    if (!text) return std::nullopt;
    if (auto instant = parseInternetDateTime(*text)) return instant;
    if (auto instant = parseLocalDateTime(*text)) return instant;
    return parseLocalDay(*text);
}

Instant addCalendarDays(Instant instant, int days) {
    auto calendar = localCalendar();
    UErrorCode status = U_ZERO_ERROR;
    if (calendar) {
        UDate start = toUDate(instant);
        calendar->setTime(start, status);
        calendar->add(UCAL_DATE, days, status);
        UDate end = calendar->getTime(status);
        if (U_SUCCESS(status)) return instant + (fromUDate(end) - fromUDate(start));
    }
    return instant + std::chrono::days(days);
}

std::string formatLocalMinute(Instant instant) {
    UErrorCode status = U_ZERO_ERROR;
    icu::SimpleDateFormat format(icu::UnicodeString("yyyy-MM-dd HH:mm"), icu::Locale::getDefault(), status);
    if (U_FAILURE(status)) return formatInternetDateTime(instant);
    return formatWith(&format, instant);
}

std::string formatFullDateMediumTime(Instant instant) {
    std::unique_ptr<icu::DateFormat> format(icu::DateFormat::createDateTimeInstance(
        icu::DateFormat::kFull, icu::DateFormat::kMedium, icu::Locale::getDefault()));
    return formatWith(format.get(), instant);
}

}  // namespace app::tools
