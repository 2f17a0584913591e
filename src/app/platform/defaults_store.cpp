#include "app/platform/defaults_store.hpp"

#include "app/platform/directory_watch.hpp"
#include "app/platform/environment.hpp"
#include "app/platform/stamped_file.hpp"
#include "json/json.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fcntl.h>
#include <limits>
#include <stdexcept>
#include <thread>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app::platform {

namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
// How long a file that does not parse gets to finish being written before
// it counts as corrupt.
constexpr auto kSecondLookDelay = std::chrono::milliseconds(150);
// A defaults file is a handful of keys; anything this large is not ours.
constexpr off_t kMaxFileSize = 16 * 1024 * 1024;
// Merges of one write before giving up on a file that never holds still.
constexpr int kMergeAttempts = 100;

char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    }
    return true;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// An optional sign and at least one digit, nothing else, some digit non-zero.
bool isNonZeroIntegerText(std::string_view s) {
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (i == s.size()) return false;
    bool nonZero = false;
    for (; i < s.size(); ++i) {
        if (!isDigit(s[i])) return false;
        if (s[i] != '0') nonZero = true;
    }
    return nonZero;
}

// Leading white space, an optional sign, then as many digits as there are;
// saturating; 0 when no digit follows.
std::int64_t leadingInteger(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    std::int64_t value = 0;  // accumulated negatively: kMin has no positive twin
    for (; i < s.size() && isDigit(s[i]); ++i) {
        int digit = s[i] - '0';
        if (value < (kMin + digit) / 10) return negative ? kMin : kMax;
        value = value * 10 - digit;
    }
    if (negative) return value;
    return value == kMin ? kMax : -value;
}

std::int64_t truncated(double d) {
    if (std::isnan(d)) return 0;
    if (d >= 0x1p63) return kMax;
    if (d < -0x1p63) return kMin;
    return static_cast<std::int64_t>(d);
}

std::optional<DefaultsValue> fromJson(const json::Value& v) {
    switch (v.kind()) {
        case json::Kind::Bool: return DefaultsValue(v.asBool());
        case json::Kind::Int: return DefaultsValue(v.asInt());
        case json::Kind::Double: return DefaultsValue(v.asDouble());
        case json::Kind::String: return DefaultsValue(v.asString());
        default: return std::nullopt;
    }
}

json::Value toJson(const DefaultsValue& v) {
    return std::visit([](const auto& x) { return json::Value(x); }, v);
}

std::string errnoText(int error) { return std::strerror(error); }

std::string parentDirectory(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// An exclusive flock on the lock file beside the defaults file, released on
// destruction. The data file itself is replaced by rename, so it cannot carry
// the lock.
class FileLock {
public:
    FileLock(const std::string& path, std::vector<std::string>& reports) {
        // Never through a link planted under the name (O_CREAT would make its target).
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
        if (fd_ < 0) {
            reports.push_back("Defaults: cannot open lock file " + path + ": " + errnoText(errno));
            return;
        }
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno == EINTR) continue;
            reports.push_back("Defaults: cannot lock " + path + ": " + errnoText(errno));
            ::close(fd_);
            fd_ = -1;
            return;
        }
    }
    ~FileLock() {
        if (fd_ >= 0) ::close(fd_);  // closing releases the lock
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// rename without replacing an existing file.
bool renameNoReplace(const std::string& from, const std::string& to, int& error) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    error = errno;
    if (error != EINVAL && error != ENOSYS) return false;
    // Filesystems without RENAME_NOREPLACE: link refuses an existing name too.
    if (::link(from.c_str(), to.c_str()) != 0) {
        error = errno;
        return false;
    }
    ::unlink(from.c_str());
    return true;
}

}  // namespace

// ---- DefaultsStore ----------------------------------------------------------

void DefaultsStore::set(std::string_view key, DefaultsValue value, WriteMode mode) {
    if (auto* d = std::get_if<double>(&value); d && !std::isfinite(*d)) {
        throw std::invalid_argument("Defaults: cannot store a non-finite number under \"" +
                                    std::string(key) + "\"");
    }
    store(key, std::move(value), mode);
}

