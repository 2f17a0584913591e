// The program end to end: the brisolet executable on pipes, with a fresh home.
#include "app/platform/scratch_dir.hpp"
#include "app/platform/sqlite.hpp"
#include "json/json.hpp"
#include "support/child_process.hpp"
#include "support/wait.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using testsupport::ChildProcess;
using testsupport::readFile;

namespace {
const std::string kInitialize =
    R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-03-26","capabilities":{},"clientInfo":{"name":"test","version":"1"}}})";
const std::string kInitializeResult =
    R"({"id":1,"jsonrpc":"2.0","result":{"capabilities":{"tools":{"listChanged":true}},"protocolVersion":"2025-03-26","serverInfo":{"name":"Kettleward","version":"1.0.0"}}})";

class Program : public ::testing::Test {
protected:
    void SetUp() override {
        home_ = fs::temp_directory_path() / ("brisolet-hosting-" + std::to_string(getpid()) + "-" +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(home_);
        fs::create_directories(home_ / "bin");
        // A URL opener that records what it was asked to open.
        writeFile(home_ / "bin" / "xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$1\" >> \"$HOME/opened\"\n");
        fs::permissions(home_ / "bin" / "xdg-open", fs::perms::owner_all);
    }
    void TearDown() override { fs::remove_all(home_); }

    // Written the way other programs save it: a new file renamed into place.
    static void writeFile(const fs::path& path, const std::string& text) {
        fs::create_directories(path.parent_path());
        std::ofstream(path.string() + ".editor") << text;
        fs::rename(path.string() + ".editor", path);
    }

    // The child's largest resident size so far, in kB; the sanitizers' own
    // memory makes it meaningless there, so those builds report 0.
    static long peakKb(const ChildProcess& child) {
#if defined(__SANITIZE_ADDRESS__)
        (void)child;
        return 0;
#else
        const std::string status = readFile("/proc/" + std::to_string(child.pid()) + "/status");
        return std::stol(status.substr(status.find("VmHWM:") + 6));
#endif
    }

    void writeDefaults(const std::string& json) { writeFile(home_ / "config" / "brisolet" / "defaults.json", json); }

    std::vector<std::string> environment() const {
        return testsupport::environmentWith({{"HOME", home_.string()},
                                             {"XDG_CONFIG_HOME", (home_ / "config").string()},
                                             {"XDG_DATA_HOME", (home_ / "data").string()},
                                             {"PATH", (home_ / "bin").string() + ":/usr/bin:/bin"}});
    }

    std::unique_ptr<ChildProcess> start() {
        return std::make_unique<ChildProcess>(std::vector<std::string>{BRISOLET_EXECUTABLE}, environment());
    }
    std::unique_ptr<ChildProcess> initialized() {
        auto child = start();
        child->writeLine(kInitialize);
        EXPECT_EQ(child->readLine(), kInitializeResult);
        child->writeLine(R"({"jsonrpc":"2.0","method":"notifications/initialized"})");
        return child;
    }

    // Sends the lines, closes input, and returns every output line; the
    // program must exit with status 0 once it has answered.
    std::vector<std::string> exchange(const std::vector<std::string>& lines) {
        auto child = start();
        for (const auto& line : lines) child->writeLine(line);
        child->closeInput();
        std::vector<std::string> out;
        while (auto line = child->readLine()) out.push_back(*line);
        EXPECT_EQ(child->wait(), 0);
        return out;
    }

    fs::path home_;
};

// Blank lines are skipped and an unterminated last message is still answered.
TEST_F(Program, AnswersTheHandshakeAndTheFixedMethods) {
    auto child = start();
    child->write(kInitialize + "\n  \t\n" + R"({"jsonrpc":"2.0","method":"notifications/initialized"})" "\n"
                 R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})" "\n"
                 R"({"jsonrpc":"2.0","id":3,"method":"resources/list"})" "\n"
                 R"({"jsonrpc":"2.0","id":6,"method":"prompts/get","params":{"name":"any"}})" "\n"
                 R"({"jsonrpc":"2.0","id":7,"method":"ping"})");
    child->closeInput();
    for (const std::string& expected : {
             kInitializeResult,
             std::string(R"({"id":2,"jsonrpc":"2.0","result":{"tools":[]}})"),
             std::string(R"({"id":3,"jsonrpc":"2.0","result":{"resources":[]}})"),
             std::string(R"({"id":6,"jsonrpc":"2.0","result":{"description":"Prompt not found","messages":[]}})"),
             std::string(R"({"id":7,"jsonrpc":"2.0","result":{}})")})
        EXPECT_EQ(child->readLine(), expected);
    EXPECT_EQ(child->readLine(), std::nullopt);
    EXPECT_EQ(child->wait(), 0);
}

TEST_F(Program, ListsAndCallsTheToolsOfASwitchedOnFamily) {
    writeDefaults(R"({"isMailEnabled": true})");
    auto out = exchange({
        kInitialize,
        R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})",
        R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"send_email","arguments":{"recipient":"a@example.org","subject":"Tom & Jerry"}}})",
        R"({"jsonrpc":"2.0","id":5,"method":"tools/call","params":{"name":"no_such_tool","arguments":{}}})",
        R"({"jsonrpc":"2.0","id":6,"method":"tools/call","params":{"name":"send_email"}})",
    });
    ASSERT_EQ(out.size(), 5u);
    // Tool calls may be answered out of order: read the answers by id.
    std::sort(out.begin(), out.end(), [](const std::string& a, const std::string& b) {
        return json::parse(a).find("id")->asInt() < json::parse(b).find("id")->asInt();
    });

    EXPECT_EQ(json::parse(out[1]).find("result")->find("tools")->asArray().size(), 1u);

    EXPECT_EQ(out[2],
              R"({"id":3,"jsonrpc":"2.0","result":{"content":[{"text":"Mail composer opened for a@example.org.","type":"text"}]}})");
    EXPECT_EQ(out[3],
              R"({"id":5,"jsonrpc":"2.0","result":{"content":[{"text":"Error: Tool not found: no_such_tool","type":"text"}],"isError":true}})");
    EXPECT_EQ(out[4],
              R"({"id":6,"jsonrpc":"2.0","result":{"content":[{"text":"Error: Missing recipient","type":"text"}],"isError":true}})");

    // The opener ran in the background; its record appears once it has run.
    EXPECT_TRUE(testsupport::waitUntil([&] { return !readFile(home_ / "opened").empty(); }));
    EXPECT_EQ(readFile(home_ / "opened"), "mailto:a@example.org?subject=Tom%20%26%20Jerry\n");

    // Every call counts, refused or not; the count outlives the process.
    json::Value defaults = json::parse(readFile(home_ / "config" / "brisolet" / "defaults.json"));
    EXPECT_EQ(defaults.find("toolCallCount")->asInt(), 3);
    EXPECT_TRUE(defaults.find("isMailEnabled")->asBool()) << "a key the user wrote survives";
}

