#include "app/platform/defaults_store.hpp"
#include "app/platform/child_process.hpp"
#include "app/platform/url_opener.hpp"
#include "app/platform/scratch_dir.hpp"
#include "json/json.hpp"

#include <gtest/gtest.h>

#include "app/platform/directory_watch.hpp"
#include "support/wait.hpp"
#include "support/memory_diagnostic_sink.hpp"

#include <atomic>
#include <condition_variable>
#include <cmath>
#include <filesystem>
#include <mutex>
#include <tuple>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace app::platform {
namespace {
using testsupport::readFile;
using testsupport::ScratchDir;
using testsupport::writeFile;

TEST(DefaultsReadings, BooleanReading) {
    const std::pair<std::optional<DefaultsValue>, bool> cases[] = {
        {std::nullopt, false},           {true, true},                      {false, false},
        {std::int64_t{0}, false},        {std::int64_t{-3}, true},          {0.0, false},
        {0.5, true},                     {std::string("yEs"), true},        {std::string("TRUE"), true},
        {std::string("no"), false},      {std::string("-2"), true},         {std::string("+7"), true},
        {std::string("000"), false},     {std::string("-0"), false},        {std::string("1.5"), false},
        {std::string("1x"), false},      {std::string("y"), false},         {std::string(""), false},
        {std::string("99999999999999999999999"), true},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(DefaultsStore::booleanReading(cases[i].first), cases[i].second) << i;
}

TEST(DefaultsReadings, IntegerReading) {
    constexpr std::int64_t kMax = INT64_MAX, kMin = INT64_MIN;
    const std::pair<std::optional<DefaultsValue>, std::int64_t> cases[] = {
        {std::nullopt, 0},           {true, 1},                       {false, 0},
        {-2.9, -2},                  {1e300, kMax},                   {-1e300, kMin},
        {std::nan(""), 0},           {std::string(" \t\n-42abc"), -42}, {std::string("+7"), 7},
        {std::string("x1"), 0},      {std::string("99999999999999999999"), kMax},
        {std::string("-9223372036854775808"), kMin},                   {std::string("-99999999999999999999"), kMin},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(DefaultsStore::integerReading(cases[i].first), cases[i].second) << i;
}

class FileDefaultsTest : public ::testing::Test {
protected:
    ScratchDir dir;
    std::string path = dir.path() + "/config/brisolet/defaults.json";
    std::shared_ptr<MemoryDiagnosticSink> sink = std::make_shared<MemoryDiagnosticSink>();

    json::Value fileJson() { return json::parse(readFile(path)); }
    // The defaults file alone in a new config folder.
    void freshFile(const std::string& text) {
        std::filesystem::remove_all(dir.file("config"));
        std::filesystem::create_directories(dir.file("config/brisolet"));
        writeFile(path, text);
    }
};

TEST_F(FileDefaultsTest, ACorruptFileIsSetAsideWithItsBytesAndReported) {
    const std::string cases[] = {"{\"isMailEnabled\":tru", "[true]"};
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i]);
        const std::string folder = dir.path() + "/" + std::to_string(i), file = folder + "/defaults.json";
        std::filesystem::create_directories(folder);
        writeFile(file, cases[i]);
        auto reports = std::make_shared<MemoryDiagnosticSink>();
        FileDefaultsStore store(file, reports);
        EXPECT_EQ(store.object("isMailEnabled"), std::nullopt);
        std::vector<std::string> aside;
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            if (entry.path().filename().string().starts_with("defaults.json.corrupt-")) aside.push_back(entry.path());
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(readFile(aside[0]), cases[i]);
        const auto lines = reports->lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(lines[0].starts_with("Defaults: " + file + " is not usable (")) << lines[0];
        EXPECT_TRUE(lines[0].ends_with("moved aside to " + aside[0] + ", starting with empty defaults")) << lines[0];
    }
}

// Every write merges into the file as it is now: keys another instance or
// the user wrote survive, and two instances never revert each other.
TEST_F(FileDefaultsTest, WritesMergeIntoTheFileAsItIsNow) {
    FileDefaultsStore a(path, sink), b(path, sink);
    a.setBool("isMailEnabled", true);
    json::Value doc = fileJson();
    doc.asObject().set("mcp_server_port", 9000);
    writeFile(path, json::write(doc));
    b.set("y", std::int64_t{2});  // b never read isMailEnabled
    a.setInteger("toolCallCount", 3, WriteMode::Coalesced);  // a never read y
    a.flush();
    EXPECT_EQ(fileJson(), json::Value(json::Object{
                              {"isMailEnabled", true}, {"mcp_server_port", 9000}, {"toolCallCount", 3}, {"y", 2}}));
    EXPECT_EQ(a.object("y"), DefaultsValue(std::int64_t{2}));
    EXPECT_LT(readFile(path).find("\"y\""), readFile(path).find("toolCallCount"));  // the order keys came in
}

