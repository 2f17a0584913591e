#include "app/platform/ical_event_store.hpp"

#include "app/platform/environment.hpp"
#include "app/platform/event_store_import.hpp"
#include "app/platform/platform_error.hpp"
#include "app/platform/small_file.hpp"
#include "app/platform/sqlite.hpp"
#include "app/platform/stamped_file.hpp"
#include "app/platform/unicode_text.hpp"
#include "runtime/runtime.hpp"

#include <libical/ical.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <set>
#include <sstream>
#include <dirent.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app::platform {

namespace fs = std::filesystem;

namespace {

constexpr const char* kOrderFile = ".brisolet-order";          // collections in the order made
constexpr const char* kReminderMarker = ".brisolet-reminders";  // a reminder list not yet holding any
constexpr const char* kCarriedOverMarker = ".carried-over-from-store";
// Marks, while a file is read, a text value whose last blanks were kept.
constexpr const char* kTrailingBlanks = "X-BRISOLET-TRAILING-BLANKS";
constexpr std::size_t kMaxItemFileSize = 16 * 1024 * 1024;
// The stamp of a file whose reading has not ended.
constexpr std::int64_t kUnread = std::numeric_limits<std::int64_t>::min();
// Components nest three deep in practice (calendar, event, alarm).
constexpr int kMaxNesting = 32;
// What expanding recurring items may cost one call: rule steps and
// occurrences kept (each rule of an item also stops after kMaxSteps steps),
// and time.
constexpr int kMaxSteps = 100000;
constexpr int kCallSteps = 1000000;
constexpr int kCallOccurrences = 50000;
constexpr auto kCallExpansionTime = std::chrono::seconds(2);
constexpr int kStepsBeforeClock = 8192;

using ComponentPtr = std::shared_ptr<icalcomponent>;

ComponentPtr own(icalcomponent* component) {
    return ComponentPtr(component, [](icalcomponent* c) {
        if (c) icalcomponent_free(c);
    });
}

// The bytes of an item or list file, read without blocking; `ok` says
// whether it was read, `why` (when given) why not.
std::string readSmallFile(const std::string& path, bool& ok, std::string* why = nullptr) {
    std::optional<std::string> text = platform::readSmallFile(path, kMaxItemFileSize, why);
    ok = text.has_value();
    return ok ? std::move(*text) : std::string();
}

// The deepest BEGIN/END nesting of iCalendar text (folded lines joined), or
// kMaxNesting + 1 as soon as it goes deeper: libical frees and writes its
// trees by recursion, so a deeper file is never handed to it.
int nestingDepth(std::string_view text) {
    int depth = 0, deepest = 0;
    std::string head;  // the first characters of the current logical line
    auto finish = [&] {
        auto starts = [&](std::string_view word) {
            if (head.size() < word.size()) return false;
            for (std::size_t i = 0; i < word.size(); ++i)
                if (std::toupper(static_cast<unsigned char>(head[i])) != word[i]) return false;
            return true;
        };
        if (starts("BEGIN:")) deepest = std::max(deepest, ++depth);
        else if (starts("END:") && depth > 0) --depth;
        head.clear();
    };
    std::size_t at = 0;
    while (at < text.size() && deepest <= kMaxNesting) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) line.remove_prefix(1);
        else finish();
        if (head.size() < 6) head.append(line.substr(0, 6 - head.size()));
        at = end + 1;
    }
    finish();
    return deepest;
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text;
}

// A file may name any year; instants hold about 292,000 years either way.
Instant fromSeconds(std::int64_t seconds) {
    constexpr std::int64_t kLimit = std::numeric_limits<std::int64_t>::max() / 1'000'000 - 1;
    return Instant(std::chrono::seconds(std::clamp(seconds, -kLimit, kLimit)));
}
std::int64_t secondsOf(Instant instant) {
    return std::chrono::floor<std::chrono::seconds>(instant).time_since_epoch().count();
}

Instant localMidnight(int year, int month, int day) {
    return localInstant(DateComponents{year, month, day, 0, 0}).value_or(Instant{});
}

// The system's rules for a zone whose TZID names one it knows, else the
// zone itself. Programs write a VTIMEZONE of a known zone as an excerpt:
// khal writes only the changes around its event, each onset in the offset
// after the change where iCalendar reads the one before, which moves the
// hour around every change by the change (a repeated 02:30 read as its
// second occurrence).
icaltimezone* systemRulesFor(icaltimezone* zone) {
    const char* tzid = zone ? icaltimezone_get_tzid(zone) : nullptr;
    if (!tzid || !*tzid) return zone;
    // libical's own zones live as long as the process; looking one up walks them all.
    static std::mutex mutex;
    static std::map<std::string, icaltimezone*, std::less<>> known;
    std::lock_guard lock(mutex);
    auto it = known.find(std::string_view(tzid));
    if (it == known.end()) {
        if (known.size() > 1024) known.clear();  // names from files are not trusted to be few
        it = known.emplace(tzid, icaltimezone_get_builtin_timezone(tzid)).first;
    }
    return it->second ? it->second : zone;
}

// The instant a parsed time names: dates at local midnight, UTC times as
// such, zoned times in their zone (by the system's rules where it knows the
// zone) and floating times in the local zone, a time skipped or repeated by
// a change of offset read as iCalendar says.
Instant toInstant(icaltimetype tt) {
    if (tt.is_date) return localMidnight(tt.year, tt.month, tt.day);
    icaltimezone* utc = icaltimezone_get_utc_timezone();
    if (icaltime_is_utc(tt)) return fromSeconds(icaltime_as_timet_with_zone(tt, utc));
    icaltimezone* zone = systemRulesFor(const_cast<icaltimezone*>(tt.zone));
    tt.zone = nullptr;
    const std::int64_t wall = icaltime_as_timet_with_zone(tt, utc);
    if (!zone) return fromSeconds(wallClockToUtc(wall, localOffsetAt));
    return fromSeconds(wallClockToUtc(wall, [zone, utc](std::int64_t at) -> std::int64_t {
        icaltimetype instant = icaltime_from_timet_with_zone(static_cast<time_t>(at), 0, utc);
        return icaltimezone_get_utc_offset_of_utc_time(zone, &instant, nullptr);
    }));
}

icaltimetype utcTime(Instant instant) {
    return icaltime_from_timet_with_zone(static_cast<time_t>(secondsOf(instant)), 0, icaltimezone_get_utc_timezone());
}

icaltimetype dateOnly(int year, int month, int day) {
    icaltimetype tt = icaltime_null_time();
    tt.year = year;
    tt.month = month;
    tt.day = day;
    tt.is_date = 1;
    return tt;
}

// libical drops a property without a value ("SUMMARY:") and leaves an
// X-LIC-ERROR in its place; an empty text is still a text, so put it back.
void restoreEmptyTextsOf(icalcomponent* component) {
    std::vector<icalproperty*> errors;
    for (icalproperty* p = icalcomponent_get_first_property(component, ICAL_XLICERROR_PROPERTY); p;
         p = icalcomponent_get_next_property(component, ICAL_XLICERROR_PROPERTY))
        errors.push_back(p);
    for (icalproperty* p : errors) {
        const char* text = icalproperty_get_xlicerror(p);
        std::string_view message = text ? text : "";
        constexpr std::string_view kPrefix = "No value for ";
        if (!message.starts_with(kPrefix)) continue;
        std::string name(message.substr(kPrefix.size(), message.find(' ', kPrefix.size()) - kPrefix.size()));
        icalproperty_kind kind = icalproperty_string_to_kind(name.c_str());
        icalproperty* restored = nullptr;
        if (kind == ICAL_SUMMARY_PROPERTY) restored = icalproperty_new_summary("");
        else if (kind == ICAL_DESCRIPTION_PROPERTY) restored = icalproperty_new_description("");
        else if (kind == ICAL_LOCATION_PROPERTY) restored = icalproperty_new_location("");
        if (!restored) continue;
        icalcomponent_remove_property(component, p);
        icalproperty_free(p);
        icalcomponent_add_property(component, restored);
    }
}

// Takes off the character that kept a text value's last blanks (see
// withLeadingBlanksEscaped) and its mark.
void restoreTrailingBlanksOf(icalcomponent* component) {
    for (icalproperty* p = icalcomponent_get_first_property(component, ICAL_ANY_PROPERTY); p;
         p = icalcomponent_get_next_property(component, ICAL_ANY_PROPERTY)) {
        if (!icalproperty_get_parameter_as_string(p, kTrailingBlanks)) continue;
        icalproperty_remove_parameter_by_name(p, kTrailingBlanks);
        icalvalue* value = icalproperty_get_value(p);
        if (!value || icalvalue_isa(value) != ICAL_TEXT_VALUE) continue;
        const char* text = icalvalue_get_text(value);
        if (!text || !*text) continue;
        std::string kept(text);
        kept.pop_back();
        icalvalue_set_text(value, kept.c_str());
    }
}

// Every component of the tree, walked without recursion.
void restoreEmptyTexts(icalcomponent* root) {
    std::vector<icalcomponent*> pending{root};
    while (!pending.empty()) {
        icalcomponent* component = pending.back();
        pending.pop_back();
        restoreEmptyTextsOf(component);
        restoreTrailingBlanksOf(component);
        for (icalcomponent* c = icalcomponent_get_first_component(component, ICAL_ANY_COMPONENT); c;
             c = icalcomponent_get_next_component(component, ICAL_ANY_COMPONENT))
            pending.push_back(c);
    }
}