// Every family switched on: the answer must stay byte for byte the recorded one.
TEST_F(Program, ListsEveryToolAsRecorded) {
    writeDefaults(R"({"isCalendarEnabled":true,"isRemindersEnabled":true,"isContactsEnabled":true,
        "isMessagesEnabled":true,"isNotesEnabled":true,"isMailEnabled":true,"isMusicEnabled":true,
        "isMapsEnabled":true,"isMacOSEnabled":true,"isVisionEnabled":true})");
    auto out = exchange({kInitialize, R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})"});
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(json::write(*json::parse(out[1]).find("result"), {.pretty = true}) + "\n", readFile(BRISOLET_TOOLS_LIST));
}

// Also the usual client shutdown (input closed while a call runs, then the
// signal), and a start-up that waits on a file.
TEST_F(Program, StopsWithinASecondOnTermination) {
    // Messages go through a phone link that holds the call (ten seconds at most).
    writeDefaults(R"({"isMessagesEnabled": true})");
    writeFile(home_ / "bin" / "kdeconnect-cli", "#!/bin/sh\ntouch \"$HOME/started\"\ni=0\n"
                                               "while [ ! -e \"$HOME/go\" ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done\n"
                                               "rm \"$HOME/started\"\n");
    fs::permissions(home_ / "bin" / "kdeconnect-cli", fs::perms::owner_all);
    // counted: calls answered just before the signal; a clean stop writes their count.
    // batchPending: a batch waits on the held call, input still open.
    enum State { serving, callPending, startingUp, counted, batchPending };
    const std::pair<int, State> rows[] = {{SIGTERM, serving},    {SIGINT, serving},     {SIGHUP, serving},
                                          {SIGTERM, callPending}, {SIGTERM, startingUp}, {SIGTERM, counted},
                                          {SIGHUP, counted},      {SIGTERM, batchPending}, {SIGINT, batchPending}};
    const std::string stopped = R"({"error":{"code":-32603,"data":{"detail":"Cancelled"},"message":"Internal error: Cancelled"},"id":)";
    for (const auto& [signal, state] : rows) {
        SCOPED_TRACE(std::to_string(signal) + " in state " + std::to_string(state));
        const fs::path defaults = home_ / "config" / "brisolet" / "defaults.json";
        if (state == startingUp) {
            ASSERT_TRUE(fs::remove(defaults) && ::mkfifo(defaults.c_str(), 0600) == 0);
        }
        if (state == counted) writeDefaults(R"({"isMessagesEnabled": true, "toolCallCount": 100})");
        auto child = state == startingUp ? start() : initialized();
        constexpr int kCounted = 20;
        if (state == counted) {
            std::string calls;
            for (int i = 1; i <= kCounted; ++i)
                calls += R"({"jsonrpc":"2.0","id":)" + std::to_string(i) + R"(,"method":"tools/call","params":{"name":"no_such_tool"}})" "\n";
            child->write(calls);
            for (int i = 1; i <= kCounted; ++i) EXPECT_TRUE(child->readLine());
        }
        if (state == callPending) {
            child->writeLine(
                R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"send_message","arguments":{"phoneNumber":"+49","message":"hi"}}})");
            EXPECT_TRUE(testsupport::waitUntil([&] { return fs::exists(home_ / "started"); }));
            const fs::path tasks = "/proc/" + std::to_string(child->pid()) + "/task";
            const auto threads = [&] { return std::distance(fs::directory_iterator(tasks), fs::directory_iterator()); };
            const auto reading = threads();
            child->closeInput();
            // The signal comes once the reading has ended, its thread gone.
            EXPECT_TRUE(testsupport::waitUntil([&] { return threads() < reading; }));
        }
        if (state == batchPending) {
            fs::remove(home_ / "started");  // an earlier row's phone link may still be running
            child->writeLine(
                R"([{"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"send_message","arguments":{"phoneNumber":"+49","message":"hi"}}},)"
                R"({"jsonrpc":"2.0","id":3,"method":"ping"}])");
            EXPECT_TRUE(testsupport::waitUntil([&] { return fs::exists(home_ / "started"); }));
        }
        // Blocked opening the file, or (where such a file is refused) serving.
        const std::string wchan = "/proc/" + std::to_string(child->pid()) + "/wchan";
        if (state == startingUp) {
            EXPECT_TRUE(testsupport::waitUntil([&] {
                return readFile(wchan) == "wait_for_partner" || readFile(wchan).rfind("futex", 0) == 0;
            }));
        }
        ::kill(child->pid(), signal);
        // The call that ignores its stop is answered as stopped before the exit.
        if (state == callPending) {
            EXPECT_EQ(child->readLine(std::chrono::milliseconds(1500)), stopped + R"(2,"jsonrpc":"2.0"})");
        }
        if (state == batchPending) {
            EXPECT_EQ(child->readLine(std::chrono::milliseconds(1500)),
                      "[" + stopped + R"(2,"jsonrpc":"2.0"},{"id":3,"jsonrpc":"2.0","result":{}}])");
        }
        EXPECT_EQ(child->wait(std::chrono::milliseconds(1500)), 128 + signal);
        if (state == counted) {
            EXPECT_EQ(json::parse(readFile(defaults)).find("toolCallCount")->asInt(), 100 + kCounted);
        }
    }
    writeFile(home_ / "go", "");  // the phone link left behind ends too
    EXPECT_TRUE(testsupport::waitUntil([&] { return !fs::exists(home_ / "started"); }));
}

// A signal while the loop works through a long batch: what the loop uses,
// the registry first, must outlive it, so the exit waits for it. Each call counts into the
// file at once when the counter is idle, so the first count written tells that
// the loop has begun the items; the signals come at several moments after.
TEST_F(Program, ASignalDuringALongBatchEndsWithNothingUsedAfterItIsGone) {
    writeDefaults("{}");
    std::string batch = "[";
    for (int i = 0; i < 38000; ++i) {
        batch += (i ? "," : "") + std::string(R"({"jsonrpc":"2.0","id":)") + std::to_string(i + 2) +
                 R"(,"method":"tools/call","params":{"name":"no_such_tool","arguments":{}}})";
    }
    batch += "]\n";
    const fs::path defaults = home_ / "config" / "brisolet" / "defaults.json";
    const auto counted = [&] { return json::parse(readFile(defaults)).find("toolCallCount") != nullptr; };
    for (int signal : {SIGTERM, SIGINT}) {
        for (const int after : {0, 100, 200, 300}) {
            SCOPED_TRACE(std::to_string(signal) + " " + std::to_string(after) + " ms into the items");
            writeDefaults("{}");
            auto child = initialized();
            child->write(batch);
            ASSERT_TRUE(testsupport::waitUntil(counted, std::chrono::seconds(60)));
            std::this_thread::sleep_for(std::chrono::milliseconds(after));
            ::kill(child->pid(), signal);
            // The array may or may not leave before the output closes.
            while (child->readLine(std::chrono::seconds(5))) {
            }
            EXPECT_EQ(child->wait(std::chrono::milliseconds(1500)), 128 + signal);
        }
    }
}