TEST_F(FileDefaultsTest, ConcurrentWritersNeverLeaveATruncatedFileOrLoseAKey) {
    constexpr int kWriters = 4;
    constexpr int kWrites = 40;
    FileDefaultsStore(path, sink).set("seed", true);  // so the reader always finds a file
    std::atomic<bool> done{false};
    std::atomic<int> badReads{0};
    std::thread reader([&] {
        // Bounded: stops when the writers are done or after 100000 reads.
        for (int i = 0; i < 100000 && !done.load(); ++i) {
            std::string text = readFile(path);
            try {
                if (!json::parse(text).isObject()) ++badReads;
            } catch (const std::exception&) {
                ++badReads;
            }
        }
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            // Each its own instance: separate lock descriptions, like separate processes.
            FileDefaultsStore store(path, sink);
            for (int i = 1; i <= kWrites; ++i) store.set("writer" + std::to_string(w), std::int64_t{i});
        });
    }
    for (auto& t : writers) t.join();
    done = true;
    reader.join();
    EXPECT_EQ(badReads.load(), 0);
    json::Value doc = fileJson();
    for (int w = 0; w < kWriters; ++w) EXPECT_EQ(*doc.find("writer" + std::to_string(w)), json::Value(kWrites));
    EXPECT_EQ(*doc.find("seed"), json::Value(true));
    EXPECT_TRUE(sink->lines().empty());
}

TEST_F(FileDefaultsTest, CoalescedWritesAreVisibleAtOnceAndThrottled) {
    FileDefaultsStore store(path, sink);
    auto start = std::chrono::steady_clock::now();
    for (int i = 1; i <= 2000; ++i) {
        store.setInteger("toolCallCount", i, WriteMode::Coalesced);
        ASSERT_EQ(store.integer("toolCallCount"), i);
    }
    auto elapsed = std::chrono::steady_clock::now() - start;
    store.flush();
    auto allowed = elapsed / std::chrono::milliseconds(200) + 2;  // one per interval, plus the flush
    EXPECT_LE(store.fileWriteCount(), static_cast<std::size_t>(allowed));
    EXPECT_EQ(fileJson(), json::Value(json::Object{{"toolCallCount", 2000}}));
    {
        FileDefaultsStore held(path, sink, {.coalesceInterval = std::chrono::hours(1)});
        held.setInteger("toolCallCount", 1, WriteMode::Coalesced);  // first write: at once
        held.setInteger("toolCallCount", 99, WriteMode::Coalesced);  // held back an hour, written on destruction
    }
    EXPECT_EQ(fileJson(), json::Value(json::Object{{"toolCallCount", 99}}));
}

// Counts held back (coalesced) against values set: reads see them at once,
// a value set after them replaces them, counts after a set add to it.
TEST_F(FileDefaultsTest, HeldBackCountsAndSetValues) {
    enum Step { count, setNow, setLater };
    const struct Row {
        const char* what;
        std::vector<std::pair<Step, std::int64_t>> steps;
        std::int64_t read;  // before the flush, and in the file after it
    } rows[] = {
        {"counts only", {{count, 1}, {count, 1}, {count, 3}}, 7 + 5 + 5},
        {"counts, then a value set at once", {{count, 1}, {count, 1}, {setNow, 40}}, 40},
        {"counts, then a value set held back", {{count, 1}, {count, 1}, {setLater, 40}}, 40},
        {"a value held back, then counts", {{setLater, 40}, {count, 2}}, 42},
        {"a value set at once, then counts", {{setNow, 40}, {count, 2}}, 42},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        freshFile("{\"toolCallCount\": 7}");
        FileDefaultsStore store(path, sink, {.coalesceInterval = std::chrono::hours(1)});
        store.addInteger("toolCallCount", 5);  // the first write goes at once; what follows is held back
        for (const auto& [step, value] : row.steps) {
            if (step == count) store.addInteger("toolCallCount", value);
            else store.setInteger("toolCallCount", value, step == setNow ? WriteMode::Immediate : WriteMode::Coalesced);
        }
        EXPECT_EQ(store.integer("toolCallCount"), row.read);
        store.flush();
        EXPECT_EQ(fileJson().find("toolCallCount")->asInt(), row.read);
        EXPECT_EQ(FileDefaultsStore(path, sink).integer("toolCallCount"), row.read);
    }
}