// libical drops the blanks a value starts or ends with. A text value keeps
// the first when each is escaped, which libical reads back as the blank
// ("\ ", "\t"), and the last when a character follows them that is taken
// off again after parsing (kTrailingBlanks marks the property); other
// programs write them bare, as they may. Null when no value starts or ends so.
std::optional<std::string> withLeadingBlanksEscaped(const std::string& text) {
    bool any = false;
    for (std::size_t at = text.find(':'); at != std::string::npos && !any; at = text.find(':', at + 1)) {
        std::size_t next = at + 1;
        if (text.compare(next, 3, "\r\n ") == 0) next += 3;
        else if (text.compare(next, 2, "\n ") == 0) next += 2;
        any = next < text.size() && (text[next] == ' ' || text[next] == '\t');
    }
    for (std::size_t at = text.find_first_of("\r\n"); at != std::string::npos && !any;
         at = text.find_first_of("\r\n", at + 1))
        any = at > 0 && (text[at - 1] == ' ' || text[at - 1] == '\t');
    any = any || (!text.empty() && (text.back() == ' ' || text.back() == '\t'));
    if (!any) return std::nullopt;
    std::string unfolded;
    unfolded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        if (text[i] == '\n' && i + 1 < text.size() && (text[i + 1] == ' ' || text[i + 1] == '\t')) {
            ++i;
            continue;
        }
        unfolded += text[i];
    }
    static constexpr std::string_view kTextNames[] = {"SUMMARY", "LOCATION", "DESCRIPTION", "COMMENT", "CONTACT"};
    std::string out;
    out.reserve(unfolded.size() + 16);
    for (std::size_t at = 0; at < unfolded.size();) {
        std::size_t end = unfolded.find('\n', at);
        if (end == std::string::npos) end = unfolded.size();
        const std::string_view line(unfolded.data() + at, end - at);
        std::size_t nameEnd = line.find_first_of(";:");
        std::string name(line.substr(0, nameEnd == std::string_view::npos ? 0 : nameEnd));
        for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        std::size_t value = std::string_view::npos;
        if (std::ranges::find(kTextNames, name) != std::end(kTextNames)) {
            bool quoted = false;
            for (std::size_t i = nameEnd; i < line.size(); ++i) {
                if (line[i] == '"') quoted = !quoted;
                else if (line[i] == ':' && !quoted) {
                    value = i + 1;
                    break;
                }
            }
        }
        if (value == std::string_view::npos) {
            out.append(line);
        } else if (line.back() == ' ' || line.back() == '\t') {
            out.append(line.substr(0, nameEnd)).append(";").append(kTrailingBlanks).append("=1");
            out.append(line.substr(nameEnd, value - nameEnd));
            for (; value < line.size() && (line[value] == ' ' || line[value] == '\t'); ++value)
                out += line[value] == ' ' ? "\\ " : "\\t";
            out.append(line.substr(value)).append("x");
        } else {
            out.append(line.substr(0, value));
            for (; value < line.size() && (line[value] == ' ' || line[value] == '\t'); ++value)
                out += line[value] == ' ' ? "\\ " : "\\t";
            out.append(line.substr(value));
        }
        out += "\r\n";
        at = end + 1;
    }
    return out;
}

// Time zone rules: libical expands a zone's rules from their first year
// to the year asked for, all at once and beyond reach of a budget. Real
// rules repeat yearly; a zone is refused when a rule repeats more often
// than monthly, never comes round (libical then searches seconds per rule),
// or when its rules add up to more changes than a fast read.
constexpr auto kMonth = std::chrono::hours(24 * 28);
constexpr int kZoneRuleProbe = 14;                // occurrences looked at per rule
constexpr std::int64_t kMaxZoneChanges = 200000;  // about half a second of libical's expansion
constexpr std::size_t kMaxZoneRules = 200;
constexpr auto kZoneProbeTime = std::chrono::seconds(1);
constexpr int kLastYear = 9999;
constexpr std::int64_t kYearSeconds = 366 * 24 * 3600;

// A wall-clock time in seconds, its zone aside.
std::int64_t wallKeySeconds(const icaltimetype& t) {
    using namespace std::chrono;
    const sys_days day{year(t.year) / t.month / t.day};
    return duration_cast<seconds>(day.time_since_epoch()).count() + (t.hour * 60 + t.minute) * 60 + t.second;
}

// Why a zone rule is refused, or empty; adds the changes it can make to `changes`.
std::string zoneRuleTrouble(icalcomponent* observance, icalproperty* property, std::int64_t& changes) {
    const icalrecurrencetype rule = icalproperty_get_rrule(property);
    if (rule.freq != ICAL_MONTHLY_RECURRENCE && rule.freq != ICAL_YEARLY_RECURRENCE)
        return "time zone rules repeat more often than monthly";
    const icaltimetype first = icalcomponent_get_dtstart(observance);
    icalrecur_iterator* it = icaltime_is_null_time(first) ? nullptr : icalrecur_iterator_new(rule, first);
    if (!it) return {};
    // BYxxx parts can make a monthly or yearly rule fire daily: look at its first occurrences.
    std::string trouble;
    int seen = 0;
    std::int64_t firstAt = 0, lastAt = 0;
    for (; seen < kZoneRuleProbe && trouble.empty(); ++seen) {
        const icaltimetype tt = icalrecur_iterator_next(it);
        if (icaltime_is_null_time(tt)) break;
        const std::int64_t at = wallKeySeconds(tt);
        if (seen > 0 && at - lastAt < std::chrono::duration_cast<std::chrono::seconds>(kMonth).count())
            trouble = "time zone rules repeat more often than monthly";
        if (seen == 0) firstAt = at;
        lastAt = at;
    }
    icalrecur_iterator_free(it);
    if (trouble.empty() && seen < kZoneRuleProbe) {
        // Ended early: by its COUNT or UNTIL, or because no date fits it.
        const bool counted = rule.count > 0 && seen >= rule.count;
        const bool until = !icaltime_is_null_time(rule.until) &&
                           wallKeySeconds(rule.until) - (seen > 0 ? lastAt : wallKeySeconds(first)) < 2 * kYearSeconds;
        if (!counted && !until) trouble = "time zone rules never come round";
    }
    if (!trouble.empty() || seen < kZoneRuleProbe) {
        changes += seen;  // a rule that ended within the probe
        return trouble;
    }
    // As many changes a year as the probe saw, every year up to the last one a date can name.
    const std::int64_t perYear =
        ((seen - 1) * kYearSeconds + (lastAt - firstAt) - 1) / std::max<std::int64_t>(lastAt - firstAt, 1);
    const int until = icaltime_is_null_time(rule.until) ? kLastYear : std::clamp(rule.until.year, first.year, kLastYear);
    std::int64_t count = std::int64_t(std::max(0, until - first.year) + 1) * perYear;
    if (rule.count > 0) count = std::min<std::int64_t>(count, rule.count);
    changes += count;
    return trouble;
}

// Why the file's time zones are refused, or empty.
std::string zoneTrouble(icalcomponent* root) {
    std::int64_t changes = 0;
    std::size_t ruleCount = 0;
    const auto deadline = std::chrono::steady_clock::now() + kZoneProbeTime;
    std::vector<icalcomponent*> pending{root};
    while (!pending.empty()) {
        icalcomponent* c = pending.back();
        pending.pop_back();
        const icalcomponent_kind kind = icalcomponent_isa(c);
        if (kind == ICAL_XSTANDARD_COMPONENT || kind == ICAL_XDAYLIGHT_COMPONENT) {
            // Collected first: reading DTSTART moves the component's property cursor.
            std::vector<icalproperty*> rules;
            for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_RRULE_PROPERTY); p;
                 p = icalcomponent_get_next_property(c, ICAL_RRULE_PROPERTY))
                rules.push_back(p);
            ruleCount += rules.size();
            if (ruleCount > kMaxZoneRules) return "more than " + std::to_string(kMaxZoneRules) + " time zone rules";
            for (icalproperty* p : rules) {
                if (std::string why = zoneRuleTrouble(c, p, changes); !why.empty()) return why;
                if (std::chrono::steady_clock::now() > deadline) return "time zone rules too slow to follow";
            }
            for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_RDATE_PROPERTY); p;
                 p = icalcomponent_get_next_property(c, ICAL_RDATE_PROPERTY))
                ++changes;
            ++changes;
            continue;
        }
        // Every component is looked into: libical finds a zone wherever a
        // malformed file nests it, and follows its rules all the same.
        for (icalcomponent* inner = icalcomponent_get_first_component(c, ICAL_ANY_COMPONENT); inner;
             inner = icalcomponent_get_next_component(c, ICAL_ANY_COMPONENT))
            pending.push_back(inner);
    }
    if (changes > kMaxZoneChanges) return "time zone rules make more than " + std::to_string(kMaxZoneChanges) + " changes";
    return {};
}

// Hands libical the text a piece at a time. libical's own string reader
// looks for the line's end again for every piece it takes, so one long line
// cost the square of its length; this finds each line end once. A stopped
// call ends the text early.
struct LineSource {
    std::string_view text;
    std::size_t at = 0;
    std::size_t lineEnd = 0;  // one past the current line's '\n', or the text's end
    std::stop_token stop;
};

char* nextPiece(char* out, std::size_t size, void* data) {
    auto& source = *static_cast<LineSource*>(data);
    if (source.at >= source.text.size() || size < 2 || source.stop.stop_requested()) return nullptr;
    if (source.lineEnd <= source.at) {
        const std::size_t newline = source.text.find('\n', source.at);
        source.lineEnd = newline == std::string_view::npos ? source.text.size() : newline + 1;
    }
    const std::size_t take = std::min(source.lineEnd - source.at, size - 1);
    std::memcpy(out, source.text.data() + source.at, take);
    out[take] = '\0';
    source.at += take;
    return out;
}

// The text's tree (null when nothing parses), as icalparser_parse_string
// makes it: malformed data is marked in the tree, never fatal. Throws
// rt::Cancelled when the call this thread runs is stopped.
icalcomponent* parseText(std::string_view text) {
    // libical reads text as a C string: a NUL ends it.
    LineSource source{text.substr(0, text.find('\0')), 0, 0, rt::currentStop()};
    icalparser* parser = icalparser_new();
    if (!parser) return nullptr;
    icalparser_set_gen_data(parser, &source);
    const icalerrorstate state = icalerror_get_error_state(ICAL_MALFORMEDDATA_ERROR);
    icalerror_set_error_state(ICAL_MALFORMEDDATA_ERROR, ICAL_ERROR_NONFATAL);
    icalcomponent* root = icalparser_parse(parser, nextPiece);
    icalerror_set_error_state(ICAL_MALFORMEDDATA_ERROR, state);
    icalparser_free(parser);
    icalerror_clear_errno();
    if (source.stop.stop_requested()) {
        if (root) icalcomponent_free(root);
        throw rt::Cancelled();
    }
    return root;
}

// Null, with the reason in `why`, for text nested deeper than kMaxNesting,
// that does not parse, or whose time zones are refused.
icalcomponent* parsed(const std::string& text, std::string* why = nullptr) {
    if (nestingDepth(text) > kMaxNesting) {
        if (why) *why = "components nested deeper than " + std::to_string(kMaxNesting);
        return nullptr;
    }
    const std::optional<std::string> escaped = withLeadingBlanksEscaped(text);
    icalcomponent* root = parseText(escaped ? *escaped : text);
    if (!root) {
        if (why) *why = "not a readable iCalendar item";
        return nullptr;
    }
    if (std::string trouble = zoneTrouble(root); !trouble.empty()) {
        icalcomponent_free(root);
        if (why) *why = trouble;
        return nullptr;
    }
    restoreEmptyTexts(root);
    return root;
}

std::optional<std::string> textProperty(icalcomponent* component, icalproperty_kind kind) {
    icalproperty* property = icalcomponent_get_first_property(component, kind);
    if (!property) return std::nullopt;
    // TEXT values come back as written, their escapes (\\, \; \, \n) undone;
    // other kinds (a URL) as they stand.
    const icalvalue* value = icalproperty_get_value(property);
    const char* text = value && icalvalue_isa(value) == ICAL_TEXT_VALUE ? icalvalue_get_text(value)
                                                                         : icalproperty_get_value_as_string(property);
    return std::string(text ? text : "");
}