// A time zone whose rule fires every second made get_events run without
// end and eat memory while every later calendar call waited: it is refused,
// the other events are answered, and other families are answered while a
// heavy calendar call runs.
TEST_F(Program, HostileCalendarFilesNeitherHangNorHoldOtherFamilies) {
    writeDefaults(R"({"isCalendarEnabled": true, "isRemindersEnabled": true})");
    const fs::path work = home_ / "data" / "brisolet" / "calendars" / "work";
    writeFile(work / "zone.ics",
              "BEGIN:VCALENDAR\nVERSION:2.0\nPRODID:-//x//x//EN\nBEGIN:VTIMEZONE\nTZID:Storm\nBEGIN:STANDARD\n"
              "DTSTART:16010101T000000\nTZOFFSETFROM:+0100\nTZOFFSETTO:+0000\nRRULE:FREQ=SECONDLY\nEND:STANDARD\n"
              "END:VTIMEZONE\nBEGIN:VEVENT\nUID:storm-zone\nDTSTAMP:20260101T000000Z\n"
              "DTSTART;TZID=Storm:20250310T090000\nDTEND;TZID=Storm:20250310T100000\nSUMMARY:In a storm zone\n"
              "END:VEVENT\nEND:VCALENDAR\n");
    writeFile(work / "plain.ics", "BEGIN:VCALENDAR\nBEGIN:VEVENT\nUID:plain\nSUMMARY:Plain\n"
                                  "DTSTART:20250310T000000Z\nEND:VEVENT\nEND:VCALENDAR\n");
    // Series that keep the call busy for a while.
    for (int i = 0; i < 40; ++i)
        writeFile(work / ("storm" + std::to_string(i) + ".ics"),
                  "BEGIN:VCALENDAR\nBEGIN:VEVENT\nUID:s" + std::to_string(i) +
                      "\nSUMMARY:Storm\nDTSTART:20200101T000000Z\nRRULE:FREQ=SECONDLY\nEND:VEVENT\nEND:VCALENDAR\n");
    auto child = initialized();
    child->writeLine(R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"get_events","arguments":{"fromDate":"2025-03-10T00:00:00Z","toDate":"2025-03-20T00:00:00Z","limit":3}}})");
    child->writeLine(R"({"jsonrpc":"2.0","id":3,"method":"ping"})");
    child->closeInput();
    std::vector<int> order;
    std::string events;
    while (auto line = child->readLine(std::chrono::seconds(30))) {
        const auto message = json::parse(*line);
        order.push_back(static_cast<int>(message.find("id")->asInt()));
        if (order.back() == 2) events = json::write(*message.find("result"));
    }
    EXPECT_EQ(order, (std::vector<int>{3, 2}));
    EXPECT_NE(events.find("Plain"), std::string::npos) << events;
    EXPECT_NE(events.find("Storm"), std::string::npos) << events;
    EXPECT_EQ(events.find("storm zone"), std::string::npos) << events;
    EXPECT_EQ(events.find("isError"), std::string::npos) << events;
    EXPECT_EQ(child->wait(), 0);
}

// A batch whose call waits on a phone link (ten seconds at most) holds no
// other answer: a ping written before it and one after, and another
// family's call, are answered at once; the batch's array leaves whole, in
// its items' order, when the call ends.
TEST_F(Program, ABatchWithASlowCallHoldsNoOtherAnswer) {
    writeDefaults(R"({"isMessagesEnabled": true, "isNotesEnabled": true})");
    writeFile(home_ / "bin" / "kdeconnect-cli", "#!/bin/sh\ni=0\n"
                                               "while [ ! -e \"$HOME/go\" ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done\n");
    fs::permissions(home_ / "bin" / "kdeconnect-cli", fs::perms::owner_all);
    auto child = initialized();
    child->write(R"({"jsonrpc":"2.0","id":2,"method":"ping"})" "\n"
                 R"([{"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"send_message","arguments":{"phoneNumber":"+49","message":"hi"}}},)"
                 R"({"jsonrpc":"2.0","id":4,"method":"ping"}])" "\n"
                 R"({"jsonrpc":"2.0","id":5,"method":"ping"})" "\n"
                 R"({"jsonrpc":"2.0","id":6,"method":"tools/call","params":{"name":"list_notes","arguments":{}}})" "\n");
    std::vector<std::int64_t> first;
    while (first.size() < 3) {
        const auto line = child->readLine(std::chrono::seconds(30));
        ASSERT_TRUE(line);
        const json::Value answer = json::parse(*line);
        ASSERT_TRUE(answer.isObject()) << "the batch came first: " << *line;
        first.push_back(answer.find("id")->asInt());
    }
    std::sort(first.begin(), first.end());
    EXPECT_EQ(first, (std::vector<std::int64_t>{2, 5, 6}));
    writeFile(home_ / "go", "");
    const auto batch = child->readLine(std::chrono::seconds(30));
    ASSERT_TRUE(batch);
    const json::Value answers = json::parse(*batch);
    ASSERT_TRUE(answers.isArray() && answers.asArray().size() == 2u) << *batch;
    EXPECT_EQ(answers.asArray()[0].find("id")->asInt(), 3);
    EXPECT_NE(answers.asArray()[0].find("result"), nullptr) << *batch;
    EXPECT_EQ(json::write(answers.asArray()[1]), R"({"id":4,"jsonrpc":"2.0","result":{}})");
    child->closeInput();
    EXPECT_EQ(child->readLine(), std::nullopt);
    EXPECT_EQ(child->wait(), 0);
}