namespace {

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
    std::int64_t sum;
    if (__builtin_add_overflow(a, b, &sum)) return b > 0 ? kMax : kMin;
    return sum;
}

}  // namespace

void DefaultsStore::addInteger(std::string_view key, std::int64_t delta) {
    set(key, saturatingAdd(integer(key), delta), WriteMode::Coalesced);
}

std::unique_ptr<DirectoryWatch> DefaultsStore::watchChanges(std::function<void()>) { return nullptr; }

bool DefaultsStore::booleanReading(const std::optional<DefaultsValue>& value) {
    if (!value) return false;
    if (auto* b = std::get_if<bool>(&*value)) return *b;
    if (auto* i = std::get_if<std::int64_t>(&*value)) return *i != 0;
    if (auto* d = std::get_if<double>(&*value)) return *d != 0.0;
    const auto& s = std::get<std::string>(*value);
    return equalsIgnoringCase(s, "yes") || equalsIgnoringCase(s, "true") || isNonZeroIntegerText(s);
}

std::int64_t DefaultsStore::integerReading(const std::optional<DefaultsValue>& value) {
    if (!value) return 0;
    if (auto* b = std::get_if<bool>(&*value)) return *b ? 1 : 0;
    if (auto* i = std::get_if<std::int64_t>(&*value)) return *i;
    if (auto* d = std::get_if<double>(&*value)) return truncated(*d);
    return leadingInteger(std::get<std::string>(*value));
}

std::string defaultsFilePath(const Environment& environment) {
    return environment.configHome() + "/brisolet/defaults.json";
}

// ---- FileDefaultsStore ------------------------------------------------------

struct FileDefaultsStore::Loaded {
    enum class State { Missing, Ok, Corrupt, Unreadable };
    State state = State::Missing;
    json::Object object;
    Stamp stamp;
    std::string text;  // the bytes read, for State::Ok
    mode_t mode = 0600;
    std::string problem;
};

FileDefaultsStore::FileDefaultsStore(std::string path, std::shared_ptr<DiagnosticSink> sink)
    : FileDefaultsStore(std::move(path), std::move(sink), Options{}) {}

FileDefaultsStore::FileDefaultsStore(std::string path, std::shared_ptr<DiagnosticSink> sink,
                                     Options options)
    : path_(std::move(path)), sink_(std::move(sink)), options_(options) {
    // What writers killed mid-save left beside the file.
    removeAbandonedTempFiles(std::filesystem::path(path_).parent_path().string());
    flusher_ = std::jthread([this](std::stop_token stop) { flusherLoop(stop); });
}

FileDefaultsStore::~FileDefaultsStore() {
    flusher_.request_stop();
    if (flusher_.joinable()) flusher_.join();
    flush();
}

std::size_t FileDefaultsStore::fileWriteCount() const {
    std::lock_guard lock(mutex_);
    return writes_;
}

void FileDefaultsStore::report(const Reports& reports) {
    if (!sink_) return;
    for (const auto& line : reports) sink_->write(line);
}

std::optional<DefaultsValue> FileDefaultsStore::object(std::string_view key) {
    Reports reports;
    std::optional<DefaultsValue> result;
    {
        std::lock_guard lock(mutex_);
        refreshLocked(reports);
        std::optional<DefaultsValue> held;
        std::optional<std::int64_t> added;
        {
            std::lock_guard pending(pendingMutex_);
            if (auto it = pending_.find(key); it != pending_.end()) held = it->second;
            if (auto it = increments_.find(key); it != increments_.end()) added = it->second;
        }
        if (held) {
            result = std::move(held);
        } else {
            if (const json::Value* v = cache_.find(key)) result = fromJson(*v);
            const auto floor = floorLocked(key);
            if (floor && (!result || integerReading(result) < *floor)) result = DefaultsValue(*floor);
        }
        if (added) result = saturatingAdd(integerReading(result), *added);
    }
    report(reports);
    return result;
}

void FileDefaultsStore::addInteger(std::string_view key, std::int64_t delta) {
    bool first;
    {
        std::lock_guard pending(pendingMutex_);
        first = pending_.empty() && increments_.empty();
        if (auto it = pending_.find(key); it != pending_.end()) {
            // A value set and not yet written: the sum replaces it.
            it->second = saturatingAdd(integerReading(it->second), delta);
        } else {
            auto [slot, added] = increments_.try_emplace(std::string(key), 0);
            slot->second = saturatingAdd(slot->second, delta);
        }
    }
    if (first) wake_.notify_all();
}