void removeAll(icalcomponent* component, icalproperty_kind kind) {
    while (icalproperty* property = icalcomponent_get_first_property(component, kind)) {
        icalcomponent_remove_property(component, property);
        icalproperty_free(property);
    }
}

std::string written(icalcomponent* calendar) {
    char* text = icalcomponent_as_ical_string_r(calendar);
    std::string out = text ? text : "";
    icalmemory_free_buffer(text);
    return out;
}

icalcomponent* newCalendar() {
    icalcomponent* calendar = icalcomponent_new(ICAL_VCALENDAR_COMPONENT);
    icalcomponent_add_property(calendar, icalproperty_new_version("2.0"));
    icalcomponent_add_property(calendar, icalproperty_new_prodid("-//Brisolet//Calendars//EN"));
    return calendar;
}

std::string newUid() {
    std::string uid = randomUuidString();
    return uid;
}

// A file or folder name for a title or identifier that another store gave:
// no path separator, control character or leading dot, so the name stays
// inside the folder it is joined to.
std::string safeNameFor(const std::string& title, const char* fallback) {
    std::string name;
    for (char c : title) name += (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '-' : c;
    while (name.starts_with('.')) name.erase(0, 1);
    if (name.size() > 200) {
        std::size_t cut = 200;
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
        name.resize(cut);
    }
    if (name.empty()) name = fallback;
    return name;
}

std::string folderNameFor(const std::string& title) { return safeNameFor(title, "calendar"); }

// A name joined to a folder stays in it: one component, not "." or "..", not hidden.
bool staysInside(std::string_view name) {
    return !name.empty() && name.find('/') == std::string_view::npos && !name.starts_with('.') &&
           name.find('\0') == std::string_view::npos;
}

std::string eventText(const std::string& uid, const NewEvent& event) {
    ComponentPtr calendar = own(newCalendar());
    icalcomponent* vevent = icalcomponent_new(ICAL_VEVENT_COMPONENT);
    icalcomponent_set_uid(vevent, uid.c_str());
    icalcomponent_add_property(vevent, icalproperty_new_dtstamp(utcTime(std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now()))));
    icalcomponent_set_summary(vevent, event.title.c_str());
    if (event.isAllDay) {
        DateComponents first = localDateComponents(event.startDate);
        DateComponents last = localDateComponents(event.endDate);
        icaltimetype end = dateOnly(last.year, last.month, last.day);
        // DTEND of a date is exclusive: the day after the last one, unless
        // the end is exactly the midnight after the last day.
        if (!(event.endDate > event.startDate && event.endDate == localMidnight(last.year, last.month, last.day)))
            icaltime_adjust(&end, 1, 0, 0, 0);
        icalcomponent_set_dtstart(vevent, dateOnly(first.year, first.month, first.day));
        icalcomponent_set_dtend(vevent, end);
    } else {
        icalcomponent_set_dtstart(vevent, utcTime(event.startDate));
        icalcomponent_set_dtend(vevent, utcTime(event.endDate));
    }
    if (event.location) icalcomponent_set_location(vevent, event.location->c_str());
    if (event.notes) icalcomponent_set_description(vevent, event.notes->c_str());
    if (event.url) icalcomponent_add_property(vevent, icalproperty_new_url(event.url->c_str()));
    icalcomponent_add_component(calendar.get(), vevent);
    return written(calendar.get());
}

void setCompletion(icalcomponent* vtodo, std::optional<Instant> completed) {
    removeAll(vtodo, ICAL_COMPLETED_PROPERTY);
    removeAll(vtodo, ICAL_STATUS_PROPERTY);
    removeAll(vtodo, ICAL_PERCENTCOMPLETE_PROPERTY);
    if (completed) {
        icalcomponent_add_property(vtodo, icalproperty_new_completed(utcTime(*completed)));
        icalcomponent_add_property(vtodo, icalproperty_new_status(ICAL_STATUS_COMPLETED));
        icalcomponent_add_property(vtodo, icalproperty_new_percentcomplete(100));
    } else {
        icalcomponent_add_property(vtodo, icalproperty_new_status(ICAL_STATUS_NEEDSACTION));
    }
}

// libical writes the years 1 to 3000 and a date of zeros beyond them, which
// no program reads back: a date outside is refused before anything is written.
constexpr int kLastWritableYear = 3000;

void checkWritable(std::optional<int> year, const char* operation, const char* what) {
    if (year && *year >= 1 && *year <= kLastWritableYear) return;
    throw PlatformError(operation, std::string(what) + " lies outside the years 1 to " +
                                       std::to_string(kLastWritableYear) + " that calendar files can hold");
}

// The instant's year in UTC and in the local zone (all-day dates are written in local time).
void checkWritable(Instant instant, const char* operation, const char* what) {
    const std::chrono::year_month_day utc{std::chrono::floor<std::chrono::days>(instant)};
    checkWritable(utc.ok() ? std::optional<int>(int(utc.year())) : std::nullopt, operation, what);
    checkWritable(localDateComponents(instant).year, operation, what);
}

// libical takes C strings (a NUL would cut the text), drops a carriage return
// and writes other control characters raw, which iCalendar forbids: such a
// text is refused rather than stored altered. Tabs and line breaks are kept.
void checkWhole(const std::optional<std::string>& text, const char* operation, const char* what) {
    if (!text) return;
    if (const std::optional<char> c = unkeptControlCharacter(*text))
        throw PlatformError(operation, std::string(what) + " holds " + controlCharacterName(*c) +
                                           ", which calendar files cannot hold");
}

void checkWritable(const NewEvent& event) {
    checkWhole(event.title, "save event", "the title");
    checkWhole(event.location, "save event", "the location");
    checkWhole(event.notes, "save event", "the notes");
    checkWhole(event.url, "save event", "the URL");
    checkWritable(event.startDate, "save event", "the start date");
    // An all-day event's end is written as the day after its last one.
    checkWritable(event.endDate + std::chrono::days(event.isAllDay ? 1 : 0), "save event", "the end date");
}

void checkWritable(const NewReminder& reminder) {
    checkWhole(reminder.title, "save reminder", "the title");
    checkWhole(reminder.notes, "save reminder", "the notes");
    if (reminder.dueDateComponents) checkWritable(reminder.dueDateComponents->year, "save reminder", "the due date");
    for (Instant alarm : reminder.alarms) checkWritable(alarm, "save reminder", "an alarm");
}

std::string reminderText(const std::string& uid, const NewReminder& reminder, std::optional<Instant> completed) {
    ComponentPtr calendar = own(newCalendar());
    icalcomponent* vtodo = icalcomponent_new(ICAL_VTODO_COMPONENT);
    icalcomponent_set_uid(vtodo, uid.c_str());
    icalcomponent_add_property(vtodo, icalproperty_new_dtstamp(utcTime(std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now()))));
    if (reminder.title) icalcomponent_set_summary(vtodo, reminder.title->c_str());
    if (reminder.notes) icalcomponent_set_description(vtodo, reminder.notes->c_str());
    if (reminder.priority != 0)
        icalcomponent_add_property(vtodo, icalproperty_new_priority(static_cast<int>(reminder.priority)));
    if (const auto& due = reminder.dueDateComponents) {
        icaltimetype tt = dateOnly(due->year, due->month, due->day);
        if (due->hour || due->minute) {
            // A wall-clock time in the user's zone: floating.
            tt.is_date = 0;
            tt.hour = due->hour.value_or(0);
            tt.minute = due->minute.value_or(0);
        }
        icalcomponent_set_due(vtodo, tt);
    }
    for (Instant alarm : reminder.alarms) {
        icalcomponent* valarm = icalcomponent_new(ICAL_VALARM_COMPONENT);
        icalcomponent_add_property(valarm, icalproperty_new_action(ICAL_ACTION_DISPLAY));
        icalcomponent_add_property(valarm, icalproperty_new_description(reminder.title.value_or("Reminder").c_str()));
        icaltriggertype trigger{};
        trigger.time = utcTime(alarm);
        trigger.duration = icaldurationtype_null_duration();
        icalcomponent_add_property(valarm, icalproperty_new_trigger(trigger));
        icalcomponent_add_component(vtodo, valarm);
    }
    setCompletion(vtodo, completed);
    icalcomponent_add_component(calendar.get(), vtodo);
    return written(calendar.get());
}

}  // namespace

// One event (with its overridden occurrences) or one reminder of a file.
struct IcalEntry {
    bool todo = false;
    std::string uid;  // its id within its file
    // 0: `uid` is the item's UID; else `uid` is made from the file's name and
    // this place in it (1 for the first), and the id it is listed under is
    // settled against the whole root (see settleMadeIds).
    std::size_t made = 0;
    Event event;  // a VEVENT: the event, or a recurring event's first occurrence
    Reminder reminder;
    icalcomponent* master = nullptr;    // a recurring event's master, inside its file's tree
    std::vector<Event> overrides;       // occurrences given a VEVENT of their own
    std::vector<icaltimetype> overridden;  // their RECURRENCE-IDs

    // The id it is listed and looked up under.
    const std::string& id() const { return todo ? reminder.identifier : event.identifier; }
};

struct IcalItem {
    std::string file;
    std::int64_t modified = 0;  // the stamp it was read with
    std::uint64_t inode = 0, size = 0;
    std::int64_t order = 0;  // when it was made
    std::uint64_t generation = 0;  // the last refresh that saw the file
    bool broken = false;
    ComponentPtr calendar;  // kept while an entry recurs
    std::vector<IcalEntry> entries;  // every event and reminder the file holds, in file order
};

struct IcalCollection {
    std::string name;
    std::string path;
    std::string title;
    bool marked = false;
    bool holdsEvents = false, holdsTodos = false;
    std::map<std::string, IcalItem> items;  // by file name

    // Holding both kinds, a collection is both; an empty one is a calendar
    // unless marked as a list.
    bool serves(EntityType type) const {
        return type == EntityType::Reminder ? holdsTodos || marked : holdsEvents || !(holdsTodos || marked);
    }
    Calendar calendar(EntityType type) const { return {name, title, type}; }
    // The kind a save of `type` is checked against: `type` when served.
    Calendar calendarFor(EntityType type) const {
        return calendar(serves(type) ? type : type == EntityType::Event ? EntityType::Reminder : EntityType::Event);
    }
};

// What expanding recurring events may still cost the current call. Each
// series gets an equal share of what is left when its turn comes, so one
// series can never crowd the others out of an answer.
struct ExpansionBudget {
    using Clock = std::chrono::steady_clock;
    int steps = kCallSteps;
    int occurrences = kCallOccurrences;
    Clock::time_point deadline = Clock::now() + kCallExpansionTime;
    std::string overrun;  // the first item that went over, for the one diagnostic
    int seriesLeft = 0;   // series still to expand, this one included
    // The current series' share.
    int seriesSteps = 0, seriesOccurrences = 0;
    Clock::time_point seriesDeadline{};