// Input ends while a batch waits on a phone link that ignores its stop
// (its call queued behind one that the link holds for ten seconds), and a
// single call waits behind it: once the grace has passed, the array leaves
// before the exit, with what came and the held call answered as stopped, in
// its items' order, and so does the single call's answer.
TEST_F(Program, CallsLeftAtTheEndOfInputAreAnsweredAsStoppedBeforeTheExit) {
    writeDefaults(R"({"isMessagesEnabled": true, "isNotesEnabled": true})");
    writeFile(home_ / "bin" / "kdeconnect-cli", "#!/bin/sh\ntouch \"$HOME/started\"\ni=0\n"
                                               "while [ ! -e \"$HOME/go\" ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i+1)); done\n");
    fs::permissions(home_ / "bin" / "kdeconnect-cli", fs::perms::owner_all);
    const std::string send =
        R"("method":"tools/call","params":{"name":"send_message","arguments":{"phoneNumber":"+49","message":"hi"}}})";
    auto child = initialized();
    child->write(R"({"jsonrpc":"2.0","id":2,)" + send + "\n" +
                 R"([{"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"create_note","arguments":{"title":"Kept","content":"x"}}},)"
                 R"({"jsonrpc":"2.0","id":4,)" + send + "," +
                 R"({"jsonrpc":"2.0","id":5,"method":"ping"},)"
                 R"({"jsonrpc":"2.0","id":6,"method":"tools/call","params":{"name":"list_notes","arguments":{}}}])" "\n"
                 R"({"jsonrpc":"2.0","id":7,)" + send + "\n");
    ASSERT_TRUE(testsupport::waitUntil([&] { return fs::exists(home_ / "started"); }));
    child->closeInput();
    std::vector<std::string> out;
    while (auto line = child->readLine(std::chrono::seconds(30))) out.push_back(*line);
    EXPECT_EQ(child->wait(std::chrono::seconds(5)), 0);
    writeFile(home_ / "go", "");  // the phone link left behind ends too

    const auto stopped = [](int id) {
        return R"({"error":{"code":-32603,"data":{"detail":"Cancelled"},"message":"Internal error: Cancelled"},"id":)" +
               std::to_string(id) + R"(,"jsonrpc":"2.0"})";
    };
    // The first call ends by the link's own bound, or stopped: answered either way.
    ASSERT_EQ(out.size(), 3u) << ::testing::PrintToString(out);
    EXPECT_EQ(std::count(out.begin(), out.end(), stopped(7)), 1) << ::testing::PrintToString(out);
    EXPECT_EQ(std::count_if(out.begin(), out.end(), [](const std::string& line) { return line.find(R"("id":2,)") != std::string::npos; }), 1);
    const auto batch = std::find_if(out.begin(), out.end(), [](const std::string& line) { return line[0] == '['; });
    ASSERT_NE(batch, out.end());
    const json::Array items = json::parse(*batch).asArray();
    ASSERT_EQ(items.size(), 4u) << *batch;
    EXPECT_EQ(items[0].find("id")->asInt(), 3);
    EXPECT_EQ(items[0].find("result")->find("isError"), nullptr) << "the note was made: " << *batch;
    EXPECT_EQ(json::write(items[1]), stopped(4));
    EXPECT_EQ(json::write(items[2]), R"({"id":5,"jsonrpc":"2.0","result":{}})");
    EXPECT_NE(json::write(items[3]).find("Kept"), std::string::npos) << *batch;
}

// A date the calendar files cannot hold is an error answer and leaves no
// file; so is a text that a calendar file or a note's name would hold cut at
// a NUL or altered, and a message quotes a name given whole.
TEST_F(Program, DatesTheCalendarFilesCannotHoldAreErrorsAndLeaveNoFile) {
    writeDefaults(R"({"isCalendarEnabled": true, "isRemindersEnabled": true, "isNotesEnabled": true})");
    auto out = exchange({
        kInitialize,
        R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"reminders_add","arguments":{"title":"far","dueDate":"9999-12-31T23:59:59Z"}}})",
        R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"create_event","arguments":{"title":"far","startDate":"9999-06-01T09:00:00Z","endDate":"9999-06-01T10:00:00Z"}}})",
        R"({"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"reminders_add","arguments":{"title":"near","dueDate":"3000-06-01T09:00:00Z"}}})",
        R"({"jsonrpc":"2.0","id":5,"method":"tools/call","params":{"name":"create_event","arguments":{"title":"Meet at 5\u0000 and bring the keys","startDate":"2026-06-01T09:00:00Z","endDate":"2026-06-01T10:00:00Z"}}})",
        R"({"jsonrpc":"2.0","id":6,"method":"tools/call","params":{"name":"reminders_add","arguments":{"title":"keys","notes":"by 5\u0000 or else"}}})",
        R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"create_event","arguments":{"title":"CR\rinside","startDate":"2026-06-01T09:00:00Z","endDate":"2026-06-01T10:00:00Z"}}})",
        R"({"jsonrpc":"2.0","id":8,"method":"tools/call","params":{"name":"create_event","arguments":{"title":"T","notes":"a\u0001b\u007fc","startDate":"2026-06-01T09:00:00Z","endDate":"2026-06-01T10:00:00Z"}}})",
        R"({"jsonrpc":"2.0","id":9,"method":"tools/call","params":{"name":"reminders_add","arguments":{"title":"T","listName":"L\u0000x"}}})",
        R"({"jsonrpc":"2.0","id":10,"method":"tools/call","params":{"name":"create_note","arguments":{"title":"N\u0000x","content":"c"}}})",
    });
    ASSERT_EQ(out.size(), 10u);
    std::map<std::int64_t, std::string> answers;
    for (const auto& line : out) {
        const auto message = json::parse(line);
        answers[message.find("id")->asInt()] = json::write(*message.find("result"));
    }
    for (std::int64_t id : {2, 3}) {
        EXPECT_NE(answers[id].find("\"isError\":true"), std::string::npos) << answers[id];
        EXPECT_NE(answers[id].find("outside the years 1 to 3000"), std::string::npos) << answers[id];
    }
    EXPECT_NE(answers[4].find("Created reminder: near"), std::string::npos) << answers[4];
    for (std::int64_t id : {5, 6}) {
        EXPECT_NE(answers[id].find("\"isError\":true"), std::string::npos) << answers[id];
        EXPECT_NE(answers[id].find("holds a NUL character"), std::string::npos) << answers[id];
    }
    const std::pair<std::int64_t, std::string> refused[] = {
        {7, R"(save event: the title holds a carriage return (\\r) without a line feed after it, which calendar files cannot hold)"},
        {8, R"(save event: the notes holds the control character \\u0001, which calendar files cannot hold)"},
        {9, R"(Failed to create reminder: Reminder list 'L\\u0000x' not found)"},
        {10, R"(Can’t write note 'N\\u0000x': the title holds a NUL character)"}};
    for (const auto& [id, text] : refused) {
        EXPECT_NE(answers[id].find("\"isError\":true"), std::string::npos) << answers[id];
        EXPECT_NE(answers[id].find(text), std::string::npos) << answers[id];
    }
    std::error_code none;
    for (const auto& entry : fs::recursive_directory_iterator(home_ / "data" / "brisolet" / "notes", none))
        EXPECT_NE(entry.path().extension(), ".md") << entry.path();
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(home_ / "data" / "brisolet" / "calendars"))
        if (entry.path().extension() == ".ics") files.push_back(readFile(entry.path()));
    ASSERT_EQ(files.size(), 1u);
    EXPECT_NE(files[0].find("DUE:30000601T"), std::string::npos) << files[0];
}

TEST_F(Program, EndsOnceWhenItsAnswersCannotBeWritten) {
    writeDefaults(R"({"isMailEnabled": true})");
    // $0 the program, $1 its standard error, $2 its exit status
    for (const char* script : {R"("$0" >/dev/full 2>"$1"; echo $? >"$2")",
                               R"({ sleep 0.3; "$0" 2>"$1"; echo $? >"$2"; } | true)"}) {
        SCOPED_TRACE(script);
        const std::string stderrPath = (home_ / "stderr").string(), statusPath = (home_ / "status").string();
        ChildProcess child({"/bin/sh", "-c", script, BRISOLET_EXECUTABLE, stderrPath, statusPath}, environment());
        // Input stays open: the program must stop reading and end by itself.
        child.writeLine(kInitialize);
        EXPECT_EQ(child.wait(), 0) << "the shell";
        const std::string status = readFile(statusPath), errors = readFile(stderrPath);
        EXPECT_NE(status, "0\n");
        EXPECT_NE(status, "");
        const auto said = std::count(errors.begin(), errors.end(), '\n');
        EXPECT_EQ(said, 1) << errors;
        EXPECT_NE(errors.find("standard output"), std::string::npos) << errors;
    }
}

