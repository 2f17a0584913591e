#include "app/platform/defaults_store.hpp"
#include "app/platform/scratch_dir.hpp"
#include "json/json.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <thread>

namespace app::platform {
namespace {
using testsupport::readFile;
using testsupport::ScratchDir;
using testsupport::writeFile;

struct BooleanCase {
    std::optional<DefaultsValue> value;
    bool expected;
};

TEST(DefaultsReadings, BooleanReading) {
    const BooleanCase cases[] = {
        {std::nullopt, false},           {true, true},                      {false, false},
        {std::int64_t{0}, false},        {std::int64_t{-3}, true},          {0.0, false},
        {0.5, true},                     {std::string("yEs"), true},        {std::string("TRUE"), true},
        {std::string("no"), false},      {std::string("-2"), true},         {std::string("+7"), true},
        {std::string("000"), false},     {std::string("-0"), false},        {std::string("1.5"), false},
        {std::string("1x"), false},      {std::string("y"), false},         {std::string(""), false},
        {std::string("99999999999999999999999"), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        EXPECT_EQ(DefaultsStore::booleanReading(c.value), c.expected);
    }
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
}

TEST_F(FileDefaultsTest, ConcurrentWritersNeverLeaveATruncatedFileOrLoseAKey) {
    constexpr int kWriters = 4;
    constexpr int kWrites = 40;
    {
        FileDefaultsStore first(path, sink);
        first.set("seed", true);  // so the reader always finds a file
    }
    std::atomic<bool> done{false};
    std::atomic<int> badReads{0};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        // Bounded: stops when the writers are done or after 100000 reads.
        for (int i = 0; i < 100000 && !done.load(); ++i) {
            std::string text = readFile(path);
            try {
                if (!json::parse(text).isObject()) ++badReads;
            } catch (const std::exception&) {
                ++badReads;
            }
            ++reads;
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
    EXPECT_EQ(badReads.load(), 0) << "of " << reads.load() << " reads";
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
}

TEST_F(FileDefaultsTest, DestructionWritesWhatWasHeldBack) {
    {
        FileDefaultsStore store(path, sink, {.coalesceInterval = std::chrono::hours(1)});
        store.setInteger("toolCallCount", 1, WriteMode::Coalesced);  // first write: at once
        store.setInteger("toolCallCount", 99, WriteMode::Coalesced);  // held back an hour
    }
    EXPECT_EQ(fileJson(), json::Value(json::Object{{"toolCallCount", 99}}));
}

}  // namespace
}  // namespace app::platform