    void startSeries() {
        const int n = std::max(seriesLeft--, 1);
        const auto now = Clock::now();
        seriesSteps = steps / n;
        seriesOccurrences = occurrences / n;
        seriesDeadline = now + std::max(deadline - now, Clock::duration::zero()) / n;
    }
    void step() { --steps, --seriesSteps; }
    void keep() { --occurrences, --seriesOccurrences; }
    bool seriesSpent(bool checkClock = true) const {
        return seriesSteps <= 0 || seriesOccurrences <= 0 ||
               (checkClock && (Clock::now() > seriesDeadline || stop.stop_requested()));
    }
    std::stop_token stop = rt::currentStop();  // a stopped call ends its expansion
};

namespace {

Event readEvent(icalcomponent* vevent, const std::string& uid) {
    Event event;
    event.identifier = uid;
    event.title = textProperty(vevent, ICAL_SUMMARY_PROPERTY).value_or("");
    event.location = textProperty(vevent, ICAL_LOCATION_PROPERTY);
    event.notes = textProperty(vevent, ICAL_DESCRIPTION_PROPERTY);
    event.url = textProperty(vevent, ICAL_URL_PROPERTY);
    icaltimetype start = icalcomponent_get_dtstart(vevent);
    event.isAllDay = start.is_date;
    event.startDate = toInstant(start);
    icaltimetype end = icalcomponent_get_dtend(vevent);
    if (!icaltime_is_null_time(end)) {
        event.endDate = toInstant(end);
    } else if (start.is_date) {
        icaltime_adjust(&start, 1, 0, 0, 0);
        event.endDate = toInstant(start);
    } else {
        event.endDate = event.startDate;
    }
    if (event.endDate < event.startDate) event.endDate = event.startDate;
    return event;
}

icalproperty_status statusOf(icalcomponent* component) {
    icalproperty* status = icalcomponent_get_first_property(component, ICAL_STATUS_PROPERTY);
    return status ? icalproperty_get_status(status) : ICAL_STATUS_NONE;
}

Reminder readReminder(icalcomponent* vtodo, const std::string& uid) {
    Reminder reminder;
    reminder.identifier = uid;
    reminder.title = textProperty(vtodo, ICAL_SUMMARY_PROPERTY);
    reminder.notes = textProperty(vtodo, ICAL_DESCRIPTION_PROPERTY);
    if (icalproperty* p = icalcomponent_get_first_property(vtodo, ICAL_PRIORITY_PROPERTY))
        reminder.priority = icalproperty_get_priority(p);
    std::optional<Instant> dueInstant;
    if (icalcomponent_get_first_property(vtodo, ICAL_DUE_PROPERTY)) {
        icaltimetype due = icalcomponent_get_due(vtodo);
        if (due.is_date) {
            reminder.dueDateComponents = DateComponents{due.year, due.month, due.day, std::nullopt, std::nullopt};
        } else if (!icaltime_is_utc(due) && !due.zone) {
            reminder.dueDateComponents = DateComponents{due.year, due.month, due.day, due.hour, due.minute};
        } else {
            reminder.dueDateComponents = localDateComponents(toInstant(due));
        }
        dueInstant = toInstant(due);
    }
    for (icalcomponent* alarm = icalcomponent_get_first_component(vtodo, ICAL_VALARM_COMPONENT); alarm;
         alarm = icalcomponent_get_next_component(vtodo, ICAL_VALARM_COMPONENT)) {
        icalproperty* p = icalcomponent_get_first_property(alarm, ICAL_TRIGGER_PROPERTY);
        if (!p) continue;
        icaltriggertype trigger = icalproperty_get_trigger(p);
        if (!icaltime_is_null_time(trigger.time)) {
            reminder.alarms.push_back(toInstant(trigger.time));
        } else if (dueInstant) {
            // Relative to the due date (the usual kind other programs write).
            reminder.alarms.push_back(*dueInstant + std::chrono::seconds(icaldurationtype_as_int(trigger.duration)));
        }
    }
    if (icalproperty* p = icalcomponent_get_first_property(vtodo, ICAL_COMPLETED_PROPERTY))
        reminder.completionDate = toInstant(icalproperty_get_completed(p));
    // A cancelled to-do is done with, as its program shows it, not open.
    const icalproperty_status status = statusOf(vtodo);
    reminder.isCompleted =
        reminder.completionDate.has_value() || status == ICAL_STATUS_COMPLETED || status == ICAL_STATUS_CANCELLED;
    return reminder;
}

// The VEVENTs and VTODOs of a parsed file, in file order: the root's own
// kind, its children, or the children of each calendar when a file holds
// several. What else the file holds besides time zones goes to `unread`.
std::vector<icalcomponent*> itemComponents(icalcomponent* root, std::vector<std::string>* unread = nullptr) {
    std::vector<icalcomponent*> out;
    auto isItem = [](icalcomponent* c) {
        const icalcomponent_kind kind = icalcomponent_isa(c);
        return kind == ICAL_VEVENT_COMPONENT || kind == ICAL_VTODO_COMPONENT;
    };
    auto skipped = [&](icalcomponent* c) {
        const icalcomponent_kind kind = icalcomponent_isa(c);
        if (unread && kind != ICAL_VTIMEZONE_COMPONENT) {
            const char* name = icalcomponent_kind_to_string(kind);
            unread->push_back(std::string("a ") + (name && *name ? name : "component") + " is not an event or a reminder");
        }
    };
    if (isItem(root)) return {root};
    if (icalcomponent_isa(root) == ICAL_VCALENDAR_COMPONENT) {
        for (icalcomponent* c = icalcomponent_get_first_component(root, ICAL_ANY_COMPONENT); c;
             c = icalcomponent_get_next_component(root, ICAL_ANY_COMPONENT))
            isItem(c) ? out.push_back(c) : skipped(c);
        return out;
    }
    for (icalcomponent* c = icalcomponent_get_first_component(root, ICAL_ANY_COMPONENT); c;
         c = icalcomponent_get_next_component(root, ICAL_ANY_COMPONENT)) {
        if (isItem(c)) {
            out.push_back(c);
        } else if (icalcomponent_isa(c) == ICAL_VCALENDAR_COMPONENT) {
            for (icalcomponent* inner = icalcomponent_get_first_component(c, ICAL_ANY_COMPONENT); inner;
                 inner = icalcomponent_get_next_component(c, ICAL_ANY_COMPONENT))
                isItem(inner) ? out.push_back(inner) : skipped(inner);
        } else {
            skipped(c);
        }
    }
    return out;
}

// What libical could not read in the tree (it leaves an X-LIC-ERROR in its
// place), a few at most.
void unreadLines(icalcomponent* root, std::vector<std::string>& unread) {
    constexpr std::size_t kShown = 3;
    std::size_t found = 0;
    std::vector<icalcomponent*> pending{root};
    while (!pending.empty()) {
        icalcomponent* c = pending.back();
        pending.pop_back();
        for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_XLICERROR_PROPERTY); p;
             p = icalcomponent_get_next_property(c, ICAL_XLICERROR_PROPERTY))
            if (++found <= kShown) {
                const char* why = icalproperty_get_xlicerror(p);
                unread.push_back(std::string("a line is not read (") + (why ? why : "unknown") + ")");
            }
        for (icalcomponent* inner = icalcomponent_get_first_component(c, ICAL_ANY_COMPONENT); inner;
             inner = icalcomponent_get_next_component(c, ICAL_ANY_COMPONENT))
            pending.push_back(inner);
    }
    if (found > kShown) unread.push_back(std::to_string(found - kShown) + " more lines are not read");
}

// The identifier of each item of a file, in file order: its UID; for one
// without, or one repeating a UID an earlier whole item of the file holds
// (an override of an occurrence shares its series' UID), one of its own
// from the file and its place: the file's name for the first item,
// "<name>#<n>" for the n-th. `made` gets each item's place for a made id, 0 for a UID.
std::vector<std::string> itemIds(const std::vector<icalcomponent*>& items, const std::string& stem,
                                 std::vector<std::size_t>* made = nullptr) {
    std::vector<std::string> ids;
    std::set<std::string, std::less<>> whole;
    for (std::size_t n = 0; n < items.size(); ++n) {
        icalcomponent* c = items[n];
        const char* uid = icalcomponent_get_uid(c);
        const bool override = icalcomponent_isa(c) == ICAL_VEVENT_COMPONENT &&
                              icalcomponent_get_first_property(c, ICAL_RECURRENCEID_PROPERTY);
        const bool own = !uid || !*uid || (!override && whole.count(std::string_view(uid)));
        ids.push_back(own ? (n == 0 ? stem : stem + "#" + std::to_string(n + 1)) : std::string(uid));
        if (made) made->push_back(own ? n + 1 : 0);
        if (!override) whole.insert(ids.back());
    }
    return ids;
}

// Reads every event and reminder of an item file: false, with the reason in
// `why`, when it holds none. What it holds besides goes to `unread`.
bool parseItem(IcalItem& item, const std::string& text, const std::string& stem, std::string& why,
               std::vector<std::string>& unread) {
    why = "not a readable iCalendar item";
    ComponentPtr root = own(parsed(text, &why));
    if (!root) return false;
    // Events group by UID: the master has no RECURRENCE-ID, the others
    // override one occurrence each.
    struct Group {
        std::size_t made = 0;  // a UID and an id made alike stay apart
        icalcomponent* master = nullptr;
        std::vector<icalcomponent*> overrides;
    };
    std::vector<std::pair<std::string, Group>> groups;
    const std::vector<icalcomponent*> items = itemComponents(root.get(), &unread);
    unreadLines(root.get(), unread);
    std::vector<std::size_t> made;
    const std::vector<std::string> ids = itemIds(items, stem, &made);
    for (std::size_t n = 0; n < items.size(); ++n) {
        icalcomponent* c = items[n];
        const std::string& uid = ids[n];
        if (icalcomponent_isa(c) == ICAL_VTODO_COMPONENT) {
            IcalEntry entry;
            entry.todo = true;
            entry.uid = uid;
            entry.made = made[n];
            entry.reminder = readReminder(c, uid);
            item.entries.push_back(std::move(entry));
            continue;
        }
        auto group = std::find_if(groups.begin(), groups.end(),
                                  [&](const auto& g) { return g.first == uid && g.second.made == made[n]; });
        if (group == groups.end()) group = groups.insert(groups.end(), {uid, Group{.made = made[n]}});
        if (icalcomponent_get_first_property(c, ICAL_RECURRENCEID_PROPERTY)) group->second.overrides.push_back(c);
        else group->second.master = c;
    }
    for (auto& [uid, group] : groups) {
        // Overridden occurrences without their series stand alone.
        std::vector<icalcomponent*> alone;
        if (!group.master) alone = group.overrides;
        else alone.push_back(group.master);
        for (icalcomponent* c : alone) {
            if (icaltime_is_null_time(icalcomponent_get_dtstart(c))) {
                unread.push_back("event " + uid + " has no start");
                continue;
            }
            IcalEntry entry;
            entry.uid = uid;
            entry.made = group.made;
            entry.event = readEvent(c, uid);
            if (c == group.master && (icalcomponent_get_first_property(c, ICAL_RRULE_PROPERTY) ||
                                      icalcomponent_get_first_property(c, ICAL_RDATE_PROPERTY))) {
                item.calendar = root;
                entry.master = c;
                for (icalcomponent* o : group.overrides) {
                    entry.overrides.push_back(readEvent(o, uid));
                    entry.overridden.push_back(icalcomponent_get_recurrenceid(o));
                }
            }
            item.entries.push_back(std::move(entry));
        }
    }
    if (item.entries.empty() && !unread.empty()) why = unread.front();
    return !item.entries.empty();
}