TEST_F(Program, ACorruptDefaultsFileIsNotFatal) {
    writeDefaults("{ this is not json");
    auto out = exchange({kInitialize, R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})"});
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1], R"({"id":2,"jsonrpc":"2.0","result":{"tools":[]}})");
}

// A settings file that cannot be read starts the program with every family
// off, and says why on standard error.
TEST_F(Program, AnUnreadableDefaultsFileIsReported) {
    const fs::path defaults = home_ / "config" / "brisolet" / "defaults.json";
    fs::create_directories(defaults.parent_path());
    fs::create_symlink("loop", defaults);
    fs::create_symlink("defaults.json", defaults.parent_path() / "loop");
    const std::string errorsPath = (home_ / "stderr").string();
    ChildProcess child({"/bin/sh", "-c", R"(exec "$0" 2>"$1")", BRISOLET_EXECUTABLE, errorsPath}, environment());
    child.writeLine(kInitialize);
    child.writeLine(R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})");
    child.closeInput();
    EXPECT_EQ(child.readLine(), kInitializeResult);
    EXPECT_EQ(child.readLine(), R"({"id":2,"jsonrpc":"2.0","result":{"tools":[]}})");
    EXPECT_EQ(child.wait(), 0);
    const std::string errors = readFile(errorsPath);
    EXPECT_NE(errors.find("Defaults: cannot read " + defaults.string() + ": Too many levels of symbolic links\n"),
              std::string::npos) << errors;
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
}

// Peak resident memory of the largest child waited for so far, in bytes.
long peakChildMemory() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_maxrss * 1024L;
}

TEST_F(Program, MemoryStaysBoundedUnderAnOverlongLineAndAFloodOfPings) {
    exchange({kInitialize});
    const long idle = peakChildMemory();

    auto child = start();
    // The address sanitizer keeps freed memory in quarantine and runs ten
    // times slower: there the flood is smaller and memory is not judged.
#if defined(__SANITIZE_ADDRESS__)
    constexpr bool kJudgeMemory = false;
    constexpr int kPings = 100'000;
#else
    constexpr bool kJudgeMemory = true;
    constexpr int kPings = 1'000'000;
#endif
    std::thread writer([&] {
        child->writeLine(kInitialize);
        const std::string block(1 << 20, 'x');
        for (int i = 0; i < 100; ++i) child->write(block);
        child->write("\n");
        std::string pings;
        for (int i = 0; i < kPings; ++i) {
            pings += R"({"jsonrpc":"2.0","id":1,"method":"ping"})" "\n";
            if (pings.size() > (1 << 16)) child->write(std::exchange(pings, std::string()));
        }
        child->write(pings);
        child->closeInput();
    });
    EXPECT_EQ(child->readLine(), kInitializeResult);
    EXPECT_EQ(child->readLine(),
              R"({"error":{"code":-32600,"data":{"detail":"Message too large"},"message":"Invalid Request: Message too large"},"id":null,"jsonrpc":"2.0"})");
    int pongs = 0;
    while (auto line = child->readLine(std::chrono::seconds(60))) {
        if (*line != R"({"id":1,"jsonrpc":"2.0","result":{}})") break;
        ++pongs;
    }
    writer.join();
    EXPECT_EQ(pongs, kPings);
    EXPECT_EQ(child->wait(), 0);
    // The refused line is held up to the limit, never whole; the queue is bounded.
    if (kJudgeMemory) {
        EXPECT_LT(peakChildMemory() - idle, 64L * 1024 * 1024 + 8L * 1024 * 1024);
    }
}

// Whatever one message under the line limit holds, reading it stays within
// a budget: many small values are refused like an over-long line.
TEST_F(Program, MemoryStaysBoundedWhateverOneMessageHolds) {
    // A ping's params of 63 MiB: an array of small values, or a long text.
    const std::pair<std::string, std::size_t> rows[] = {{"0,", 0},  {"{},", 0}, {"\"\",", 0}, {"{\"k\":1},", 0},
                                                        {"", 15u << 20}, {"", 40u << 20}};
    for (const auto& [unit, textSize] : rows) {
        SCOPED_TRACE(unit + std::to_string(textSize));
        auto child = start();  // first: a spawned child's peak counts what this process held then
        std::string params = unit.empty() ? "\"" + std::string(textSize, 'a') + "\"" : "[";
        while (params.size() < (63u << 20)) params += unit.empty() ? " " : unit;
        std::thread writer([&] {
            child->writeLine(kInitialize);
            child->writeLine(R"({"jsonrpc":"2.0","id":5,"method":"ping","params":{"x":)" + params + (unit.empty() ? "}}" : "0]}}"));
            child->writeLine(R"({"jsonrpc":"2.0","id":6,"method":"ping"})");
        });
        EXPECT_EQ(child->readLine(), kInitializeResult);
        EXPECT_EQ(child->readLine(std::chrono::seconds(60)),
                  textSize == (15u << 20)
                      ? R"({"id":5,"jsonrpc":"2.0","result":{}})"
                      : R"({"error":{"code":-32600,"data":{"detail":"Message too large"},"message":"Invalid Request: Message too large"},"id":5,"jsonrpc":"2.0"})");
        EXPECT_EQ(child->readLine(std::chrono::seconds(60)), R"({"id":6,"jsonrpc":"2.0","result":{}})");
        writer.join();
        EXPECT_LT(peakKb(*child), 256L * 1024) << "kB at the peak";
        child->closeInput();
        EXPECT_EQ(child->wait(std::chrono::seconds(60)), 0);
    }
}

// A message refused as too large, or as not JSON, is answered under the id
// it begins with, so the client stops waiting for it: over the read budget
// (a 20 MiB text) or over the line limit (65 MiB). Too large without a
// readable id first, under null.
TEST_F(Program, AMessageRefusedAsTooLargeIsAnsweredUnderItsId) {
    const std::string tooLarge = R"({"code":-32600,"data":{"detail":"Message too large"},"message":"Invalid Request: Message too large"})";
    const std::string call = R"(,"method":"tools/call","params":{"name":"send_email","arguments":{"recipient":")";
    const std::string notJson = R"({"code":-32700,"data":{"detail":"Invalid message format"},"message":"Parse error: Invalid JSON: Invalid message format"})";
    const std::tuple<std::string, std::string, std::string> rows[] = {
        {R"({"jsonrpc":"2.0","id":21)" + call + std::string(20u << 20, 'a') + R"("}}})", tooLarge, "21"},
        {R"({"jsonrpc":"2.0","id":"big/22")" + call + std::string(65u << 20, 'a') + R"("}}})", tooLarge, R"("big/22")"},
        {R"({"jsonrpc":"2.0")" + call + std::string(65u << 20, 'a') + R"("}},"id":23})", tooLarge, "null"},
        // A lone surrogate: not JSON, yet its id reads.
        {R"({"jsonrpc":"2.0","id":"s1")" + call + R"(a\ud800b"}}})", notJson, R"("s1")"},
    };
    auto child = initialized();
    for (const auto& [line, error, id] : rows) {
        std::thread writer([&, &line = line] { child->writeLine(line); });
        EXPECT_EQ(child->readLine(std::chrono::seconds(60)), R"({"error":)" + error + R"(,"id":)" + id + R"(,"jsonrpc":"2.0"})");
        writer.join();
    }
    child->writeLine(R"({"jsonrpc":"2.0","id":24,"method":"ping"})");
    EXPECT_EQ(child->readLine(), R"({"id":24,"jsonrpc":"2.0","result":{}})");
    child->closeInput();
    EXPECT_EQ(child->wait(std::chrono::seconds(60)), 0);
}