void FileDefaultsStore::store(std::string_view key, DefaultsValue value, WriteMode mode) {
    if (mode == WriteMode::Coalesced) {
        // Only the small pending lock: a caller never waits for a file write
        // in progress (the call counter is written on every tool call).
        bool first;
        {
            std::lock_guard pending(pendingMutex_);
            first = pending_.empty() && increments_.empty();
            increments_.erase(std::string(key));
            pending_.insert_or_assign(std::string(key), std::move(value));
        }
        if (first) wake_.notify_all();
        return;
    }
    Reports reports;
    {
        std::lock_guard lock(mutex_);
        {
            std::lock_guard pending(pendingMutex_);
            if (auto it = pending_.find(key); it != pending_.end()) pending_.erase(it);
            if (auto it = increments_.find(key); it != increments_.end()) increments_.erase(it);
        }
        cache_.set(std::string(key), toJson(value));
        writeKeysLocked({std::string(key)}, reports);
    }
    report(reports);
}

void FileDefaultsStore::flush() {
    Reports reports;
    {
        std::lock_guard lock(mutex_);
        // A count a save put back since the last look is written again too.
        refreshLocked(reports);
        flushPendingLocked(reports);
    }
    report(reports);
}

void FileDefaultsStore::flushPendingLocked(Reports& reports) {
    std::map<std::string, DefaultsValue, std::less<>> taken;
    std::map<std::string, std::int64_t, std::less<>> increments;
    {
        std::lock_guard pending(pendingMutex_);
        taken.swap(pending_);
        increments.swap(increments_);
        lastCoalescedWrite_ = std::chrono::steady_clock::now();
    }
    if (taken.empty() && increments.empty()) return;
    // Readers take mutex_ first, so none sees a value between the two maps.
    std::vector<std::string> keys;
    for (auto& [key, value] : taken) {
        cache_.set(key, toJson(value));
        keys.push_back(key);
    }
    writeKeysLocked(keys, reports, std::move(increments));
}

void FileDefaultsStore::flusherLoop(std::stop_token stop) {
    while (!stop.stop_requested()) {
        {
            std::unique_lock pending(pendingMutex_);
            if (!wake_.wait(pending, stop, [&] { return !pending_.empty() || !increments_.empty(); })) break;
            auto due = lastCoalescedWrite_ + options_.coalesceInterval;
            if (std::chrono::steady_clock::now() < due) {
                // Wait out the interval; flush() may write meanwhile, so look again.
                wake_.wait_until(pending, stop, due, [] { return false; });
                continue;
            }
        }
        Reports reports;
        {
            std::lock_guard lock(mutex_);
            flushPendingLocked(reports);
        }
        report(reports);
    }
}

void FileDefaultsStore::refreshLocked(Reports& reports) {
    struct stat st{};
    if (::stat(path_.c_str(), &st) != 0) {
        const int error = errno;
        if (error != ENOENT) {
            // A loop of links, a folder we may not search: unreadable, and said so once.
            if (!unreadableReported_) reports.push_back("Defaults: cannot read " + path_ + ": " + errnoText(error));
            unreadableReported_ = true;
        } else if (stamp_) {
            // Removed from outside: nothing is stored any more.
            cache_ = json::Object();
            stamp_.reset();
        }
        return;
    }
    Stamp seen{static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino),
               static_cast<unsigned long long>(st.st_size), static_cast<long long>(st.st_mtim.tv_sec),
               static_cast<long long>(st.st_mtim.tv_nsec)};
    if (stamp_ && *stamp_ == seen) return;
    Loaded loaded = loadLocked(reports, false);
    switch (loaded.state) {
        case Loaded::State::Ok:
            cache_ = std::move(loaded.object);
            stamp_ = loaded.stamp;
            unreadableReported_ = false;
            repairCountsLocked();
            break;
        case Loaded::State::Missing:
            cache_ = json::Object();
            stamp_.reset();
            break;
        case Loaded::State::Corrupt:
        case Loaded::State::Unreadable:
            // Keep what we had; retry on the next read.
            if (!unreadableReported_) reports.push_back(loaded.problem);
            unreadableReported_ = true;
            break;
    }
}