// What may stand at the file's names: a FIFO never blocks (it is set aside
// as a corrupt file is), a link is never written through.
TEST_F(FileDefaultsTest, NothingBlocksAndNoWriteFollowsALink) {
    const mode_t oldMask = ::umask(022);
    const std::string outside = dir.file("outside.json");
    const std::tuple<const char*, std::string, std::string> rows[] = {
        // what, planted at (a link when outside has contents, else a FIFO), outside after
        {"a FIFO as the file", path, ""},
        {"a link as the file", path, "{\"theirs\":1}"},
        {"a link as the lock", path + ".lock", ""}};
    for (const auto& [what, at, after] : rows) {
        SCOPED_TRACE(what);
        std::filesystem::remove_all(dir.file("config"));
        std::filesystem::remove(outside);
        std::filesystem::create_directories(dir.file("config/brisolet"));
        if (std::string(what) != "a FIFO as the file") std::filesystem::create_symlink(outside, at);
        else ASSERT_EQ(::mkfifo(at.c_str(), 0600), 0);
        if (!after.empty()) writeFile(outside, after);
        FileDefaultsStore store(path, sink);
        store.setBool("mine", store.object("mine") == std::nullopt);
        EXPECT_EQ(std::filesystem::exists(outside) ? readFile(outside) : "(none)", after.empty() ? "(none)" : after);
        struct stat info {};
        if (at != path) continue;
        ASSERT_EQ(::lstat(path.c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode) && (info.st_mode & 0777) == 0600);
        EXPECT_EQ(fileJson(), json::parse(after.empty() ? "{\"mine\":true}" : "{\"theirs\":1,\"mine\":true}"));
    }
    ::umask(oldMask);
}

// sed -i as the editor: it reads the file, writes a copy with its edit and
// renames the copy over the file, with no lock.
struct SedEdit {
    std::string file;
    // Runs one edit to its end; true when sed succeeded.
    static bool run(const std::string& file, const std::string& key) {
        const ProgramRun run = runProgram({"sed", "-i", "-e", expression(key), file}, std::chrono::seconds(30));
        return run.started && run.exitCode == 0;
    }
    static std::string expression(const std::string& key) { return "s/^{/{\"" + key + "\": true, /"; }
};

// Editor saves made while stores write: none is undone, no count is lost.
// The careful editor swaps its copy in and puts it back when what it
// replaced is not the file it read; sed -i renames its copy over whatever is
// there. Each save races the write freely, or lands in the instant before
// the write swaps its file in (the write waits there for it).
TEST_F(FileDefaultsTest, AnEditorsSaveDuringAWriteIsKept) {
    enum Editor { careful, sed };
    const struct Row {
        const char* what;
        Editor editor;
        bool inTheSwapWindow;
        int saves, stores;  // two stores stand for two processes
    } rows[] = {
        {"careful editor, free race", careful, false, 1000, 2},
        {"careful editor, in the swap window", careful, true, 100, 2},
        {"sed -i, free race", sed, false, 200, 1},
        {"sed -i, in the swap window", sed, true, 100, 2},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::filesystem::remove_all(dir.file("config"));
        std::mutex mutex;
        std::condition_variable changed;
        bool go = false, saved = false;
        std::atomic<bool> armed{false};
        // Lets the editor save now and waits (bounded) until it has.
        const auto window = [&] {
            if (!row.inTheSwapWindow || !armed.exchange(false)) return;
            std::unique_lock lock(mutex);
            go = true;
            changed.notify_all();
            changed.wait_for(lock, std::chrono::seconds(10), [&] { return saved; });
        };
        std::vector<std::unique_ptr<FileDefaultsStore>> stores;
        for (int i = 0; i < row.stores; ++i)  // each its own lock, like a process of its own
            stores.push_back(std::make_unique<FileDefaultsStore>(path, sink, FileDefaultsStore::Options{.beforeSwap = window}));
        stores[0]->setBool("seed", true);
        const std::string copy = path + ".swp";
        std::atomic<int> failedEdits{0};
        for (int save = 0; save < row.saves; ++save) {
            {
                std::lock_guard lock(mutex);
                go = !row.inTheSwapWindow;
                saved = false;
            }
            armed = true;
            std::thread editor([&] {
                {
                    std::unique_lock lock(mutex);
                    changed.wait_for(lock, std::chrono::seconds(10), [&] { return go; });
                }
                const std::string key = "edit" + std::to_string(save);
                if (row.editor == sed) {
                    if (!SedEdit::run(path, key)) ++failedEdits;
                }
                for (bool done = row.editor == sed; !done;) {
                    const int held = ::open(path.c_str(), O_RDONLY);  // held open: its inode stays its own
                    std::string text(1 << 20, '\0');
                    text.resize(static_cast<std::size_t>(std::max<ssize_t>(0, ::read(held, text.data(), text.size()))));
                    json::Value doc = json::parse(text);
                    doc.asObject().set(key, true);
                    writeFile(copy, json::write(doc));
                    ::renameat2(AT_FDCWD, copy.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE);
                    struct stat read {}, displaced {};
                    done = ::fstat(held, &read) == 0 && ::stat(copy.c_str(), &displaced) == 0 &&
                           displaced.st_ino == read.st_ino;
                    if (!done) ::renameat2(AT_FDCWD, copy.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE);
                    ::unlink(copy.c_str());
                    ::close(held);
                }
                std::lock_guard lock(mutex);
                saved = true;
                changed.notify_all();
            });
            FileDefaultsStore& store = *stores[save % row.stores];
            store.addInteger("toolCallCount", 1);
            store.flush();
            editor.join();
        }
        // Still running, each store reads the file again; a count a save put
        // back is then written again.
        for (auto& store : stores) {
            store->integer("toolCallCount");
            store->flush();
        }
        EXPECT_EQ(failedEdits.load(), 0);
        json::Value doc = fileJson();
        EXPECT_EQ(*doc.find("toolCallCount"), json::Value(row.saves));
        int lost = 0;
        for (int save = 0; save < row.saves; ++save) lost += doc.find("edit" + std::to_string(save)) ? 0 : 1;
        EXPECT_EQ(lost, 0);
    }
}