// A 12 KB chat.db whose message text is computed, 50 MB a row, is refused at
// once and in little memory; the other families are answered meanwhile.
TEST_F(Program, AComputedMessageTextIsRefusedWhileOthersAreAnswered) {
    writeDefaults(R"({"isMessagesEnabled": true, "isMapsEnabled": true})");
    fs::create_directories(home_ / "Library" / "Messages");
    app::platform::SqliteConnection(
        (home_ / "Library" / "Messages" / "chat.db").string(), app::platform::SqliteOpenMode::ReadWriteCreate)
        .exec("CREATE TABLE handle(ROWID INTEGER PRIMARY KEY, id TEXT);"
              "CREATE TABLE message(ROWID INTEGER PRIMARY KEY, attributedBody BLOB, date INTEGER, handle_id INTEGER, "
              "is_from_me INTEGER DEFAULT 0, is_read INTEGER DEFAULT 0, cache_has_attachments INTEGER DEFAULT 0, "
              "item_type INTEGER DEFAULT 0, text GENERATED ALWAYS AS (hex(zeroblob(25000000))) VIRTUAL);"
              "INSERT INTO handle VALUES (1, '+12025550100');"
              "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20) "
              "INSERT INTO message(date, handle_id) SELECT i, 1 FROM n;");
    auto child = initialized();
    child->write(
        R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"read_messages","arguments":{"phoneNumber":"+12025550100"}}})" "\n"
        R"({"jsonrpc":"2.0","id":3,"method":"ping"})" "\n"
        R"({"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"search_locations","arguments":{"query":"Paris"}}})" "\n");
    std::map<std::int64_t, std::string> answers;
    while (answers.size() < 3) {
        const auto line = child->readLine(std::chrono::seconds(20));
        ASSERT_TRUE(line);
        answers[json::parse(*line).find("id")->asInt()] = *line;
    }
    EXPECT_EQ(answers[2], R"({"id":2,"jsonrpc":"2.0","result":{"content":[{"text":"Error: Query prepare failed: message.text is a generated column","type":"text"}],"isError":true}})");
    EXPECT_EQ(answers[3], R"({"id":3,"jsonrpc":"2.0","result":{}})");
    EXPECT_EQ(answers[4].find("isError"), std::string::npos) << answers[4];
    EXPECT_NE(answers[4].find("Paris"), std::string::npos) << answers[4];
    EXPECT_LT(peakKb(*child), 256L * 1024) << "kB at the peak";
    child->closeInput();
    EXPECT_EQ(child->wait(), 0);
}

// A card file of 60 MB of newlines is read in a small multiple of its size,
// and the card beside it is listed.
TEST_F(Program, AFileOfBlankLinesCostsASmallMultipleOfItsSize) {
    writeDefaults(R"({"isContactsEnabled": true})");
    const fs::path book = home_ / "data" / "brisolet" / "contacts";
    writeFile(book / "a.vcf", "BEGIN:VCARD\nN:Lovelace;Ada\nTEL:+12025550100\nEND:VCARD\n");
    writeFile(book / "blank.vcf", std::string(60u << 20, '\n'));
    auto child = initialized();
    child->writeLine(R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"find_phone_number","arguments":{"name":"Ada"}}})");
    const auto answer = child->readLine(std::chrono::seconds(60));
    ASSERT_TRUE(answer);
    EXPECT_NE(answer->find("+12025550100"), std::string::npos) << *answer;
    EXPECT_LT(peakKb(*child), 256L * 1024) << "kB at the peak";
    child->closeInput();
    EXPECT_EQ(child->wait(), 0);
}

// 1,100 calls of one family, held by a locked chat.db (each waits a second
// for the lock): that family refuses what passes its bound at once, and the
// program goes on reading and answering the others, a ping included.
TEST_F(Program, OneFamilysFloodNeitherStopsTheReadingNorTheOtherFamilies) {
    writeDefaults(R"({"isMessagesEnabled": true, "isMapsEnabled": true})");
    fs::create_directories(home_ / "Library" / "Messages");
    app::platform::SqliteConnection lock((home_ / "Library" / "Messages" / "chat.db").string(),
                                         app::platform::SqliteOpenMode::ReadWriteCreate);
    lock.exec("CREATE TABLE handle(ROWID INTEGER PRIMARY KEY, id TEXT);"
              "CREATE TABLE message(ROWID INTEGER PRIMARY KEY, text TEXT, attributedBody BLOB, date INTEGER, "
              "handle_id INTEGER, is_from_me INTEGER, is_read INTEGER, cache_has_attachments INTEGER, item_type INTEGER);"
              "BEGIN EXCLUSIVE; INSERT INTO handle VALUES (1, '+12025550100');");
    auto child = initialized();
    constexpr int kFlood = 1100;
    std::thread writer([&] {
        std::string flood;
        for (int i = 0; i < kFlood; ++i)
            flood += R"({"jsonrpc":"2.0","id":)" + std::to_string(1000 + i) +
                     R"(,"method":"tools/call","params":{"name":"get_unread_messages","arguments":{}}})" "\n";
        child->write(flood);
        child->write(R"({"jsonrpc":"2.0","id":3,"method":"ping"})" "\n"
                     R"({"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"search_locations","arguments":{"query":"Paris"}}})" "\n");
    });
    const auto started = std::chrono::steady_clock::now();
    int busy = 0, answered = 0, others = 0;
    const auto isBusy = [](const std::string& line) {
        return line.find("Error: Messages tool is busy") != std::string::npos;
    };
    std::chrono::steady_clock::duration othersAnswered{};
    while (others < 2) {
        const auto line = child->readLine(std::chrono::seconds(20));
        ASSERT_TRUE(line) << busy << " refused before the end";
        const json::Value answer = json::parse(*line);
        const std::int64_t id = answer.find("id")->asInt();
        if (id >= 1000) {
            ++(isBusy(*line) ? busy : answered);
        } else {
            EXPECT_TRUE(id == 3 || (id == 4 && line->find("Paris") != std::string::npos)) << *line;
            ++others;
        }
    }
    othersAnswered = std::chrono::steady_clock::now() - started;
    writer.join();
    // Well before the 256 calls taken could have waited for the lock.
    EXPECT_LT(othersAnswered, std::chrono::seconds(20));
    EXPECT_GT(busy, 0) << "refused at once, while the lock is held";
    lock.exec("COMMIT;");
    while (busy + answered < kFlood) {
        const auto line = child->readLine(std::chrono::seconds(30));
        ASSERT_TRUE(line);
        ++(isBusy(*line) ? busy : answered);
    }
    // A held call may give up on the lock meanwhile and let another in; most
    // of the flood is refused all the same.
    EXPECT_GE(busy, kFlood / 2);
    EXPECT_LE(answered, kFlood / 2);
    child->closeInput();
    EXPECT_EQ(child->wait(std::chrono::seconds(30)), 0);
}