// A wall-clock time as one number, to compare floating and zoned times by their fields.
std::int64_t wallKey(const icaltimetype& t) {
    return ((((std::int64_t(t.year) * 13 + t.month) * 32 + t.day) * 24 + t.hour) * 60 + t.minute) * 60 + t.second;
}

// The same wall-clock time as `like` (its zone, or floating, or UTC) for an instant.
icaltimetype timeLike(Instant instant, const icaltimetype& like) {
    const time_t seconds = static_cast<time_t>(secondsOf(instant));
    if (like.zone || icaltime_is_utc(like))
        return icaltime_from_timet_with_zone(
            seconds, 0, like.zone ? systemRulesFor(const_cast<icaltimezone*>(like.zone)) : icaltimezone_get_utc_timezone());
    std::tm local{};
    ::localtime_r(&seconds, &local);
    icaltimetype tt = icaltime_null_time();
    tt.year = local.tm_year + 1900;
    tt.month = local.tm_mon + 1;
    tt.day = local.tm_mday;
    tt.hour = local.tm_hour;
    tt.minute = local.tm_min;
    tt.second = local.tm_sec;
    return tt;
}

// The occurrences of a recurring event within [start, end), as far as the
// call's budget goes: rules are followed only to the window's end, and
// rules stepping by seconds, minutes or hours start near the window.
void expand(const IcalEntry& entry, const IcalItem& item, const Calendar& calendar, Instant start, Instant end,
            ExpansionBudget& budget, std::vector<std::pair<Event, std::int64_t>>& out) {
    icalcomponent* master = entry.master;
    const icaltimetype first = icalcomponent_get_dtstart(master);
    std::int64_t length = 0;
    if (__builtin_sub_overflow(entry.event.endDate.time_since_epoch().count(),
                               entry.event.startDate.time_since_epoch().count(), &length))
        length = entry.event.endDate > entry.event.startDate ? INT64_MAX : INT64_MIN;
    const Instant::duration duration(length);
    // Excluded: EXDATEs and overridden occurrences. A UTC time matches by
    // instant; two others by their wall-clock fields, as before.
    std::set<std::int64_t> excludedWall, excludedUtc, excludedAny;
    auto exclude = [&](const icaltimetype& x) {
        const std::int64_t instant = toInstant(x).time_since_epoch().count();
        excludedAny.insert(instant);
        if (icaltime_is_utc(x)) excludedUtc.insert(instant);
        else excludedWall.insert(wallKey(x));
    };
    for (icalproperty* p = icalcomponent_get_first_property(master, ICAL_EXDATE_PROPERTY); p;
         p = icalcomponent_get_next_property(master, ICAL_EXDATE_PROPERTY))
        exclude(icalproperty_get_exdate(p));
    for (const auto& x : entry.overridden) exclude(x);
    std::set<std::int64_t> seen;
    // An end far past what an instant holds (a hostile DTEND) saturates.
    auto endAt = [&](Instant at) {
        std::int64_t sum = 0;
        if (__builtin_add_overflow(at.time_since_epoch().count(), duration.count(), &sum))
            return duration.count() > 0 ? Instant::max() : Instant::min();
        return Instant(Instant::duration(sum));
    };
    auto consider = [&](icaltimetype tt) {
        const Instant at = toInstant(tt);
        const std::int64_t instant = at.time_since_epoch().count();
        if (icaltime_is_utc(tt) ? excludedAny.count(instant)
                                : excludedWall.count(wallKey(tt)) || excludedUtc.count(instant))
            return;
        if (!(endAt(at) >= start) || !seen.insert(instant).second) return;
        Event occurrence = entry.event;
        occurrence.startDate = at;
        occurrence.endDate = endAt(at);
        occurrence.calendar = calendar;
        if (eventOccursWithin(occurrence, start, end)) {
            out.emplace_back(std::move(occurrence), item.order);
            budget.keep();
        }
    };
    bool ruled = false, cut = false, over = false;
    for (icalproperty* p = icalcomponent_get_first_property(master, ICAL_RRULE_PROPERTY); p && !cut;
         p = icalcomponent_get_next_property(master, ICAL_RRULE_PROPERTY)) {
        icalrecurrencetype rule = icalproperty_get_rrule(p);
        // A rule steps over wall-clock fields; the zone is put back on each
        // occurrence below. libical given the zone would carry a time that a
        // change of offset skipped into every day after it.
        icaltimetype seed = first;
        if (first.zone && !icaltime_is_utc(first)) {
            seed.zone = nullptr;
            if (!icaltime_is_null_time(rule.until) && !rule.until.is_date && icaltime_is_utc(rule.until))
                rule.until = icaltime_convert_to_zone(rule.until, systemRulesFor(const_cast<icaltimezone*>(first.zone)));
            rule.until.zone = nullptr;
        }
        icalrecur_iterator* it = icalrecur_iterator_new(rule, seed);
        if (!it) continue;
        ruled = true;
        // Without COUNT a fine-grained rule may start at the window (less the
        // event's length) rather than walk there from its first occurrence.
        const Instant from = start - duration - std::chrono::hours(1);
        if (rule.count == 0 && rule.freq >= ICAL_SECONDLY_RECURRENCE && rule.freq <= ICAL_HOURLY_RECURRENCE &&
            toInstant(first) < from) {
            icaltimetype near = timeLike(from, first);
            near.zone = seed.zone;
            icalrecur_iterator_set_start(it, near);
        }
        int n = 0;
        for (; n < kMaxSteps; ++n) {
            budget.step();
            // The clock is read only past a series' first steps (a rule stepping
            // by seconds starts an hour early), so a busy machine never leaves
            // a series out; the steps stay bounded by the shares.
            if (budget.seriesSpent(n >= kStepsBeforeClock && (n & 1023) == 1023)) {
                cut = true;
                break;
            }
            icaltimetype tt = icalrecur_iterator_next(it);
            if (icaltime_is_null_time(tt)) break;
            tt.zone = first.zone;
            tt.is_date = first.is_date;
            if (!(toInstant(tt) < end)) break;
            consider(tt);
        }
        over = over || n == kMaxSteps;
        icalrecur_iterator_free(it);
    }
    if (!ruled) consider(first);  // RDATE alone: the first one counts too
    for (icalproperty* p = icalcomponent_get_first_property(master, ICAL_RDATE_PROPERTY); p && !budget.seriesSpent();
         p = icalcomponent_get_next_property(master, ICAL_RDATE_PROPERTY)) {
        budget.step();
        icaltimetype tt = icalproperty_get_rdate(p).time;
        if (icaltime_is_null_time(tt)) continue;
        if (!tt.zone && !icaltime_is_utc(tt)) tt.zone = first.zone;
        consider(tt);
    }
    for (const Event& override : entry.overrides) {
        Event occurrence = override;
        occurrence.calendar = calendar;
        if (eventOccursWithin(occurrence, start, end)) out.emplace_back(std::move(occurrence), item.order);
    }
    if ((cut || over || budget.seriesSpent(false)) && budget.overrun.empty()) budget.overrun = item.file;
}

}  // namespace

IcalEventStore::IcalEventStore(std::string root, std::shared_ptr<AccessPrompter> prompter,
                               std::shared_ptr<DiagnosticSink> sink, std::optional<std::string> oldStorePath,
                               std::optional<std::string> indexPath)
    : EventStore(std::move(prompter)), root_(std::move(root)), sink_(std::move(sink)),
      oldStorePath_(std::move(oldStorePath)), indexPath_(std::move(indexPath)) {
    // Without inotify every call scans the folders.
    watch_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    // What writers of the index killed mid-write left beside it goes at start.
    if (indexPath_) removeAbandonedTempFiles(fs::path(*indexPath_).parent_path().string());
}

IcalEventStore::~IcalEventStore() {
    if (watch_ >= 0) ::close(watch_);
    std::lock_guard lock(mutex_);
    if (parsedSinceIndex_ > 0) writeIndexLocked();
}

std::int64_t IcalEventStore::nextOrderLocked() {
    lastOrder_ = stampAfter(lastOrder_);
    return lastOrder_;
}

namespace {

// Makes the missing folders of `path` private (0700); folders that exist keep their mode.
void makeFolders(const std::string& path) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) return;
    const fs::path parent = fs::path(path).parent_path();
    if (!parent.empty() && parent != fs::path(path)) makeFolders(parent.string());
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) throw errnoError("open calendars " + path, errno);
}