std::optional<std::int64_t> FileDefaultsStore::floorLocked(std::string_view key) const {
    const auto it = floors_.find(key);
    if (it == floors_.end()) return std::nullopt;
    return it->second;
}

void FileDefaultsStore::repairCountsLocked() {
    bool queued = false;
    {
        std::lock_guard pending(pendingMutex_);
        for (const auto& [key, floor] : floors_) {
            const json::Value* v = cache_.find(key);
            if (v && integerReading(fromJson(*v)) >= floor) continue;
            if (pending_.find(key) != pending_.end()) continue;  // a value set replaces the count anyway
            queued = increments_.try_emplace(key, 0).second || queued;
        }
    }
    if (queued) wake_.notify_all();
}

FileDefaultsStore::Loaded FileDefaultsStore::loadLocked(Reports& reports, bool haveFileLock) {
    auto readFile = [this]() {
        Loaded l;
        // Without blocking: a FIFO put there would otherwise hang us for good.
        int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            if (errno == ENOENT) return l;
            l.state = Loaded::State::Unreadable;
            l.problem = "Defaults: cannot read " + path_ + ": " + errnoText(errno);
            return l;
        }
        struct stat st{};
        std::string text;
        bool ok = ::fstat(fd, &st) == 0;
        if (ok && !S_ISREG(st.st_mode)) {
            ::close(fd);
            l.state = Loaded::State::Corrupt;
            l.problem = "not a regular file";
            return l;
        }
        if (ok && st.st_size > kMaxFileSize) {
            ::close(fd);
            l.state = Loaded::State::Corrupt;
            l.problem = "file too large";
            return l;
        }
        if (ok) {
            l.stamp = Stamp{static_cast<unsigned long long>(st.st_dev),
                            static_cast<unsigned long long>(st.st_ino),
                            static_cast<unsigned long long>(st.st_size),
                            static_cast<long long>(st.st_mtim.tv_sec),
                            static_cast<long long>(st.st_mtim.tv_nsec)};
            char buf[8192];
            for (;;) {
                ssize_t n = ::read(fd, buf, sizeof buf);
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) {
                    ok = false;
                    break;
                }
                if (n == 0) break;
                text.append(buf, static_cast<std::size_t>(n));
                if (text.size() > static_cast<std::size_t>(kMaxFileSize)) break;
            }
        }
        int error = errno;
        ::close(fd);
        if (!ok) {
            l.state = Loaded::State::Unreadable;
            l.problem = "Defaults: cannot read " + path_ + ": " + errnoText(error);
            return l;
        }
        try {
            json::Value v = json::parse(text);
            if (!v.isObject()) {
                l.state = Loaded::State::Corrupt;
                l.problem = "not a JSON object";
                return l;
            }
            l.state = Loaded::State::Ok;
            l.object = std::move(v.asObject());
            l.text = std::move(text);
            l.mode = st.st_mode & 0777;
        } catch (const json::DecodingError& e) {
            l.state = Loaded::State::Corrupt;
            l.problem = e.debugDescription();
        }
        return l;
    };

    Loaded l = readFile();
    if (l.state != Loaded::State::Corrupt) return l;
    // Another program may be saving it in place right now.
    std::this_thread::sleep_for(kSecondLookDelay);
    l = readFile();
    if (l.state != Loaded::State::Corrupt) return l;
    // Set it aside under the lock, so a writer replacing it meanwhile is not
    // mistaken for the broken file.
    std::optional<FileLock> lock;
    if (!haveFileLock) lock.emplace(path_ + ".lock", reports);
    l = readFile();
    if (l.state != Loaded::State::Corrupt) return l;

    const std::string base = path_ + ".corrupt-" + utcStamp();
    int error = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string aside = attempt == 0 ? base : base + "-" + std::to_string(attempt);
        if (renameNoReplace(path_, aside, error)) {
            reports.push_back("Defaults: " + path_ + " is not usable (" + l.problem + "); moved aside to " +
                              aside + ", starting with empty defaults");
            return Loaded{};
        }
        if (error != EEXIST) break;
    }
    // It stays where it is, and nothing overwrites it.
    Loaded stuck;
    stuck.state = Loaded::State::Unreadable;
    stuck.problem = "Defaults: " + path_ + " is not usable (" + l.problem +
                    ") and cannot be moved aside: " + errnoText(error);
    return stuck;
}