// Calls waiting behind a held one count at their size in memory, read or
// not: 255 calls whose 64 KB of arguments are small values (tens of times
// their text once read) pass the family's bound, and the rest are refused
// at once rather than held.
TEST_F(Program, CallsWaitingOnAFamilyStayWithinItsBoundInMemory) {
    writeDefaults(R"({"isMessagesEnabled": true})");
    // The phone link holds the first call until released (ten seconds at most).
    writeFile(home_ / "bin" / "kdeconnect-cli",
              "#!/bin/sh\n[ -e \"$HOME/held\" ] && exit 0\ntouch \"$HOME/held\"\ni=0\n"
              "while [ ! -e \"$HOME/go\" ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done\n");
    fs::permissions(home_ / "bin" / "kdeconnect-cli", fs::perms::owner_all);
    auto child = initialized();
    constexpr int kCalls = 256;
    std::string pad = "0";
    while (pad.size() < (64u << 10) - 100) pad += ",0";
    std::thread writer([&] {
        for (int i = 0; i < kCalls; ++i)
            child->writeLine(R"({"jsonrpc":"2.0","id":)" + std::to_string(1000 + i) +
                             R"(,"method":"tools/call","params":{"name":"send_message","arguments":{"phoneNumber":"+49","message":"hi","pad":[)" +
                             pad + "]}}}");
        child->writeLine(R"({"jsonrpc":"2.0","id":"p","method":"ping"})");
    });
    int busy = 0, answered = 0;
    const auto count = [&](const std::string& line) {
        ++(line.find("Error: Messages tool is busy") != std::string::npos ? busy : answered);
    };
    // The calls are all read once the ping is answered.
    for (;;) {
        const auto line = child->readLine(std::chrono::seconds(30));
        ASSERT_TRUE(line);
        if (*line == R"({"id":"p","jsonrpc":"2.0","result":{}})") break;
        count(*line);
    }
    writer.join();
    EXPECT_LT(peakKb(*child), 128L * 1024) << "kB at the peak";
    EXPECT_GT(busy, 0);
    writeFile(home_ / "go", "");
    while (busy + answered < kCalls) {
        const auto line = child->readLine(std::chrono::seconds(30));
        ASSERT_TRUE(line);
        count(*line);
    }
    EXPECT_GE(answered, 2) << "the held call and one behind it at least";
    child->closeInput();
    EXPECT_EQ(child->wait(std::chrono::seconds(30)), 0);
}

TEST_F(Program, ClosedStandardDescriptorsReadAsEmptyInputAndDiscardedOutput) {
    const std::pair<const char*, const char*> cases[] = {
        {"input closed", R"("$0" <&- >"$1")"},
        {"output closed", R"(printf '%s\n' "$2" | "$0" >&-)"},
        {"both closed", R"("$0" <&- >&-)"},
    };
    const std::string outputPath = (home_ / "output").string();
    for (const auto& [name, script] : cases) {
        SCOPED_TRACE(name);
        fs::remove(outputPath);
        ChildProcess child({"/bin/sh", "-c", script, BRISOLET_EXECUTABLE, outputPath, kInitialize}, environment());
        child.closeInput();
        EXPECT_EQ(child.wait(), 0) << "the program must end at the end of its (empty) input";
        EXPECT_EQ(readFile(outputPath), "");
    }
}

// Each process adds its own calls to the count on disk.
TEST_F(Program, FourProcessesLeaveTheExactCallCount) {
    constexpr int kProcesses = 4, kCalls = 150;
    writeDefaults(R"({"toolCallCount": 1000})");
    std::vector<std::thread> clients;
    std::vector<int> answered(kProcesses, 0), statuses(kProcesses, -1);
    for (int p = 0; p < kProcesses; ++p) {
        clients.emplace_back([&, p] {
            auto child = initialized();
            for (int i = 1; i <= kCalls; ++i)
                child->writeLine(R"({"jsonrpc":"2.0","id":)" + std::to_string(i) +
                                 R"(,"method":"tools/call","params":{"name":"no_such_tool"}})");
            child->closeInput();
            while (auto line = child->readLine(std::chrono::seconds(30)))
                if (line->find("Tool not found") != std::string::npos) ++answered[p];
            statuses[p] = child->wait(std::chrono::seconds(30));
        });
    }
    for (auto& t : clients) t.join();
    for (int p = 0; p < kProcesses; ++p) {
        EXPECT_EQ(answered[p], kCalls) << p;
        EXPECT_EQ(statuses[p], 0) << p;
    }
    EXPECT_EQ(json::parse(readFile(home_ / "config" / "brisolet" / "defaults.json")).find("toolCallCount")->asInt(), 1000 + kProcesses * kCalls);
}

