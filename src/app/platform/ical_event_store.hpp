// The event store on iCalendar collections, the layout calendar programs on
// Linux share (khal, todoman, vdirsyncer): under a root folder, one folder
// per calendar or reminder list, "<uid>.ics" files of events (VEVENT) and
// reminders (VTODO). A folder's title is its "displayname" file, else its
// name. A folder is an event calendar and a reminder list by what it holds:
// a folder holding VTODOs, or marked as a list, is a reminder list; one
// holding VEVENTs, or nothing, is a calendar; one holding both is both.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <vector>

#include "app/platform/diagnostic_sink.hpp"
#include "app/platform/event_store.hpp"

namespace app::platform {

struct IcalItem;
struct IcalEntry;
struct IcalCollection;

// Store order: collections in the order made (then others by name), items
// by when they were made (the file's modification time, kept on rewrite).
// Files are read again when they change on disk; every event and reminder
// of a file is read. A file that does not parse, nests components deeper
// than a few levels, or is not a regular file is skipped with one
// diagnostic and never rewritten. Text values are read unescaped and written
// escaped once. Writes go to a private temporary file in the same folder
// renamed into place, never through a link planted in place of a file or
// a collection folder; rewriting an item keeps the rest of its file. Temp
// files of writers that are gone are removed. Recurring events (RRULE,
// EXDATE, RDATE, overridden occurrences) are expanded within the asked
// window, at most as far as one call's budget of steps, occurrences and time.
// An item's identifier is its UID; one without (or repeating one its file
// already holds) gets one from its file's name and place ("export",
// "export#2"), qualified with its folder ("Work/export") where another
// item's identifier anywhere under the root is the same.
class IcalEventStore : public EventStore {
public:
    // An empty or missing root gets a calendar "Calendar" and a reminder list
    // "Reminders" at first use (and later either one when none serves as the
    // default for new items), unless `oldStorePath` names a program store
    // of the earlier layout, whose calendars, events and reminders are then
    // carried over once (its tables are left as they are).
    // `indexPath` names a private file where what the files held is kept
    // between runs, so a new process reads only the files that changed; it
    // is used for a file only while its time, inode and size are unchanged.
    IcalEventStore(std::string root, std::shared_ptr<AccessPrompter> prompter, std::shared_ptr<DiagnosticSink> sink,
                   std::optional<std::string> oldStorePath = std::nullopt,
                   std::optional<std::string> indexPath = std::nullopt);
    ~IcalEventStore() override;

    std::vector<Calendar> calendars(EntityType type) override;
    std::optional<Calendar> defaultCalendar(EntityType type) override;
    Calendar addCalendar(std::string title, EntityType type) override;
    std::vector<Event> events(Instant start, Instant end) override;
    std::optional<Event> event(std::string_view identifier) override;
    Event saveEvent(const NewEvent& event) override;
    std::vector<Reminder> reminders(const ReminderPredicate& predicate) override;
    std::optional<Reminder> reminder(std::string_view identifier) override;
    Reminder saveReminder(const NewReminder& reminder) override;
    void setReminderCompletion(std::string_view identifier, std::optional<Instant> completionDate) override;
    // Without an identifier and a collection of `type`: the root folder.
    std::optional<std::string> location(std::optional<std::string_view> identifier, EntityType type) override;

private:
    using Item = IcalItem;
    using Collection = IcalCollection;
    using Entry = IcalEntry;

    // Reads what changed; a stopped call (rt::Cancelled) keeps what was
    // read so far and leaves the rest to the next call.
    void refreshLocked();
    void refreshCollectionsLocked(const std::vector<std::string>& present,
                                  std::vector<std::unique_ptr<Collection>>& next, const std::stop_token& stop);
    bool changedSinceLastLook();
    void watchFolder(const std::string& path);
    void prepareLocked();
    void carryOverLocked(const std::string& storePath);
    void loadIndexLocked();
    void writeIndexLocked();
    Collection* findCollection(std::string_view identifier);
    Collection* firstCollection(EntityType type);
    // The first collection serving `type`, made when there is none.
    Collection* defaultCollectionLocked(EntityType type);
    void reportOnce(const std::string& path, const std::string& why);
    std::string makeCollectionLocked(const std::string& title, EntityType type);
    // Writes the text as the collection's file `name`, with the given order stamp.
    void writeItemLocked(const Collection& collection, const std::string& name, const std::string& text,
                         std::int64_t order, const std::string& operation);
    std::int64_t nextOrderLocked();
    const Entry* findEntry(std::string_view identifier, bool todo, const Collection** owner = nullptr,
                           const Item** file = nullptr);
    // The event or reminder, with its calendar.
    template <class Record>
    std::optional<Record> recordLocked(std::string_view identifier);
    // Writes a new item of text(uid) into the calendar named (or the default) and reads it back.
    template <class Record>
    Record saveLocked(const std::optional<std::string>& calendarIdentifier,
                      const std::function<std::string(const std::string&)>& text);

    const std::string root_;
    const std::shared_ptr<DiagnosticSink> sink_;
    const std::optional<std::string> oldStorePath_;
    const std::optional<std::string> indexPath_;
    std::size_t parsedSinceIndex_ = 0;  // files read since the index was written
    bool indexWritten_ = false;
    std::mutex mutex_;
    bool prepared_ = false;
    std::vector<std::unique_ptr<Collection>> collections_;  // store order
    std::int64_t lastOrder_ = 0;
    std::uint64_t generation_ = 0;
    int watch_ = -1;               // inotify on the root and every collection
    bool watchComplete_ = false;  // every folder is watched
    std::set<std::string> reported_;  // paths skipped with their one diagnostic
};

}  // namespace app::platform