// The root's lock, held while collections are made or the order file changes:
// several programs share the root.
struct RootLock {
    int fd;
    explicit RootLock(const std::string& root)
        : fd(::open((root + "/.brisolet-lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600)) {
        while (fd >= 0 && ::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~RootLock() {
        if (fd >= 0) ::close(fd);
    }
    RootLock(const RootLock&) = delete;
    RootLock& operator=(const RootLock&) = delete;
};

// Writes `name` into the collection folder through a handle opened once: a
// folder that is a link the user made (a synced folder) is followed, what is
// written in it never is (replaceFile renames over a link at the name).
int replaceInFolder(const std::string& folder, const std::string& name, std::string_view text,
                    const TempFileOptions& options) {
    int fd = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    const std::string handle = "/proc/self/fd/" + std::to_string(fd);
    struct stat viaHandle {};
    int error = ::stat(handle.c_str(), &viaHandle) == 0 ? replaceFile(handle, name, text, options)
                                                        : replaceFile(folder, name, text, options);
    ::close(fd);
    return error;
}

}  // namespace

namespace {

// The index kept between runs: what each unchanged file held, so a new
// process parses only the files that changed. It is used only for a file
// whose modification time, inode and size all match, and only under the
// same time zone and root; anything odd in it and it is ignored whole.
// A new number whenever reading a file gives something else than before.
constexpr std::string_view kIndexMagic = "brisolet calendar index 4\n";

// What the instants in the index depend on: floating and all-day times are
// read in the local zone.
std::string zoneIdentity() {
    std::string identity = "TZ=";
    if (const char* tz = std::getenv("TZ")) identity += tz;
    char target[512];
    ssize_t n = ::readlink("/etc/localtime", target, sizeof target);
    if (n > 0) identity.append(target, static_cast<std::size_t>(n));
    struct stat info {};
    if (::stat("/etc/localtime", &info) == 0) identity += ";" + std::to_string(nanosecondsOf(info.st_mtim));
    return identity + ";" + ICAL_VERSION;
}

class IndexWriter {
public:
    void u64(std::uint64_t v) {
        for (int i = 0; i < 8; ++i) out_.push_back(static_cast<char>(v >> (8 * i)));
    }
    void i64(std::int64_t v) { u64(static_cast<std::uint64_t>(v)); }
    void flag(bool v) { out_.push_back(v ? 1 : 0); }
    void text(std::string_view s) {
        u64(s.size());
        out_.append(s);
    }
    void optionalText(const std::optional<std::string>& s) {
        flag(s.has_value());
        if (s) text(*s);
    }
    void optionalInt(const std::optional<int>& v) {
        flag(v.has_value());
        if (v) i64(*v);
    }
    void instant(Instant t) { i64(t.time_since_epoch().count()); }
    std::string& bytes() { return out_; }

private:
    std::string out_;
};

class IndexReader {
public:
    explicit IndexReader(std::string_view in) : in_(in) {}
    bool ok() const { return ok_; }
    std::uint64_t u64() {
        if (in_.size() - at_ < 8) return fail();
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= std::uint64_t(static_cast<unsigned char>(in_[at_ + i])) << (8 * i);
        at_ += 8;
        return v;
    }
    std::int64_t i64() { return static_cast<std::int64_t>(u64()); }
    bool flag() {
        if (at_ >= in_.size()) return fail();
        return in_[at_++] != 0;
    }
    std::string text() {
        const std::uint64_t size = u64();
        if (size > in_.size() - at_) return fail(), std::string();
        std::string s(in_.substr(at_, size));
        at_ += size;
        return s;
    }
    std::optional<std::string> optionalText() {
        if (!flag()) return std::nullopt;
        return text();
    }
    std::optional<int> optionalInt() {
        if (!flag()) return std::nullopt;
        return static_cast<int>(i64());
    }
    Instant instant() { return Instant(std::chrono::microseconds(i64())); }
    // A count of records that each take at least `least` bytes.
    std::uint64_t count(std::size_t least) {
        const std::uint64_t n = u64();
        if (n > (in_.size() - at_) / least) return fail();
        return n;
    }

private:
    std::uint64_t fail() {
        ok_ = false;
        at_ = in_.size();
        return 0;
    }
    std::string_view in_;
    std::size_t at_ = 0;
    bool ok_ = true;
};

}  // namespace

void IcalEventStore::loadIndexLocked() {
    if (!indexPath_) return;
    bool read = false;
    const std::string bytes = readSmallFile(*indexPath_, read);
    if (!read || !std::string_view(bytes).starts_with(kIndexMagic)) return;
    IndexReader in(std::string_view(bytes).substr(kIndexMagic.size()));
    if (in.text() != root_ || in.text() != zoneIdentity()) return;
    std::vector<std::unique_ptr<Collection>> loaded;
    for (std::uint64_t c = 0, collections = in.count(16); in.ok() && c < collections; ++c) {
        auto collection = std::make_unique<Collection>();
        collection->name = in.text();
        collection->path = root_ + "/" + collection->name;
        for (std::uint64_t i = 0, items = in.count(48); in.ok() && i < items; ++i) {
            Item item;
            item.file = in.text();
            item.modified = in.i64();
            item.inode = in.u64();
            item.size = in.u64();
            item.order = in.i64();
            for (std::uint64_t e = 0, entries = in.count(17); in.ok() && e < entries; ++e) {
                Entry entry;
                entry.todo = in.flag();
                entry.uid = in.text();
                entry.made = in.u64();
                if (entry.todo) {
                    Reminder& r = entry.reminder;
                    r.identifier = entry.uid;
                    r.title = in.optionalText();
                    r.notes = in.optionalText();
                    r.priority = in.i64();
                    if (in.flag()) {
                        DateComponents due;
                        due.year = static_cast<int>(in.i64());
                        due.month = static_cast<int>(in.i64());
                        due.day = static_cast<int>(in.i64());
                        due.hour = in.optionalInt();
                        due.minute = in.optionalInt();
                        r.dueDateComponents = due;
                    }
                    for (std::uint64_t a = 0, alarms = in.count(8); in.ok() && a < alarms; ++a)
                        r.alarms.push_back(in.instant());
                    r.isCompleted = in.flag();
                    if (in.flag()) r.completionDate = in.instant();
                } else {
                    Event& ev = entry.event;
                    ev.identifier = entry.uid;
                    ev.title = in.text();
                    ev.location = in.optionalText();
                    ev.notes = in.optionalText();
                    ev.url = in.optionalText();
                    ev.startDate = in.instant();
                    ev.endDate = in.instant();
                    ev.isAllDay = in.flag();
                }
                item.entries.push_back(std::move(entry));
            }
            const std::string file = item.file;
            collection->items.emplace(file, std::move(item));
        }
        loaded.push_back(std::move(collection));
    }
    if (in.ok()) collections_ = std::move(loaded);
}

void IcalEventStore::writeIndexLocked() {
    if (!indexPath_) return;
    parsedSinceIndex_ = 0;
    IndexWriter out;
    out.text(root_);
    out.text(zoneIdentity());
    out.u64(collections_.size());
    for (const auto& collection : collections_) {
        out.text(collection->name);
        // Recurring items keep libical's tree and broken ones their
        // diagnostic: those are read from their files again.
        std::size_t kept = 0;
        for (const auto& [file, item] : collection->items) kept += !item.broken && !item.calendar;
        out.u64(kept);
        for (const auto& [file, item] : collection->items) {
            if (item.broken || item.calendar) continue;
            out.text(item.file);
            out.i64(item.modified);
            out.u64(item.inode);
            out.u64(item.size);
            out.i64(item.order);
            out.u64(item.entries.size());
            for (const auto& entry : item.entries) {
                out.flag(entry.todo);
                out.text(entry.uid);
                out.u64(entry.made);
                if (entry.todo) {
                    const Reminder& r = entry.reminder;
                    out.optionalText(r.title);
                    out.optionalText(r.notes);
                    out.i64(r.priority);
                    out.flag(r.dueDateComponents.has_value());
                    if (const auto& due = r.dueDateComponents) {
                        out.i64(due->year);
                        out.i64(due->month);
                        out.i64(due->day);
                        out.optionalInt(due->hour);
                        out.optionalInt(due->minute);
                    }
                    out.u64(r.alarms.size());
                    for (Instant a : r.alarms) out.instant(a);
                    out.flag(r.isCompleted);
                    out.flag(r.completionDate.has_value());
                    if (r.completionDate) out.instant(*r.completionDate);
                } else {
                    const Event& ev = entry.event;
                    out.text(ev.title);
                    out.optionalText(ev.location);
                    out.optionalText(ev.notes);
                    out.optionalText(ev.url);
                    out.instant(ev.startDate);
                    out.instant(ev.endDate);
                    out.flag(ev.isAllDay);
                }
            }
        }
    }
    const fs::path path(*indexPath_);
    try {
        makeFolders(path.parent_path().string());
    } catch (const PlatformError&) {
        return;  // no index: every start reads the files, nothing else changes
    }
    replaceFile(path.parent_path().string(), path.filename().string(), std::string(kIndexMagic) + out.bytes());
}

void IcalEventStore::prepareLocked() {
    if (prepared_) return;
    makeFolders(root_);
    prepared_ = true;
    // Two programs starting on a new root: one of them sets it up.
    RootLock lock(root_);
    const std::string marker = root_ + "/" + kCarriedOverMarker;
    if (oldStorePath_ && !fs::exists(marker) && fs::exists(*oldStorePath_)) {
        carryOverLocked(*oldStorePath_);
        int fd = ::open(marker.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) ::close(fd);
    }
    loadIndexLocked();
    refreshLocked();
    if (!collections_.empty()) return;
    makeCollectionLocked("Calendar", EntityType::Event);
    makeCollectionLocked("Reminders", EntityType::Reminder);
    refreshLocked();
}

void IcalEventStore::carryOverLocked(const std::string& storePath) {
    std::optional<ImportedEventStore> old;
    try {
        old = importEventStore(storePath);
    } catch (const SqliteError& error) {
        // Nothing lost: the old file stays, and the next start tries again.
        if (sink_) sink_->write("Calendars: cannot carry over " + storePath + ": " + error.sqliteMessage());
        throw PlatformError("carry over " + storePath, error.sqliteMessage());
    }
    if (!old) return;
    std::map<std::int64_t, std::string> folders;
    for (const auto& collection : old->collections)
        folders[collection.key] = makeCollectionLocked(collection.title, collection.type);
    const auto collectionOf = [&](std::int64_t key) -> std::optional<Collection> {
        auto folder = folders.find(key);
        if (folder == folders.end()) return std::nullopt;
        Collection c;
        c.name = folder->second;
        c.path = root_ + "/" + folder->second;
        return c;
    };
    // The identifier stays the item's UID; its file name is made safe.
    for (const auto& item : old->events)
        if (auto c = collectionOf(item.collection))
            writeItemLocked(*c, safeNameFor(item.identifier, "event") + ".ics", eventText(item.identifier, item.event),
                            nextOrderLocked(), "carry over events");
    for (const auto& item : old->reminders)
        if (auto c = collectionOf(item.collection))
            writeItemLocked(*c, safeNameFor(item.identifier, "reminder") + ".ics",
                            reminderText(item.identifier, item.reminder, item.completionDate), nextOrderLocked(),
                            "carry over reminders");
}

std::string IcalEventStore::makeCollectionLocked(const std::string& title, EntityType type) {
    const std::string base = folderNameFor(title);
    std::string name;
    std::string path;
    for (int n = 1;; ++n) {
        name = n == 1 ? base : base + "-" + std::to_string(n);
        path = root_ + "/" + name;
        if (!staysInside(name)) throw PlatformError("add calendar " + path, "not a name inside " + root_);
        if (::mkdir(path.c_str(), 0700) == 0) break;
        if (errno != EEXIST || n > 1000) throw errnoError("add calendar " + path, errno);
    }
    if (int error = replaceInFolder(path, "displayname", title, {})) throw errnoError("add calendar " + path, error);
    if (type == EntityType::Reminder) {
        if (int error = replaceInFolder(path, kReminderMarker, "", {}))
            throw errnoError("add calendar " + path, error);
    }
    bool read = false;
    std::string order = readSmallFile(root_ + "/" + kOrderFile, read);
    if (!order.empty() && order.back() != '\n') order += '\n';
    if (int error = replaceFile(root_, kOrderFile, order + name + "\n"))
        throw errnoError("add calendar " + root_ + "/" + kOrderFile, error);
    return name;
}

void IcalEventStore::writeItemLocked(const Collection& collection, const std::string& name, const std::string& text,
                                     std::int64_t order, const std::string& operation) {
    if (!staysInside(name)) throw PlatformError(operation, name + " is not a name inside " + collection.path);
    if (int error = replaceInFolder(collection.path, name, text, {.modified = order}))
        throw errnoError(operation + " in " + collection.path, error);
}

void IcalEventStore::reportOnce(const std::string& path, const std::string& why) {
    if (sink_ && reported_.insert(path).second) sink_->write("Calendars: skipping " + path + ": " + why);
}

bool IcalEventStore::changedSinceLastLook() {
    if (watch_ < 0 || !watchComplete_) return true;
    bool changed = false;
    alignas(inotify_event) char buffer[16 * 1024];
    for (;;) {
        ssize_t n = ::read(watch_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        changed = true;
    }
    return changed;
}

void IcalEventStore::watchFolder(const std::string& path) {
    constexpr std::uint32_t kMask = IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                                    IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
    if (watch_ >= 0 && ::inotify_add_watch(watch_, path.c_str(), kMask) < 0) watchComplete_ = false;
}

namespace {

// A file's name in a qualified id: its '#' and '%' written %23 and %25, so
// that a file "x#2" and the second item of "x" stay apart.
std::string escapedStem(std::string_view stem) {
    std::string out;
    for (char c : stem) {
        if (c == '#') out += "%23";
        else if (c == '%') out += "%25";
        else out += c;
    }
    return out;
}

// Settles the ids made from file names against the whole root, so that each
// names one item and depends on the files alone: a made id that no other
// item's id (made, or a UID) repeats stays as it is; the others are
// qualified with their folder, "<folder>/<name>" or "<folder>/<name>#<n>";
// one that a UID still names takes the first free "~<k>" after it.
void settleMadeIds(std::vector<std::unique_ptr<IcalCollection>>& collections) {
    std::unordered_map<std::string_view, std::size_t> uses;  // of each made id, by any item
    for (auto& c : collections)
        for (auto& [file, item] : c->items)
            for (auto& entry : item.entries)
                if (entry.made) ++uses[entry.uid];
    if (uses.empty()) return;
    // A qualified id holds a '/', which no file name does: only a UID holding one can meet it.
    std::unordered_set<std::string_view> slashed;
    for (auto& c : collections)
        for (auto& [file, item] : c->items)
            for (auto& entry : item.entries) {
                if (entry.made) continue;
                if (auto found = uses.find(entry.uid); found != uses.end()) ++found->second;
                if (entry.uid.find('/') != std::string::npos) slashed.insert(entry.uid);
            }
    std::vector<std::pair<IcalEntry*, std::string>> settled;
    for (auto& c : collections)
        for (auto& [file, item] : c->items)
            for (auto& entry : item.entries) {
                if (!entry.made) continue;
                std::string id = entry.uid;
                if (uses[entry.uid] > 1) {
                    id = c->name + "/" + escapedStem(std::string_view(item.file).substr(0, item.file.size() - 4));
                    if (entry.made > 1) id += "#" + std::to_string(entry.made);
                }
                settled.emplace_back(&entry, std::move(id));
            }
    std::unordered_set<std::string_view> made;
    for (const auto& [entry, id] : settled) made.insert(id);
    for (auto& [entry, id] : settled) {
        std::string unique = id;
        for (std::size_t k = 2; slashed.count(unique) || (unique != id && made.count(unique)); ++k)
            unique = id + "~" + std::to_string(k);
        if (entry->todo) {
            entry->reminder.identifier = unique;
        } else {
            entry->event.identifier = unique;
            for (Event& occurrence : entry->overrides) occurrence.identifier = unique;
        }
    }
}

}  // namespace

void IcalEventStore::refreshLocked() {
    // Folders unchanged since the last look (inotify says so) need no scan:
    // a large calendar answers without a stat per file.
    if (!changedSinceLastLook()) return;
    watchComplete_ = true;
    watchFolder(root_);
    std::vector<std::string> ordered;
    {
        bool read = false;
        std::string why;
        std::istringstream in(readSmallFile(root_ + "/" + kOrderFile, read, &why));
        if (!read && fs::symlink_status(root_ + "/" + kOrderFile).type() != fs::file_type::not_found)
            reportOnce(root_ + "/" + kOrderFile, why);
        for (std::string line; std::getline(in, line);)
            if (!line.empty() && std::find(ordered.begin(), ordered.end(), line) == ordered.end()) ordered.push_back(line);
    }
    std::vector<std::string> present;
    if (DIR* folder = ::opendir(root_.c_str())) {
        while (dirent* entry = ::readdir(folder)) {
            const std::string name = entry->d_name;
            if (name.starts_with('.')) {
                removeIfAbandoned(::dirfd(folder), entry->d_name);
                continue;
            }
            struct stat info {};
            if (::fstatat(::dirfd(folder), entry->d_name, &info, 0) == 0 && S_ISDIR(info.st_mode))
                present.push_back(name);
        }
        ::closedir(folder);
    }
    std::sort(present.begin(), present.end(), [&](const std::string& a, const std::string& b) {
        auto ia = std::find(ordered.begin(), ordered.end(), a), ib = std::find(ordered.begin(), ordered.end(), b);
        if (ia != ib) return ia < ib;
        return a < b;
    });

    const std::stop_token stop = rt::currentStop();
    std::vector<std::unique_ptr<Collection>> next;
    try {
        refreshCollectionsLocked(present, next, stop);
    } catch (const rt::Cancelled&) {
        // What was read so far is kept; the next call looks at every folder again.
        for (auto& old : collections_)
            if (old) next.push_back(std::move(old));
        collections_ = std::move(next);
        settleMadeIds(collections_);
        watchComplete_ = false;
        throw;
    }
    collections_ = std::move(next);
    settleMadeIds(collections_);
    // The first look of a process, or many files read since: the index
    // catches up (a handful of saves do not rewrite it each time).
    if (parsedSinceIndex_ > 0 && (!indexWritten_ || parsedSinceIndex_ >= 256)) {
        indexWritten_ = true;
        writeIndexLocked();
    }
}

void IcalEventStore::refreshCollectionsLocked(const std::vector<std::string>& present,
                                              std::vector<std::unique_ptr<Collection>>& next, const std::stop_token& stop) {
    for (const auto& name : present) {
        std::unique_ptr<Collection> found;
        for (auto& old : collections_)
            if (old && old->name == name) found = std::move(old);
        if (!found) {
            found = std::make_unique<Collection>();
            found->name = name;
            found->path = root_ + "/" + name;
        }
        // In `next` from here on, so a stop midway loses nothing.
        next.push_back(std::move(found));
        Collection* collection = next.back().get();
        bool ok = false;
        std::string why;
        const std::string displayname = collection->path + "/displayname";
        std::string title = trimmed(readSmallFile(displayname, ok, &why));
        if (!ok && fs::symlink_status(displayname).type() != fs::file_type::not_found) reportOnce(displayname, why);
        collection->title = ok && !title.empty() ? title : name;
        collection->marked = fs::exists(collection->path + "/" + kReminderMarker);

        // Changed files are read again; the rest stay as they are.
        watchFolder(collection->path);
        ++generation_;
        // Closed however the loop ends (a stop throws out of it).
        const std::unique_ptr<DIR, int (*)(DIR*)> open(::opendir(collection->path.c_str()), ::closedir);
        if (DIR* folder = open.get()) {
            const int folderFd = ::dirfd(folder);
            while (dirent* entry = ::readdir(folder)) {
                std::string_view file = entry->d_name;
                if (file.starts_with('.')) {
                    removeIfAbandoned(folderFd, entry->d_name);
                    continue;
                }
                if (!file.ends_with(".ics")) continue;
                const std::string path = collection->path + "/" + entry->d_name;
                struct stat info {};
                if (::fstatat(folderFd, entry->d_name, &info, 0) != 0) continue;
                if (!S_ISREG(info.st_mode)) {
                    if (!S_ISDIR(info.st_mode)) reportOnce(path, "not a regular file");
                    continue;
                }
                auto [slot, added] = collection->items.try_emplace(std::string(file));
                Item& item = slot->second;
                item.generation = generation_;
                if (!added && item.modified == nanosecondsOf(info.st_mtim) && item.inode == info.st_ino &&
                    item.size == static_cast<std::uint64_t>(info.st_size))
                    continue;
                if (stop.stop_requested()) throw rt::Cancelled();
                item = Item{};
                item.generation = generation_;
                item.file = std::string(file);
                // Stamped as read only once read: a stop while reading leaves it to read again.
                item.modified = kUnread;
                item.order = nanosecondsOf(info.st_mtim);
                item.inode = info.st_ino;
                item.size = static_cast<std::uint64_t>(info.st_size);
                ++parsedSinceIndex_;
                bool read = false;
                std::string why;
                std::string text = readSmallFile(path, read, &why);
                std::vector<std::string> unread;
                if (!read || !parseItem(item, text, item.file.substr(0, item.file.size() - 4), why, unread)) {
                    item.broken = true;
                    item.entries.clear();
                    item.calendar.reset();
                    if (sink_) sink_->write("Calendars: skipping " + path + ": " + why);
                } else if (sink_) {
                    for (const auto& part : unread) sink_->write("Calendars: skipping part of " + path + ": " + part);
                }
                item.modified = item.order;
                lastOrder_ = std::max(lastOrder_, item.order);
            }
        }
        std::erase_if(collection->items, [&](const auto& entry) { return entry.second.generation != generation_; });
        collection->holdsEvents = collection->holdsTodos = false;
        for (const auto& [file, item] : collection->items) {
            for (const auto& entry : item.entries) {
                collection->holdsTodos = collection->holdsTodos || entry.todo;
                collection->holdsEvents = collection->holdsEvents || !entry.todo;
            }
        }
    }
}

IcalEventStore::Collection* IcalEventStore::findCollection(std::string_view identifier) {
    for (auto& c : collections_)
        if (c->name == identifier) return c.get();
    return nullptr;
}

IcalEventStore::Collection* IcalEventStore::firstCollection(EntityType type) {
    for (auto& c : collections_)
        if (c->serves(type)) return c.get();
    return nullptr;
}

IcalEventStore::Collection* IcalEventStore::defaultCollectionLocked(EntityType type) {
    if (Collection* c = firstCollection(type)) return c;
    // A root of calendars with no list yet (or lists with no calendar) gets
    // the default for new items, as an empty root does.
    {
        RootLock lock(root_);
        refreshLocked();
        if (!firstCollection(type))
            makeCollectionLocked(type == EntityType::Reminder ? "Reminders" : "Calendar", type);
    }
    refreshLocked();
    return firstCollection(type);
}

const IcalEventStore::Entry* IcalEventStore::findEntry(std::string_view identifier, bool todo,
                                                       const Collection** owner, const Item** file) {
    for (auto& c : collections_) {
        for (auto& [name, item] : c->items) {
            for (const auto& entry : item.entries) {
                if (entry.todo == todo && entry.id() == identifier) {
                    if (owner) *owner = c.get();
                    if (file) *file = &item;
                    return &entry;
                }
            }
        }
    }
    return nullptr;
}

std::vector<Calendar> IcalEventStore::calendars(EntityType type) {
    std::lock_guard lock(mutex_);
    prepareLocked();
    refreshLocked();
    std::vector<Calendar> out;
    for (auto& c : collections_)
        if (c->serves(type)) out.push_back(c->calendar(type));
    return out;
}

std::optional<Calendar> IcalEventStore::defaultCalendar(EntityType type) {
    std::lock_guard lock(mutex_);
    prepareLocked();
    refreshLocked();
    if (Collection* c = defaultCollectionLocked(type)) return c->calendar(type);
    return std::nullopt;
}

Calendar IcalEventStore::addCalendar(std::string title, EntityType type) {
    std::lock_guard lock(mutex_);
    prepareLocked();
    std::string name;
    {
        RootLock rootLock(root_);
        name = makeCollectionLocked(title, type);
    }
    rt::StopScope done{{}};  // made: a stop now would answer "cancelled" for what happened
    refreshLocked();
    Collection* made = findCollection(name);
    if (!made) throw PlatformError("add calendar " + root_ + "/" + name, "the new folder cannot be read back");
    return made->calendar(type);
}

std::vector<Event> IcalEventStore::events(Instant start, Instant end) {
    std::lock_guard lock(mutex_);
    prepareLocked();
    refreshLocked();
    if (!(start < end)) return {};
    // Sorted as light references; each event is copied once, into the answer.
    struct Found {
        Instant start;
        std::int64_t order;
        const Event* event;
        const Calendar* calendar;
    };
    std::vector<Calendar> calendars;
    calendars.reserve(collections_.size());
    std::vector<std::pair<Event, std::int64_t>> expanded;
    std::vector<Found> found;
    ExpansionBudget budget;
    for (auto& c : collections_)
        for (auto& [file, item] : c->items)
            for (const auto& entry : item.entries) budget.seriesLeft += !entry.todo && entry.master;
    for (auto& c : collections_) {
        calendars.push_back(c->calendar(EntityType::Event));
        for (auto& [file, item] : c->items) {
            for (const auto& entry : item.entries) {
                if (entry.todo) continue;
                if (entry.master) {
                    if (budget.stop.stop_requested()) throw rt::Cancelled();
                    budget.startSeries();
                    if (budget.seriesSpent(false)) {
                        if (budget.overrun.empty()) budget.overrun = item.file;
                        continue;
                    }
                    expand(entry, item, calendars.back(), start, end, budget, expanded);
                } else if (eventOccursWithin(entry.event, start, end)) {
                    found.push_back({entry.event.startDate, item.order, &entry.event, &calendars.back()});
                }
            }
        }
    }
    if (budget.stop.stop_requested()) throw rt::Cancelled();
    if (!budget.overrun.empty() && sink_)
        sink_->write("Calendars: recurring events cut short at " + budget.overrun +
                     ": more occurrences than one call expands");
    for (const auto& [event, order] : expanded) found.push_back({event.startDate, order, &event, nullptr});
    std::stable_sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        if (a.start != b.start) return a.start < b.start;
        return a.order < b.order;
    });
    std::vector<Event> out;
    out.reserve(found.size());
    for (const Found& f : found) {
        out.push_back(*f.event);
        if (f.calendar) out.back().calendar = *f.calendar;
    }
    return out;
}

template <class Record>
std::optional<Record> IcalEventStore::recordLocked(std::string_view identifier) {
    constexpr bool todo = std::is_same_v<Record, Reminder>;
    const Collection* owner = nullptr;
    const Entry* entry = findEntry(identifier, todo, &owner);
    if (!entry) return std::nullopt;
    Record out;
    if constexpr (todo)
        out = entry->reminder;
    else
        out = entry->event;
    out.calendar = owner->calendar(todo ? EntityType::Reminder : EntityType::Event);
    return out;
}

template <class Record>
Record IcalEventStore::saveLocked(const std::optional<std::string>& calendarIdentifier,
                                  const std::function<std::string(const std::string&)>& text) {
    constexpr EntityType type = std::is_same_v<Record, Reminder> ? EntityType::Reminder : EntityType::Event;
    const char* operation = type == EntityType::Reminder ? "save reminder" : "save event";
    prepareLocked();
    refreshLocked();
    Collection* target = calendarIdentifier ? findCollection(*calendarIdentifier) : defaultCollectionLocked(type);
    std::optional<Calendar> checked;
    if (target) checked = target->calendarFor(type);
    checkedTarget(checked ? &*checked : nullptr, calendarIdentifier, type);
    const std::string uid = newUid();
    const std::string path = target->path + "/" + uid + ".ics";
    writeItemLocked(*target, uid + ".ics", text(uid), nextOrderLocked(), operation);
    rt::StopScope done{{}};  // written: a stop now would answer "cancelled" for what happened
    refreshLocked();
    auto saved = recordLocked<Record>(uid);
    if (!saved) {
        // A failed save leaves no file that every later read would skip.
        ::unlink(path.c_str());
        refreshLocked();
        throw PlatformError(operation, "the saved item cannot be read back");
    }
    return *saved;
}

std::optional<Event> IcalEventStore::event(std::string_view identifier) {
    std::lock_guard lock(mutex_);
    prepareLocked();
    refreshLocked();
    return recordLocked<Event>(identifier);
}

Event IcalEventStore::saveEvent(const NewEvent& event) {
    checkSavable(event);
    checkWritable(event);
    std::lock_guard lock(mutex_);
    return saveLocked<Event>(event.calendarIdentifier, [&](const std::string& uid) { return eventText(uid, event); });
}

std::vector<Reminder> IcalEventStore::reminders(const ReminderPredicate& predicate) {
    std::lock_guard lock(mutex_);
    prepareLocked();
    refreshLocked();
    std::vector<std::pair<Reminder, std::int64_t>> found;
    for (auto& c : collections_) {
        const Calendar calendar = c->calendar(EntityType::Reminder);
        for (auto& [file, item] : c->items) {
            for (const auto& entry : item.entries) {
                if (!entry.todo) continue;
                Reminder reminder = entry.reminder;
                reminder.calendar = calendar;
                if (predicate.matches(reminder)) found.emplace_back(std::move(reminder), item.order);
            }
        }
    }
    std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
    std::vector<Reminder> out;
    for (auto& f : found) out.push_back(std::move(f.first));
    return out;
}

std::optional<Reminder> IcalEventStore::reminder(std::string_view identifier) {
    std::lock_guard lock(mutex_);
    prepareLocked();
    refreshLocked();
    return recordLocked<Reminder>(identifier);
}

Reminder IcalEventStore::saveReminder(const NewReminder& reminder) {
    checkSavable(reminder);
    checkWritable(reminder);
    std::lock_guard lock(mutex_);
    return saveLocked<Reminder>(reminder.calendarIdentifier,
                                [&](const std::string& uid) { return reminderText(uid, reminder, std::nullopt); });
}

namespace {

bool hasParseErrors(icalcomponent* root) {
    std::vector<icalcomponent*> pending{root};
    while (!pending.empty()) {
        icalcomponent* c = pending.back();
        pending.pop_back();
        if (icalcomponent_get_first_property(c, ICAL_XLICERROR_PROPERTY)) return true;
        for (icalcomponent* inner = icalcomponent_get_first_component(c, ICAL_ANY_COMPONENT); inner;
             inner = icalcomponent_get_next_component(c, ICAL_ANY_COMPONENT))
            pending.push_back(inner);
    }
    return false;
}

// The file's text again: a file of several calendars is written as several.
std::string writtenWhole(icalcomponent* root) {
    if (icalcomponent_isa(root) != ICAL_XROOT_COMPONENT) return written(root);
    std::string out;
    for (icalcomponent* c = icalcomponent_get_first_component(root, ICAL_ANY_COMPONENT); c;
         c = icalcomponent_get_next_component(root, ICAL_ANY_COMPONENT))
        out += written(c);
    return out;
}

}  // namespace

void IcalEventStore::setReminderCompletion(std::string_view identifier, std::optional<Instant> completionDate) {
    std::lock_guard lock(mutex_);
    prepareLocked();
    refreshLocked();
    const Collection* owner = nullptr;
    const Item* item = nullptr;
    const Entry* entry = findEntry(identifier, true, &owner, &item);
    if (!entry) throw PlatformError("complete reminder", "no reminder " + std::string(identifier));
    // Read the whole file again and change only this reminder's completion:
    // every other item and property stays.
    const std::string path = owner->path + "/" + item->file;
    bool read = false;
    std::string text = readSmallFile(path, read);
    ComponentPtr root = read ? own(parsed(text)) : nullptr;
    icalcomponent* vtodo = nullptr;
    if (root) {
        const std::vector<icalcomponent*> items = itemComponents(root.get());
        std::vector<std::size_t> made;
        const std::vector<std::string> ids = itemIds(items, item->file.substr(0, item->file.size() - 4), &made);
        for (std::size_t n = 0; n < items.size() && !vtodo; ++n)
            if (icalcomponent_isa(items[n]) == ICAL_VTODO_COMPONENT && ids[n] == entry->uid && made[n] == entry->made)
                vtodo = items[n];
    }
    if (!vtodo) throw PlatformError("complete reminder", "cannot read " + path);
    // Cancelled counts as done: completing it again leaves the cancellation
    // as its program wrote it (reopening it is asked for, and done).
    if (completionDate && statusOf(vtodo) == ICAL_STATUS_CANCELLED) return;
    if (hasParseErrors(root.get()))
        throw PlatformError("complete reminder", "cannot rewrite " + path + " without losing what it holds");
    setCompletion(vtodo, completionDate);
    writeItemLocked(*owner, item->file, writtenWhole(root.get()), item->order, "complete reminder");
    rt::StopScope done{{}};  // written: a stop now would answer "cancelled" for what happened
    refreshLocked();
}

std::optional<std::string> IcalEventStore::location(std::optional<std::string_view> identifier, EntityType type) {
    std::lock_guard lock(mutex_);
    prepareLocked();
    refreshLocked();
    if (!identifier) {
        // Without a collection of that kind, the folder that holds them all.
        Collection* c = firstCollection(type);
        return c ? c->path : root_;
    }
    const Collection* owner = nullptr;
    const Item* item = nullptr;
    if (!findEntry(*identifier, type == EntityType::Reminder, &owner, &item)) return std::nullopt;
    return owner->path + "/" + item->file;
}

}  // namespace app::platform