void FileDefaultsStore::writeKeysLocked(const std::vector<std::string>& keys, Reports& reports,
                                        std::map<std::string, std::int64_t, std::less<>> increments) {
    if (keys.empty() && increments.empty()) return;
    const std::string directory = parentDirectory(path_);
    const std::string name = path_.substr(path_.rfind('/') + 1);
    std::string failed;
    if (int error = makePrivateDirectories(directory, &failed)) {
        reports.push_back("Defaults: not saved: cannot create " + failed + ": " + errnoText(error));
        return;
    }
    FileLock lock(path_ + ".lock", reports);
    if (!lock.held()) {
        reports.push_back("Defaults: not saved without the lock: " + path_);
        return;
    }
    const auto stampOf = [](const struct stat& st) {
        return Stamp{static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino),
                     static_cast<unsigned long long>(st.st_size), static_cast<long long>(st.st_mtim.tv_sec),
                     static_cast<long long>(st.st_mtim.tv_nsec)};
    };
    // What the merge starts from, and what the file at the name must still
    // be for our write to replace it.
    json::Object source;
    bool existed = false;
    Stamp expected;
    std::string expectedText;
    mode_t mode = 0600;
    const auto reload = [&]() {
        Loaded current = loadLocked(reports, true);
        if (current.state == Loaded::State::Unreadable) {
            reports.push_back(current.problem + "; not saved");
            return false;
        }
        source = std::move(current.object);
        existed = current.state == Loaded::State::Ok;
        expected = current.stamp;
        expectedText = std::move(current.text);
        // The user's mode is kept; a link's target tells nothing about ours.
        struct stat atName {};
        const bool link = ::lstat(path_.c_str(), &atName) == 0 && S_ISLNK(atName.st_mode);
        mode = existed && !link ? current.mode : 0600;
        return true;
    };
    if (!reload()) return;
    // Set keys replace their counts.
    for (const auto& key : keys) floors_.erase(key);
    json::Object document;
    // Our counts are in the file now: they are not added again.
    const auto counted = [&] {
        for (const auto& [key, delta] : increments) {
            if (const json::Value* v = document.find(key)) floors_[key] = integerReading(fromJson(*v));
        }
        increments.clear();
    };
    const auto build = [&] {
        document = source;
        for (const auto& key : keys) {
            if (const json::Value* v = cache_.find(key)) document.set(key, *v);
        }
        // A count put back by a save made from an older copy is restored.
        for (const auto& [key, floor] : floors_) {
            const json::Value* v = document.find(key);
            if (!v || integerReading(fromJson(*v)) < floor) document.set(key, json::Value(floor));
        }
        // Counted into the value on disk, as other processes count into it too.
        for (const auto& [key, delta] : increments) {
            const json::Value* v = document.find(key);
            document.set(key, json::Value(saturatingAdd(integerReading(v ? fromJson(*v) : std::nullopt), delta)));
        }
    };
    build();
    // An editor saves without our lock (a copy renamed over the file, made
    // from the file it replaced). Ours is swapped in, and what it displaced
    // compared with what was expected there: a save that landed in between
    // is put back at once and ours made again from it, so it is never undone
    // and nothing of ours is counted twice.
    for (int attempt = 0; attempt < kMergeAttempts; ++attempt) {
        std::string text;
        try {
            // The user's key order is kept; new keys go last.
            text = json::write(json::Value(document), {.sortedKeys = false, .escapeSlashes = false, .pretty = true});
        } catch (const std::exception& e) {
            reports.push_back(std::string("Defaults: not saved: ") + e.what());
            return;
        }
        text += '\n';

        std::string temp;
        if (int error = writeTempFile(directory, name, text, {.modified = std::nullopt, .mode = mode}, temp)) {
            reports.push_back("Defaults: not saved to " + path_ + ": " + errnoText(error));
            return;
        }
        struct stat written {};
        if (::stat(temp.c_str(), &written) != 0) {
            const int error = errno;
            ::unlink(temp.c_str());
            reports.push_back("Defaults: not saved to " + path_ + ": " + errnoText(error));
            return;
        }
        struct stat now {};
        const bool changed = existed ? ::stat(path_.c_str(), &now) != 0 || stampOf(now) != expected
                                     : ::lstat(path_.c_str(), &now) == 0;
        if (changed) {  // seen before swapping: merge from the file as it is now
            ::unlink(temp.c_str());
            if (!reload()) return;
            build();
            continue;
        }
        if (options_.beforeSwap) options_.beforeSwap();
        // A link at the name is swapped away like a file: the write never goes through it.
        bool swapped = existed;
        int moved = ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path_.c_str(), existed ? RENAME_EXCHANGE : RENAME_NOREPLACE);
        if (moved != 0 && errno == EINVAL && existed) {
            // A file system without swapping: a plain rename, no check after.
            swapped = false;
            moved = ::rename(temp.c_str(), path_.c_str());
        }
        if (moved != 0) {
            const int error = errno;
            ::unlink(temp.c_str());
            if (error == ENOENT || error == EEXIST) {  // removed or made meanwhile
                if (!reload()) return;
                build();
                continue;
            }
            reports.push_back("Defaults: not saved to " + path_ + ": " + errnoText(error));
            return;
        }
        const Stamp ours = stampOf(written);
        if (swapped && !displacedIs(temp, expected, expectedText)) {
            // A save landed just before ours: put it back (ours comes out at
            // the temp name) before anyone reads ours, then start again from it.
            struct stat out {};
            int error = 0;
            bool putBack = true;
            if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path_.c_str(), RENAME_EXCHANGE) != 0) {
                // Ours was removed meanwhile: the save goes back alone.
                putBack = renameNoReplace(temp, path_, error);
            } else if (::stat(temp.c_str(), &out) == 0 && stampOf(out) != ours) {
                // Yet another save replaced ours in that instant: it is the
                // newest, and may hold our counts; it stays, nothing is added twice.
                putBack = ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path_.c_str(), RENAME_EXCHANGE) == 0;
                if (putBack) counted();
                else error = errno;
            }
            // A save that could not be put back is never deleted: it stays at the temp name.
            if (!putBack) {
                reports.push_back("Defaults: a save made meanwhile could not be put back to " + path_ + " (" +
                                  errnoText(error) + "); it is kept as " + temp);
                return;
            }
            ::unlink(temp.c_str());
            if (!reload()) return;
            build();
            continue;
        }
        if (swapped) ::unlink(temp.c_str());
        counted();
        cache_ = document;
        stamp_ = ours;
        unreadableReported_ = false;
        ++writes_;
        return;
    }
    reports.push_back("Defaults: not saved to " + path_ + ": it kept changing while being merged");
    // The counts are tried again with the next write; nothing of the file was undone.
    std::lock_guard pending(pendingMutex_);
    for (const auto& [key, delta] : increments) {
        if (pending_.find(key) != pending_.end()) continue;  // a value set since replaces them
        auto [slot, added] = increments_.try_emplace(key, 0);
        slot->second = saturatingAdd(slot->second, delta);
    }
    if (!increments.empty()) wake_.notify_all();
}

bool FileDefaultsStore::displacedIs(const std::string& displaced, const Stamp& stamp, const std::string& text) {
    // Through a link as the load read it; identity and contents both.
    int fd = ::open(displaced.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st{};
    bool same = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                Stamp{static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino),
                      static_cast<unsigned long long>(st.st_size), static_cast<long long>(st.st_mtim.tv_sec),
                      static_cast<long long>(st.st_mtim.tv_nsec)} == stamp;
    std::string seen;
    char buf[8192];
    while (same && seen.size() <= text.size()) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            same = n == 0;
            break;
        }
        seen.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return same && seen == text;
}

std::unique_ptr<DirectoryWatch> FileDefaultsStore::watchChanges(std::function<void()> onChange) {
    return std::make_unique<DirectoryWatch>(parentDirectory(path_), path_.substr(path_.rfind('/') + 1),
                                            std::move(onChange));
}

}  // namespace app::platform