// An edit made from a copy read before our last write, landing after it,
// puts an older count back (or none). The count on disk is restored and
// never read below what this store wrote; the edit stays.
TEST_F(FileDefaultsTest, ASaveFromAnOlderCopyNeverLowersTheCount) {
    const std::string sed = findExecutable("sed", "/usr/bin:/bin");
    ASSERT_FALSE(sed.empty()) << "sed is needed";
    const struct Row {
        const char* what;
        int before, during, after;  // counts added before sed reads, while it holds its copy, after it saved
        enum { read, readAndWait, flushOnly } then;  // the read alone puts the count back, soon
    } rows[] = {
        {"no count in the copy", 0, 3, 0, Row::read},
        {"an older count in the copy", 2, 3, 0, Row::read},
        {"counted on after the save", 2, 3, 4, Row::read},
        {"only read after the save", 2, 3, 0, Row::readAndWait},
        {"only flushed after the save", 2, 3, 0, Row::flushOnly},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        freshFile("{\"seed\": true}\n");
        FileDefaultsStore store(path, sink, {.coalesceInterval = std::chrono::milliseconds(20)});
        for (int i = 0; i < row.before; ++i) store.addInteger("toolCallCount", 1);
        store.flush();
        // sed pauses once it has read the file, until told to go on.
        const std::string readMark = dir.file("sed-read"), go = dir.file("sed-go");
        std::filesystem::remove(readMark);
        std::filesystem::remove(go);
        const std::string pause = "1e touch " + readMark + "; i=0; while [ ! -e " + go +
                                  " ] && [ $i -lt 3000 ]; do sleep 0.01; i=$((i+1)); done";
        const int pid = spawnProgram(sed, {"sed", "-i", "-e", pause, "-e", SedEdit::expression("hand"), path});
        ASSERT_GT(pid, 0);
        EXPECT_TRUE(testsupport::waitUntil([&] { return std::filesystem::exists(readMark); }));
        for (int i = 0; i < row.during; ++i) store.addInteger("toolCallCount", 1);
        store.flush();
        writeFile(go, "");
        int status = -1;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        const int counted = row.before + row.during;
        if (row.then != Row::flushOnly) {
            EXPECT_EQ(store.integer("toolCallCount"), counted) << "read right after the save";
        }
        if (row.then == Row::readAndWait) {
            EXPECT_TRUE(testsupport::waitUntil([&] {
                const json::Value doc = fileJson();
                const json::Value* v = doc.find("toolCallCount");
                return v && v->asInt() == counted;
            })) << readFile(path);
        }
        for (int i = 0; i < row.after; ++i) store.addInteger("toolCallCount", 1);
        store.flush();
        const json::Value doc = fileJson();
        ASSERT_NE(doc.find("toolCallCount"), nullptr) << readFile(path);
        EXPECT_EQ(doc.find("toolCallCount")->asInt(), counted + row.after);
        EXPECT_NE(doc.find("hand"), nullptr);
        EXPECT_NE(doc.find("seed"), nullptr);
    }
}