// Hand edits saved with sed -i (a copy renamed over the file, no lock) while
// the program counts calls: every edit stays and every call counts once.
// BRISOLET_SED_RACE_CALLS and BRISOLET_SED_RACE_EDITS scale it up.
TEST_F(Program, SedEditsDuringCallsKeepEveryEditAndCount) {
    const auto sized = [](const char* name, int fallback) {
        const char* value = std::getenv(name);
        return value ? std::max(1, std::atoi(value)) : fallback;
    };
    const int calls = sized("BRISOLET_SED_RACE_CALLS", 2000), edits = sized("BRISOLET_SED_RACE_EDITS", 40);
    writeDefaults(R"({"isNotesEnabled": true})");
    const fs::path file = home_ / "config" / "brisolet" / "defaults.json";
    auto child = initialized();
    std::atomic<int> editsStarted{0}, failedEdits{0};
    std::thread editor([&] {
        for (int e = 0; e < edits; ++e) {
            ++editsStarted;
            ChildProcess sed({"sed", "-i", "-e", "s/^{/{\"hand" + std::to_string(e) + "\": true, /", file.string()},
                             environment());
            if (sed.wait(std::chrono::seconds(30)) != 0) ++failedEdits;
        }
    });
    // The calls go out in one batch per edit, each once its edit has begun,
    // and never more than a hundred unanswered: the family's bound on
    // waiting calls would refuse the rest, and a refused call counts nothing.
    constexpr int kInFlight = 100;
    std::atomic<int> answered{0};
    std::thread caller([&] {
        for (int batch = 0, sent = 0; batch < edits; ++batch) {
            testsupport::waitUntil([&] { return editsStarted.load() > batch; }, std::chrono::seconds(30));
            for (const int end = calls * (batch + 1) / edits; sent < end;) {
                if (!testsupport::waitUntil([&] { return sent - answered.load() < kInFlight; },
                                            std::chrono::seconds(60)))
                    return;  // the reader below fails the test
                std::string lines;
                for (const int chunk = std::min(end, answered.load() + kInFlight); sent < chunk; ++sent)
                    lines += R"({"jsonrpc":"2.0","id":)" + std::to_string(sent + 2) +
                             R"(,"method":"tools/call","params":{"name":"list_notes","arguments":{}}})" "\n";
                child->write(lines);
            }
        }
    });
    while (answered.load() < calls) {
        const auto line = child->readLine(std::chrono::seconds(60));
        if (!line) break;
        EXPECT_EQ(line->find("isError"), std::string::npos) << *line;
        ++answered;
    }
    caller.join();
    editor.join();
    child->closeInput();
    EXPECT_EQ(child->readLine(), std::nullopt);
    EXPECT_EQ(child->wait(std::chrono::seconds(30)), 0);
    EXPECT_EQ(answered.load(), calls);
    EXPECT_EQ(failedEdits.load(), 0);
    const json::Value defaults = json::parse(readFile(file));
    int kept = 0;
    for (int e = 0; e < edits; ++e) kept += defaults.find("hand" + std::to_string(e)) ? 1 : 0;
    const json::Value* count = defaults.find("toolCallCount");
    std::printf("sed race: count %lld of %d calls, %d of %d edits kept\n",
                count ? static_cast<long long>(count->asInt()) : -1LL, calls, kept, edits);
    EXPECT_EQ(kept, edits);
    ASSERT_NE(count, nullptr);
    EXPECT_EQ(count->asInt(), calls);
}

// A switch flipped in the file reaches a running server as a list change.
TEST_F(Program, ASwitchFlippedInTheFileIsAnnounced) {
    writeDefaults(R"({"isMailEnabled": false})");
    auto child = initialized();
    child->writeLine(R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})");
    EXPECT_EQ(child->readLine(), R"({"id":1,"jsonrpc":"2.0","result":{"tools":[]}})");

    // Unchanged switches and other keys announce nothing; the flip does.
    writeDefaults(R"({"isMailEnabled": false, "somethingElse": 3})");
    writeDefaults(R"({"isMailEnabled": true, "somethingElse": 3})");
    EXPECT_EQ(child->readLine(), R"({"jsonrpc":"2.0","method":"notifications/tools/list_changed"})");
    child->writeLine(R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})");
    auto listed = child->readLine();
    ASSERT_TRUE(listed);
    EXPECT_NE(listed->find(R"("name":"send_email")"), std::string::npos) << *listed;

    // Saved in place in two goes, the server looking in between: read
    // again a moment later, never set aside as corrupt.
    const fs::path file = home_ / "config" / "brisolet" / "defaults.json";
    std::ofstream(file, std::ios::trunc) << R"({"isMailEnabled": fal)";
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    std::ofstream(file, std::ios::trunc) << R"({"isMailEnabled": false})";
    EXPECT_EQ(child->readLine(), R"({"jsonrpc":"2.0","method":"notifications/tools/list_changed"})");
    child->closeInput();
    EXPECT_EQ(child->readLine(), std::nullopt);
    EXPECT_EQ(child->wait(), 0);
    for (const auto& entry : fs::directory_iterator(home_ / "config" / "brisolet"))
        EXPECT_EQ(entry.path().filename().string().find("corrupt"), std::string::npos) << entry.path();
}

}  // namespace

// A long video search runs on the vision family's lane: a ping and a maps
// call are answered while it goes on, and a cancellation ends it at once, so
// the next vision call is answered without waiting for the video.
TEST_F(Program, ALongVideoSearchHoldsNoOtherCall) {
    const std::string face = std::string(BRISOLET_TEST_PHOTOS) + "/astronaut.png", clip = (home_ / "long.mp4").string();
    ASSERT_TRUE(fs::is_regular_file(face)) << face << " missing (scripts/setup unpacks it)";
    ASSERT_TRUE(testsupport::onPath("ffmpeg"));
    {
        // A minute of the face, searched frame by frame: far longer than this test waits.
        ChildProcess ffmpeg({"ffmpeg", "-v", "error", "-y", "-loop", "1", "-i", face, "-t", "60", "-r", "30", "-vf",
                             "scale=640:640", "-c:v", "mpeg4", "-q:v", "10", clip},
                            environment(), true);
        ffmpeg.closeInput();
        ASSERT_EQ(ffmpeg.wait(std::chrono::seconds(120)), 0);
    }
    writeDefaults(R"({"isVisionEnabled": true, "isMapsEnabled": true})");
    auto child = initialized();
    auto search = [&](int id, const std::string& path, const char* type) {
        child->writeLine(R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
                         R"(,"method":"tools/call","params":{"name":"vision_search_face","arguments":{"target_image_path":")" +
                         face + R"(","search_path":")" + path + R"(","search_type":")" + type + R"(","sample_interval":1}}})");
    };
    bool cancelled = false;
    auto answerTo = [&](int id) -> std::optional<json::Value> {
        while (auto line = child->readLine(std::chrono::seconds(60))) {
            json::Value message = json::parse(*line);
            const json::Value* answered = message.find("id");
            if (cancelled && answered && answered->asInt() == 2 && message.find("error")) continue;  // the cancelled search
            EXPECT_TRUE(answered && answered->asInt() == id) << *line;  // nothing else answers first
            if (answered && answered->asInt() == id) return message;
        }
        return std::nullopt;
    };
    search(2, clip, "video");
    child->writeLine(R"({"jsonrpc":"2.0","id":3,"method":"ping"})");
    EXPECT_TRUE(answerTo(3));
    child->writeLine(R"({"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"search_locations","arguments":{"query":"Paris"}}})");
    const std::optional<json::Value> place = answerTo(4);
    ASSERT_TRUE(place);
    EXPECT_NE(json::write(*place).find("Paris"), std::string::npos) << json::write(*place);

    child->writeLine(R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":2}})");
    cancelled = true;
    search(5, face, "image");
    const std::optional<json::Value> image = answerTo(5);
    ASSERT_TRUE(image);
    EXPECT_NE(json::write(*image).find("\"found\\\" : true"), std::string::npos) << json::write(*image);
    // Input ends while the long search runs: the search is stopped after a
    // grace, the process does not wait for the whole video.
    search(6, clip, "video");
    child->writeLine(R"({"jsonrpc":"2.0","id":7,"method":"ping"})");
    EXPECT_TRUE(answerTo(7));
    child->closeInput();
    EXPECT_EQ(child->wait(std::chrono::seconds(20)), 0);
}
