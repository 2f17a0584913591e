#include "app/platform/ical_event_store.hpp"

#include "app/platform/environment.hpp"
#include "app/platform/platform_error.hpp"
#include "app/platform/sqlite.hpp"
#include "app/platform/stamped_file.hpp"

#include <libical/ical.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <type_traits>
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
constexpr std::size_t kMaxItemFileSize = 16 * 1024 * 1024;
// A rule that never ends is followed this far at most, per item and call.
constexpr int kMaxOccurrences = 100000;

using ComponentPtr = std::shared_ptr<icalcomponent>;

ComponentPtr own(icalcomponent* component) {
    return ComponentPtr(component, [](icalcomponent* c) {
        if (c) icalcomponent_free(c);
    });
}

std::string readSmallFile(const std::string& path, bool& ok) {
    ok = false;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    std::string text;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return {};
        }
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > kMaxItemFileSize) {
            ::close(fd);
            return {};
        }
    }
    ::close(fd);
    ok = true;
    return text;
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

// The instant a parsed time names: dates at local midnight, UTC and zoned
// times as such, floating times in the local zone.
Instant toInstant(icaltimetype tt) {
    if (tt.is_date) return localMidnight(tt.year, tt.month, tt.day);
    if (icaltime_is_utc(tt) || tt.zone) {
        return fromSeconds(icaltime_as_timet_with_zone(tt, tt.zone ? tt.zone : icaltimezone_get_utc_timezone()));
    }
    std::tm local{};
    local.tm_year = tt.year - 1900;
    local.tm_mon = tt.month - 1;
    local.tm_mday = tt.day;
    local.tm_hour = tt.hour;
    local.tm_min = tt.minute;
    local.tm_sec = tt.second;
    local.tm_isdst = -1;
    return fromSeconds(std::mktime(&local));
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
void restoreEmptyTexts(icalcomponent* component) {
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
    for (icalcomponent* c = icalcomponent_get_first_component(component, ICAL_ANY_COMPONENT); c;
         c = icalcomponent_get_next_component(component, ICAL_ANY_COMPONENT))
        restoreEmptyTexts(c);
}

icalcomponent* parsed(const std::string& text) {
    icalcomponent* root = icalparser_parse_string(text.c_str());
    icalerror_clear_errno();
    if (root) restoreEmptyTexts(root);
    return root;
}

std::optional<std::string> textProperty(icalcomponent* component, icalproperty_kind kind) {
    icalproperty* property = icalcomponent_get_first_property(component, kind);
    if (!property) return std::nullopt;
    const char* value = icalproperty_get_value_as_string(property);
    return std::string(value ? value : "");
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

// A folder name for a title: path separators and leading dots are no part of it.
std::string folderNameFor(const std::string& title) {
    std::string name;
    for (char c : title) name += (c == '/' || static_cast<unsigned char>(c) < 0x20) ? '-' : c;
    while (name.starts_with('.')) name.erase(0, 1);
    if (name.empty()) name = "calendar";
    if (name.size() > 200) name.resize(200);
    return name;
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

struct IcalItem {
    std::string file;
    std::int64_t modified = 0;  // the stamp it was read with
    std::uint64_t inode = 0, size = 0;
    std::int64_t order = 0;  // when it was made
    std::uint64_t generation = 0;  // the last refresh that saw the file
    bool broken = false;
    bool todo = false;
    std::string uid;
    Event event;  // a VEVENT: the event, or a recurring event's first occurrence
    Reminder reminder;
    ComponentPtr calendar;            // kept for recurring events
    icalcomponent* master = nullptr;  // inside `calendar`
    std::vector<Event> overrides;     // occurrences given a VEVENT of their own
};

struct IcalCollection {
    std::string name;
    std::string path;
    Calendar calendar;
    bool marked = false;
    std::map<std::string, IcalItem> items;  // by file name
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
    icalproperty* status = icalcomponent_get_first_property(vtodo, ICAL_STATUS_PROPERTY);
    reminder.isCompleted =
        reminder.completionDate.has_value() || (status && icalproperty_get_status(status) == ICAL_STATUS_COMPLETED);
    return reminder;
}

// Parses an item file: false when it holds no usable event or reminder.
bool parseItem(IcalItem& item, const std::string& text, const std::string& stem) {
    ComponentPtr root = own(parsed(text));
    if (!root) return false;
    icalcomponent* container = root.get();
    auto first = [&](icalcomponent_kind kind) -> icalcomponent* {
        if (icalcomponent_isa(container) == kind) return container;
        return icalcomponent_get_first_component(container, kind);
    };
    if (icalcomponent* vtodo = first(ICAL_VTODO_COMPONENT)) {
        const char* uid = icalcomponent_get_uid(vtodo);
        item.uid = uid && *uid ? uid : stem;
        item.todo = true;
        item.reminder = readReminder(vtodo, item.uid);
        return true;
    }
    icalcomponent* vevent = first(ICAL_VEVENT_COMPONENT);
    if (!vevent) return false;
    const char* uid = icalcomponent_get_uid(vevent);
    item.uid = uid && *uid ? uid : stem;
    // The master has no RECURRENCE-ID; the others override one occurrence each.
    icalcomponent* master = nullptr;
    std::vector<icalcomponent*> overrides;
    for (icalcomponent* c = vevent; c; c = container == vevent ? nullptr : icalcomponent_get_next_component(container, ICAL_VEVENT_COMPONENT)) {
        if (icalcomponent_get_first_property(c, ICAL_RECURRENCEID_PROPERTY)) overrides.push_back(c);
        else if (!master) master = c;
    }
    if (!master) master = vevent;
    if (icaltime_is_null_time(icalcomponent_get_dtstart(master))) return false;
    item.event = readEvent(master, item.uid);
    const bool recurring = icalcomponent_get_first_property(master, ICAL_RRULE_PROPERTY) ||
                           icalcomponent_get_first_property(master, ICAL_RDATE_PROPERTY);
    if (recurring) {
        item.calendar = root;
        item.master = master;
        for (icalcomponent* c : overrides) item.overrides.push_back(readEvent(c, item.uid));
    }
    return true;
}

bool sameMoment(icaltimetype a, icaltimetype b) {
    if (icaltime_is_utc(a) != icaltime_is_utc(b)) return toInstant(a) == toInstant(b);
    return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour && a.minute == b.minute &&
           a.second == b.second;
}

// The occurrences of a recurring item within [start, end).
void expand(const IcalItem& item, const Calendar& calendar, Instant start, Instant end, std::vector<std::pair<Event, std::int64_t>>& out) {
    icalcomponent* master = item.master;
    const icaltimetype first = icalcomponent_get_dtstart(master);
    const auto duration = item.event.endDate - item.event.startDate;
    std::vector<icaltimetype> excluded;
    for (icalproperty* p = icalcomponent_get_first_property(master, ICAL_EXDATE_PROPERTY); p;
         p = icalcomponent_get_next_property(master, ICAL_EXDATE_PROPERTY))
        excluded.push_back(icalproperty_get_exdate(p));
    for (icalcomponent* c = icalcomponent_get_first_component(item.calendar.get(), ICAL_VEVENT_COMPONENT); c;
         c = icalcomponent_get_next_component(item.calendar.get(), ICAL_VEVENT_COMPONENT)) {
        if (c != master && icalcomponent_get_first_property(c, ICAL_RECURRENCEID_PROPERTY))
            excluded.push_back(icalcomponent_get_recurrenceid(c));
    }
    std::set<std::int64_t> seen;
    auto consider = [&](icaltimetype tt) {
        for (const auto& x : excluded)
            if (sameMoment(x, tt)) return;
        Event occurrence = item.event;
        occurrence.startDate = toInstant(tt);
        occurrence.endDate = occurrence.startDate + duration;
        occurrence.calendar = calendar;
        if (!seen.insert(occurrence.startDate.time_since_epoch().count()).second) return;
        if (eventOccursWithin(occurrence, start, end)) out.emplace_back(std::move(occurrence), item.order);
    };
    bool ruled = false;
    for (icalproperty* p = icalcomponent_get_first_property(master, ICAL_RRULE_PROPERTY); p;
         p = icalcomponent_get_next_property(master, ICAL_RRULE_PROPERTY)) {
        icalrecur_iterator* it = icalrecur_iterator_new(icalproperty_get_rrule(p), first);
        if (!it) continue;
        ruled = true;
        for (int n = 0; n < kMaxOccurrences; ++n) {
            icaltimetype tt = icalrecur_iterator_next(it);
            if (icaltime_is_null_time(tt)) break;
            tt.zone = first.zone;
            tt.is_date = first.is_date;
            if (!(toInstant(tt) < end)) break;
            consider(tt);
        }
        icalrecur_iterator_free(it);
    }
    if (!ruled) consider(first);  // RDATE alone: the first one counts too
    for (icalproperty* p = icalcomponent_get_first_property(master, ICAL_RDATE_PROPERTY); p;
         p = icalcomponent_get_next_property(master, ICAL_RDATE_PROPERTY)) {
        icaltimetype tt = icalproperty_get_rdate(p).time;
        if (icaltime_is_null_time(tt)) continue;
        if (!tt.zone && !icaltime_is_utc(tt)) tt.zone = first.zone;
        consider(tt);
    }
    for (const Event& override : item.overrides) {
        Event occurrence = override;
        occurrence.calendar = calendar;
        if (eventOccursWithin(occurrence, start, end)) out.emplace_back(std::move(occurrence), item.order);
    }
}

}  // namespace

IcalEventStore::IcalEventStore(std::string root, std::shared_ptr<AccessPrompter> prompter,
                               std::shared_ptr<DiagnosticSink> sink, std::optional<std::string> oldStorePath)
    : EventStore(std::move(prompter)), root_(std::move(root)), sink_(std::move(sink)),
      oldStorePath_(std::move(oldStorePath)) {
    // Without inotify every call scans the folders.
    watch_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
}

IcalEventStore::~IcalEventStore() {
    if (watch_ >= 0) ::close(watch_);
}

std::int64_t IcalEventStore::nextOrderLocked() {
    lastOrder_ = stampAfter(lastOrder_);
    return lastOrder_;
}

void IcalEventStore::prepareLocked() {
    if (prepared_) return;
    std::error_code ec;
    fs::create_directories(root_, ec);
    if (ec) throw PlatformError("open calendars " + root_, ec.message());
    prepared_ = true;
    // Two programs starting on a new root: one of them sets it up.
    int lock = ::open((root_ + "/.brisolet-lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    while (lock >= 0 && ::flock(lock, LOCK_EX) != 0 && errno == EINTR) {
    }
    struct Unlock {
        int fd;
        ~Unlock() {
            if (fd >= 0) ::close(fd);
        }
    } unlock{lock};
    const std::string marker = root_ + "/" + kCarriedOverMarker;
    if (oldStorePath_ && !fs::exists(marker) && fs::exists(*oldStorePath_)) {
        carryOverLocked(*oldStorePath_);
        int fd = ::open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0) ::close(fd);
    }
    refreshLocked();
    if (!collections_.empty()) return;
    makeCollectionLocked("Calendar", EntityType::Event);
    makeCollectionLocked("Reminders", EntityType::Reminder);
    refreshLocked();
}

void IcalEventStore::carryOverLocked(const std::string& storePath) {
    try {
        SqliteConnection db(storePath, SqliteOpenMode::ReadOnly);
        {
            auto check = db.prepare(
                "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND "
                "name IN ('calendars', 'events', 'reminders', 'reminder_alarms')");
            if (!check.step() || check.int64(0) != 4) return;
        }
        std::map<std::int64_t, std::string> folders;
        auto calendars = db.prepare("SELECT seq, title, entity FROM calendars ORDER BY seq");
        while (calendars.step()) {
            folders[calendars.int64(0)] = makeCollectionLocked(
                calendars.text(1), calendars.int32(2) == 1 ? EntityType::Reminder : EntityType::Event);
        }
        auto events = db.prepare(
            "SELECT identifier, calendar, title, location, notes, start_us, end_us, all_day, url FROM events ORDER BY seq");
        while (events.step()) {
            NewEvent event;
            event.title = events.text(2);
            event.location = events.optionalText(3);
            event.notes = events.optionalText(4);
            event.startDate = Instant(std::chrono::microseconds(events.int64(5)));
            event.endDate = Instant(std::chrono::microseconds(events.int64(6)));
            event.isAllDay = events.int64(7) != 0;
            event.url = events.optionalText(8);
            auto folder = folders.find(events.int64(1));
            if (folder == folders.end()) continue;
            Collection c{folder->second, root_ + "/" + folder->second, {}, false, {}};
            writeItemLocked(c, events.text(0) + ".ics", eventText(events.text(0), event), nextOrderLocked(),
                            "carry over events");
        }
        auto reminders = db.prepare(
            "SELECT seq, identifier, calendar, title, notes, priority, due_year, due_month, due_day, due_hour, "
            "due_minute, completed, completion_us FROM reminders ORDER BY seq");
        while (reminders.step()) {
            NewReminder reminder;
            reminder.title = reminders.optionalText(3);
            reminder.notes = reminders.optionalText(4);
            reminder.priority = reminders.int64(5);
            if (auto year = reminders.optionalInt64(6)) {
                DateComponents due{static_cast<int>(*year), static_cast<int>(reminders.int64(7)),
                                   static_cast<int>(reminders.int64(8)), std::nullopt, std::nullopt};
                if (auto hour = reminders.optionalInt64(9)) due.hour = static_cast<int>(*hour);
                if (auto minute = reminders.optionalInt64(10)) due.minute = static_cast<int>(*minute);
                reminder.dueDateComponents = due;
            }
            auto alarms = db.prepare("SELECT at_us FROM reminder_alarms WHERE reminder = ? ORDER BY seq");
            alarms.bind(1, reminders.int64(0));
            while (alarms.step()) reminder.alarms.push_back(Instant(std::chrono::microseconds(alarms.int64(0))));
            std::optional<Instant> completed;
            if (reminders.int64(11) != 0)
                completed = Instant(std::chrono::microseconds(reminders.optionalInt64(12).value_or(0)));
            auto folder = folders.find(reminders.int64(2));
            if (folder == folders.end()) continue;
            Collection c{folder->second, root_ + "/" + folder->second, {}, false, {}};
            const std::string uid = reminders.text(1);
            writeItemLocked(c, uid + ".ics", reminderText(uid, reminder, completed), nextOrderLocked(),
                            "carry over reminders");
        }
    } catch (const SqliteError& error) {
        // Nothing lost: the old file stays, and the next start tries again.
        if (sink_) sink_->write("Calendars: cannot carry over " + storePath + ": " + error.sqliteMessage());
        throw PlatformError("carry over " + storePath, error.sqliteMessage());
    }
}

std::string IcalEventStore::makeCollectionLocked(const std::string& title, EntityType type) {
    const std::string base = folderNameFor(title);
    std::string name;
    std::string path;
    for (int n = 1;; ++n) {
        name = n == 1 ? base : base + "-" + std::to_string(n);
        path = root_ + "/" + name;
        if (::mkdir(path.c_str(), 0700) == 0) break;
        if (errno != EEXIST || n > 1000) throw errnoError("add calendar " + path, errno);
    }
    std::ofstream(path + "/displayname") << title;
    if (type == EntityType::Reminder) std::ofstream(path + "/" + kReminderMarker);
    std::ofstream(root_ + "/" + kOrderFile, std::ios::app) << name << '\n';
    return name;
}

void IcalEventStore::writeItemLocked(const Collection& collection, const std::string& name, const std::string& text,
                                     std::int64_t order, const std::string& operation) {
    if (int error = replaceFile(collection.path, name, text, {.modified = order})) throw errnoError(operation, error);
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

void IcalEventStore::refreshLocked() {
    // Folders unchanged since the last look (inotify says so) need no scan:
    // a large calendar answers without a stat per file.
    if (!changedSinceLastLook()) return;
    watchComplete_ = true;
    watchFolder(root_);
    std::vector<std::string> ordered;
    {
        std::ifstream in(root_ + "/" + kOrderFile);
        for (std::string line; std::getline(in, line);)
            if (!line.empty() && std::find(ordered.begin(), ordered.end(), line) == ordered.end()) ordered.push_back(line);
    }
    std::vector<std::string> present;
    std::error_code ec;
    for (fs::directory_iterator it(root_, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        std::error_code dirError;
        if (!name.starts_with('.') && it->is_directory(dirError)) present.push_back(name);
    }
    std::sort(present.begin(), present.end(), [&](const std::string& a, const std::string& b) {
        auto ia = std::find(ordered.begin(), ordered.end(), a), ib = std::find(ordered.begin(), ordered.end(), b);
        if (ia != ib) return ia < ib;
        return a < b;
    });

    std::vector<std::unique_ptr<Collection>> next;
    for (const auto& name : present) {
        std::unique_ptr<Collection> collection;
        for (auto& old : collections_)
            if (old && old->name == name) collection = std::move(old);
        if (!collection) {
            collection = std::make_unique<Collection>();
            collection->name = name;
            collection->path = root_ + "/" + name;
        }
        bool ok = false;
        std::string title = trimmed(readSmallFile(collection->path + "/displayname", ok));
        collection->marked = fs::exists(collection->path + "/" + kReminderMarker);

        // Changed files are read again; the rest stay as they are.
        watchFolder(collection->path);
        ++generation_;
        if (DIR* folder = ::opendir(collection->path.c_str())) {
            const int folderFd = ::dirfd(folder);
            while (dirent* entry = ::readdir(folder)) {
                std::string_view file = entry->d_name;
                if (file.starts_with('.') || !file.ends_with(".ics")) continue;
                struct stat info {};
                if (::fstatat(folderFd, entry->d_name, &info, 0) != 0 || !S_ISREG(info.st_mode)) continue;
                auto [slot, added] = collection->items.try_emplace(std::string(file));
                Item& item = slot->second;
                item.generation = generation_;
                if (!added && item.modified == nanosecondsOf(info.st_mtim) && item.inode == info.st_ino &&
                    item.size == static_cast<std::uint64_t>(info.st_size))
                    continue;
                item = Item{};
                item.generation = generation_;
                item.file = std::string(file);
                item.modified = item.order = nanosecondsOf(info.st_mtim);
                item.inode = info.st_ino;
                item.size = static_cast<std::uint64_t>(info.st_size);
                const std::string path = collection->path + "/" + item.file;
                bool read = false;
                std::string text = readSmallFile(path, read);
                if (!read || !parseItem(item, text, item.file.substr(0, item.file.size() - 4))) {
                    item.broken = true;
                    if (sink_) sink_->write("Calendars: skipping " + path + ": not a readable iCalendar item");
                }
                lastOrder_ = std::max(lastOrder_, item.order);
            }
            ::closedir(folder);
        }
        std::erase_if(collection->items, [&](const auto& entry) { return entry.second.generation != generation_; });
        bool holdsTodo = collection->marked;
        for (const auto& [file, item] : collection->items) holdsTodo = holdsTodo || (!item.broken && item.todo);
        collection->calendar = {name, ok && !title.empty() ? title : name,
                                holdsTodo ? EntityType::Reminder : EntityType::Event};
        next.push_back(std::move(collection));
    }
    collections_ = std::move(next);
}

IcalEventStore::Collection* IcalEventStore::findCollection(std::string_view identifier) {
    for (auto& c : collections_)
        if (c->name == identifier) return c.get();
    return nullptr;
}

IcalEventStore::Collection* IcalEventStore::firstCollection(EntityType type) {
    for (auto& c : collections_)
        if (c->calendar.type == type) return c.get();
    return nullptr;
}

const IcalEventStore::Item* IcalEventStore::findItem(std::string_view identifier, bool todo, const Collection** owner) {
    for (auto& c : collections_) {
        for (auto& [file, item] : c->items) {
            if (!item.broken && item.todo == todo && item.uid == identifier) {
                if (owner) *owner = c.get();
                return &item;
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
        if (c->calendar.type == type) out.push_back(c->calendar);
    return out;
}

std::optional<Calendar> IcalEventStore::defaultCalendar(EntityType type) {
    std::lock_guard lock(mutex_);
    prepareLocked();
    refreshLocked();
    if (Collection* c = firstCollection(type)) return c->calendar;
    return std::nullopt;
}

Calendar IcalEventStore::addCalendar(std::string title, EntityType type) {
    std::lock_guard lock(mutex_);
    prepareLocked();
    std::string name = makeCollectionLocked(title, type);
    refreshLocked();
    return findCollection(name)->calendar;
}

std::vector<Event> IcalEventStore::events(Instant start, Instant end) {
    std::lock_guard lock(mutex_);
    prepareLocked();
    refreshLocked();
    std::vector<std::pair<Event, std::int64_t>> found;
    if (!(start < end)) return {};
    for (auto& c : collections_) {
        if (c->calendar.type != EntityType::Event) continue;
        for (auto& [file, item] : c->items) {
            if (item.broken || item.todo) continue;
            if (item.master) {
                expand(item, c->calendar, start, end, found);
            } else if (eventOccursWithin(item.event, start, end)) {
                found.emplace_back(item.event, item.order);
                found.back().first.calendar = c->calendar;
            }
        }
    }
    std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        if (a.first.startDate != b.first.startDate) return a.first.startDate < b.first.startDate;
        return a.second < b.second;
    });
    std::vector<Event> out;
    out.reserve(found.size());
    for (auto& f : found) out.push_back(std::move(f.first));
    return out;
}

template <class Record>
std::optional<Record> IcalEventStore::recordLocked(std::string_view identifier) {
    constexpr bool todo = std::is_same_v<Record, Reminder>;
    const Collection* owner = nullptr;
    const Item* item = findItem(identifier, todo, &owner);
    if (!item) return std::nullopt;
    Record out;
    if constexpr (todo)
        out = item->reminder;
    else
        out = item->event;
    out.calendar = owner->calendar;
    return out;
}

template <class Record>
Record IcalEventStore::saveLocked(const std::optional<std::string>& calendarIdentifier,
                                  const std::function<std::string(const std::string&)>& text) {
    constexpr EntityType type = std::is_same_v<Record, Reminder> ? EntityType::Reminder : EntityType::Event;
    const char* operation = type == EntityType::Reminder ? "save reminder" : "save event";
    prepareLocked();
    refreshLocked();
    Collection* target = calendarIdentifier ? findCollection(*calendarIdentifier) : firstCollection(type);
    checkedTarget(target ? &target->calendar : nullptr, calendarIdentifier, type);
    const std::string uid = newUid();
    writeItemLocked(*target, uid + ".ics", text(uid), nextOrderLocked(), operation);
    refreshLocked();
    auto saved = recordLocked<Record>(uid);
    if (!saved) throw PlatformError(operation, "the saved item cannot be read back");
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
    std::lock_guard lock(mutex_);
    return saveLocked<Event>(event.calendarIdentifier, [&](const std::string& uid) { return eventText(uid, event); });
}

std::vector<Reminder> IcalEventStore::reminders(const ReminderPredicate& predicate) {
    std::lock_guard lock(mutex_);
    prepareLocked();
    refreshLocked();
    std::vector<std::pair<Reminder, std::int64_t>> found;
    for (auto& c : collections_) {
        if (c->calendar.type != EntityType::Reminder) continue;
        for (auto& [file, item] : c->items) {
            if (item.broken || !item.todo) continue;
            Reminder reminder = item.reminder;
            reminder.calendar = c->calendar;
            if (predicate.matches(reminder)) found.emplace_back(std::move(reminder), item.order);
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
    std::lock_guard lock(mutex_);
    return saveLocked<Reminder>(reminder.calendarIdentifier,
                                [&](const std::string& uid) { return reminderText(uid, reminder, std::nullopt); });
}

void IcalEventStore::setReminderCompletion(std::string_view identifier, std::optional<Instant> completionDate) {
    std::lock_guard lock(mutex_);
    prepareLocked();
    refreshLocked();
    const Collection* owner = nullptr;
    const Item* item = findItem(identifier, true, &owner);
    if (!item) throw PlatformError("complete reminder", "no reminder " + std::string(identifier));
    // Read again and change only the completion: everything else stays.
    const std::string path = owner->path + "/" + item->file;
    bool read = false;
    std::string text = readSmallFile(path, read);
    ComponentPtr root = read ? own(parsed(text)) : nullptr;
    icalcomponent* vtodo = nullptr;
    if (root) {
        vtodo = icalcomponent_isa(root.get()) == ICAL_VTODO_COMPONENT
                    ? root.get()
                    : icalcomponent_get_first_component(root.get(), ICAL_VTODO_COMPONENT);
    }
    if (!vtodo) throw PlatformError("complete reminder", "cannot read " + path);
    setCompletion(vtodo, completionDate);
    writeItemLocked(*owner, item->file, written(root.get()), item->order, "complete reminder");
    refreshLocked();
}

std::optional<std::string> IcalEventStore::location(std::optional<std::string_view> identifier, EntityType type) {
    std::lock_guard lock(mutex_);
    prepareLocked();
    refreshLocked();
    if (!identifier) {
        Collection* c = firstCollection(type);
        return c ? std::optional<std::string>(c->path) : std::nullopt;
    }
    const Collection* owner = nullptr;
    const Item* item = findItem(*identifier, type == EntityType::Reminder, &owner);
    if (!item) return std::nullopt;
    return owner->path + "/" + item->file;
}

}  // namespace app::platform