// An edit that lands in the instant between our last look at the file and
// our swap is put back and ours made again from it: the edit stays, and the
// count is neither lost nor added twice. An editor saving before every swap
// wins every time; the counts then wait for the next write.
TEST_F(FileDefaultsTest, ASaveLandingAsAWriteSwapsInIsPutBack) {
    const struct Row {
        const char* what;
        int savesBeforeSwaps;  // sed saves made in the instant before a swap
        bool counted;          // the write is a count (else a value set at once)
    } rows[] = {
        {"one save before a count's swap", 1, true},
        {"one save before a set's swap", 1, false},
        {"three saves, each before a swap", 3, true},
        {"a save before every swap", 1000, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        freshFile("{\"seed\": true, \"toolCallCount\": 10}\n");
        std::atomic<int> saves{0}, failed{0};
        std::atomic<bool> editing{false};
        auto reports = std::make_shared<MemoryDiagnosticSink>();
        FileDefaultsStore store(path, reports,
                                {.coalesceInterval = std::chrono::hours(1), .beforeSwap = [&] {
                                     if (!editing || saves >= row.savesBeforeSwaps) return;
                                     if (!SedEdit::run(path, "hand" + std::to_string(saves++))) ++failed;
                                 }});
        store.setBool("mine", false);  // the file as the store last wrote it
        editing = true;
        if (row.counted) {
            for (int i = 0; i < 5; ++i) store.addInteger("toolCallCount", 1);
            store.flush();
        } else {
            store.setBool("mine", true);
        }
        editing = false;
        const bool gaveUp = row.savesBeforeSwaps > 100;
        if (gaveUp) store.flush();  // the counts held back go now
        EXPECT_EQ(failed.load(), 0);
        const json::Value doc = fileJson();
        for (int i = 0; i < saves; ++i) EXPECT_NE(doc.find("hand" + std::to_string(i)), nullptr) << i << readFile(path);
        EXPECT_EQ(doc.find("toolCallCount")->asInt(), row.counted ? 15 : 10);
        EXPECT_EQ(doc.find("mine")->asBool(), !row.counted);
        EXPECT_EQ(store.integer("toolCallCount"), row.counted ? 15 : 10);
        const auto lines = reports->lines();
        // Each write that gives up says so (a busy machine can make one flush
        // give up twice); nothing else is reported.
        EXPECT_EQ(!lines.empty(), gaveUp);
        for (const auto& line : lines) EXPECT_NE(line.find("it kept changing while being merged"), std::string::npos) << line;
    }
}

// The config folder moved away and made again (as sync tools do), or moved
// back, is watched again; the folder the watch makes is private.
TEST_F(FileDefaultsTest, AReplacedConfigFolderIsStillWatched) {
    const mode_t oldMask = ::umask(022);
    FileDefaultsStore store(path, sink);
    std::mutex mutex;
    std::string seen;
    int changes = 0;
    auto watch = store.watchChanges([&] {
        std::lock_guard lock(mutex);
        seen = readFile(path);
        ++changes;
    });
    ::umask(oldMask);
    const std::string folder = dir.file("config/brisolet");
    struct stat info {};
    EXPECT_TRUE(::stat(folder.c_str(), &info) == 0 && (info.st_mode & 0777) == 0700);
    const auto changesSeen = [&] {
        std::lock_guard lock(mutex);
        return changes;
    };
    for (const auto& [round, movedBack] : {std::pair{"1", false}, {"2", false}, {"3", true}}) {
        const std::string away = dir.file(std::string("moved") + round);
        const int before = changesSeen();
        ASSERT_EQ(::rename(folder.c_str(), away.c_str()), 0);
        if (movedBack) {
            // Once the watch has seen it go, so that the return is a change of its own.
            ASSERT_TRUE(testsupport::waitUntil([&] { return changesSeen() > before; }));
            ASSERT_EQ(::rename(away.c_str(), folder.c_str()), 0);
        } else {
            ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
        }
        const std::string text = std::string("{\"round\":") + round + "}";
        writeFile(path, text);
        EXPECT_TRUE(testsupport::waitUntil([&] {
            std::lock_guard lock(mutex);
            return seen == text;
        })) << round;
    }
}

}  // namespace
}  // namespace app::platform
