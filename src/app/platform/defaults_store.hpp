// The user defaults: typed values under text keys, kept across launches.
#pragma once

#include "app/platform/diagnostic_sink.hpp"
#include "json/value.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

namespace app::platform {

class Environment;
class DirectoryWatch;

// A stored value: the four kinds stay apart (true is no integer, 1 is no boolean).
using DefaultsValue = std::variant<bool, std::int64_t, double, std::string>;

enum class WriteMode {
    Immediate,  // reaches the file before set() returns
    Coalesced,  // may be held back; at most one file write per interval, plus one at flush
};

class DefaultsStore {
public:
    virtual ~DefaultsStore() = default;

    // The stored value; nullopt when the key is absent or holds something
    // other than a boolean, integer, double or text.
    virtual std::optional<DefaultsValue> object(std::string_view key) = 0;

    // Visible to this process at once. Throws std::invalid_argument for a
    // non-finite double (the file could not carry it).
    void set(std::string_view key, DefaultsValue value, WriteMode mode = WriteMode::Immediate);

    // Adds delta to the integer reading of key (saturating), coalesced. A
    // store shared by several processes adds it to the value in the file, so
    // no process overwrites another's count.
    virtual void addInteger(std::string_view key, std::int64_t delta);

    // Writes whatever coalescing holds back.
    virtual void flush() {}

    // Calls onChange on a thread of its own when another program may have
    // changed the stored keys, until the returned watch is destroyed. Null
    // for a store no other program writes.
    virtual std::unique_ptr<DirectoryWatch> watchChanges(std::function<void()> onChange);

    // The store's boolean reading: a boolean as is, a number non-zero, a text
    // "yes"/"true" in any case or a non-zero integer text; else false.
    bool boolean(std::string_view key) { return booleanReading(object(key)); }
    // The store's integer reading: an integer as is, a double truncated, a
    // boolean 0/1, a text's leading integer; else 0.
    std::int64_t integer(std::string_view key) { return integerReading(object(key)); }

    void setBool(std::string_view key, bool value) { set(key, value); }
    void setInteger(std::string_view key, std::int64_t value, WriteMode mode = WriteMode::Immediate) {
        set(key, value, mode);
    }

    static bool booleanReading(const std::optional<DefaultsValue>& value);
    static std::int64_t integerReading(const std::optional<DefaultsValue>& value);

protected:
    virtual void store(std::string_view key, DefaultsValue value, WriteMode mode) = 0;
};

// $XDG_CONFIG_HOME/brisolet/defaults.json (or ~/.config/brisolet/defaults.json).
std::string defaultsFilePath(const Environment& environment);

// The program's store: one JSON object in a file. Every write is a
// read-modify-write of its own key under an exclusive flock on a lock file
// beside it, written to a temporary file and renamed into place, so keys the
// user or another instance wrote meanwhile are kept. Reads first check the
// file's identity and modification time and reload it when it changed. A file
// that does not hold a JSON object is renamed aside and reported; the store
// then starts from an empty object, but only after a second look a moment
// later, since an editor saving in place shows it empty or half-written for
// a moment. File errors are reported, never thrown.
//
// Editors save without our lock (sed -i: read, write a copy, rename it over).
// A save that lands while we swap our file in is put back and ours made
// again from it; a counted key (addInteger) never reads or is written below
// what this instance last wrote there, since a save made from a copy older
// than our write puts back an older count.
class FileDefaultsStore : public DefaultsStore {
public:
    struct Options {
        std::chrono::milliseconds coalesceInterval{200};
        // Tests: runs in every write just before its file is swapped in.
        std::function<void()> beforeSwap;
    };

    FileDefaultsStore(std::string path, std::shared_ptr<DiagnosticSink> sink);
    FileDefaultsStore(std::string path, std::shared_ptr<DiagnosticSink> sink, Options options);
    ~FileDefaultsStore() override;  // flushes

    FileDefaultsStore(const FileDefaultsStore&) = delete;
    FileDefaultsStore& operator=(const FileDefaultsStore&) = delete;

    std::optional<DefaultsValue> object(std::string_view key) override;
    void addInteger(std::string_view key, std::int64_t delta) override;
    void flush() override;
    // Watches the file's folder (inotify).
    std::unique_ptr<DirectoryWatch> watchChanges(std::function<void()> onChange) override;

    const std::string& path() const { return path_; }
    // File writes made by this instance.
    std::size_t fileWriteCount() const;

protected:
    void store(std::string_view key, DefaultsValue value, WriteMode mode) override;

private:
    struct Stamp {
        unsigned long long device = 0, inode = 0, size = 0;
        long long mtimeSec = 0, mtimeNsec = 0;
        friend bool operator==(const Stamp&, const Stamp&) = default;
    };
    struct Loaded;
    using Reports = std::vector<std::string>;

    void refreshLocked(Reports& reports);
    Loaded loadLocked(Reports& reports, bool haveFileLock);
    // Writes `keys` from the cache and adds `increments` to the file's values.
    void writeKeysLocked(const std::vector<std::string>& keys, Reports& reports,
                         std::map<std::string, std::int64_t, std::less<>> increments = {});
    // Whether the file a write displaced is the one expected there.
    static bool displacedIs(const std::string& displaced, const Stamp& stamp, const std::string& text);
    // What this instance last wrote under a counted key, if anything.
    std::optional<std::int64_t> floorLocked(std::string_view key) const;
    // Counted keys found below their floor get a write that puts them back.
    void repairCountsLocked();
    void flushPendingLocked(Reports& reports);
    void flusherLoop(std::stop_token stop);
    void report(const Reports& reports);

    const std::string path_;
    const std::shared_ptr<DiagnosticSink> sink_;
    const Options options_;

    mutable std::mutex mutex_;  // the file and the fields below up to pendingMutex_
    json::Object cache_;          // the file as last seen and written
    std::optional<Stamp> stamp_;  // nullopt: no file seen
    bool unreadableReported_ = false;
    // Counted keys: the value this instance last wrote there.
    std::map<std::string, std::int64_t, std::less<>> floors_;

    // Taken after mutex_ when both are needed, never the other way round.
    mutable std::mutex pendingMutex_;
    std::condition_variable_any wake_;
    std::map<std::string, DefaultsValue, std::less<>> pending_;  // coalesced, not yet in the file
    std::map<std::string, std::int64_t, std::less<>> increments_;  // added since the last write
    std::chrono::steady_clock::time_point lastCoalescedWrite_{};
    std::size_t writes_ = 0;
    std::jthread flusher_;
};

}  // namespace app::platform
