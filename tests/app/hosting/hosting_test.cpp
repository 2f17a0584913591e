// The program end to end: the brisolet executable on pipes, with a fresh home.
#include "app/platform/scratch_dir.hpp"
#include "json/json.hpp"
#include "support/child_process.hpp"
#include "support/wait.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
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

    static void writeFile(const fs::path& path, const std::string& text) {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text;
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

    static json::Value result(const std::string& line) {
        json::Value v = json::parse(line);
        const json::Value* r = v.find("result");
        if (!r) throw std::runtime_error("no result in " + line);
        return *r;
    }

    fs::path home_;
};

TEST_F(Program, AnswersTheHandshakeAndTheFixedMethods) {
    auto out = exchange({
        kInitialize,
        R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
        R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})",
        R"({"jsonrpc":"2.0","id":3,"method":"resources/list"})",
        R"({"jsonrpc":"2.0","id":6,"method":"prompts/get","params":{"name":"any"}})",
        R"({"jsonrpc":"2.0","id":7,"method":"ping"})",
    });
    std::vector<std::string> expected = {
        kInitializeResult,
        R"({"id":2,"jsonrpc":"2.0","result":{"tools":[]}})",
        R"({"id":3,"jsonrpc":"2.0","result":{"resources":[]}})",
        R"({"id":6,"jsonrpc":"2.0","result":{"description":"Prompt not found","messages":[]}})",
        R"({"id":7,"jsonrpc":"2.0","result":{}})",
    };
    EXPECT_EQ(out, expected);
}

TEST_F(Program, ListsAndCallsTheToolsOfASwitchedOnFamily) {
    writeDefaults(R"({"isMailEnabled": true})");
    auto out = exchange({
        kInitialize,
        R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})",
        R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"send_email","arguments":{"recipient":"a@example.org","subject":"Tom & Jerry"}}})",
        R"({"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"send_email","arguments":{"subject":"no recipient"}}})",
        R"({"jsonrpc":"2.0","id":5,"method":"tools/call","params":{"name":"no_such_tool","arguments":{}}})",
        R"({"jsonrpc":"2.0","id":6,"method":"tools/call","params":{"name":"send_email"}})",
    });
    ASSERT_EQ(out.size(), 6u);
    // Tool calls may be answered out of order: read the answers by id.
    std::sort(out.begin(), out.end(), [](const std::string& a, const std::string& b) {
        return json::parse(a).find("id")->asInt() < json::parse(b).find("id")->asInt();
    });

    EXPECT_EQ(result(out[1]).find("tools")->asArray().size(), 1u);

    EXPECT_EQ(out[2],
              R"({"id":3,"jsonrpc":"2.0","result":{"content":[{"text":"Mail composer opened for a@example.org.","type":"text"}]}})");
    EXPECT_EQ(out[3],
              R"({"id":4,"jsonrpc":"2.0","result":{"content":[{"text":"Error: Missing recipient","type":"text"}],"isError":true}})");
    EXPECT_EQ(out[4],
              R"({"id":5,"jsonrpc":"2.0","result":{"content":[{"text":"Error: Tool not found: no_such_tool","type":"text"}],"isError":true}})");
    EXPECT_EQ(out[5],
              R"({"id":6,"jsonrpc":"2.0","result":{"content":[{"text":"Error: Missing recipient","type":"text"}],"isError":true}})");

    // The opener ran in the background; its record appears once it has run.
    EXPECT_TRUE(testsupport::waitUntil([&] { return !readFile(home_ / "opened").empty(); }));
    EXPECT_EQ(readFile(home_ / "opened"), "mailto:a@example.org?subject=Tom%20%26%20Jerry\n");

    // Every call counts, refused or not; the count outlives the process.
    json::Value defaults = json::parse(readFile(home_ / "config" / "brisolet" / "defaults.json"));
    EXPECT_EQ(defaults.find("toolCallCount")->asInt(), 4);
    EXPECT_TRUE(defaults.find("isMailEnabled")->asBool()) << "a key the user wrote survives";
}

// Every family switched on: the answer must stay byte for byte the recorded one.
TEST_F(Program, ListsEveryToolAsRecorded) {
    writeDefaults(R"({"isCalendarEnabled":true,"isRemindersEnabled":true,"isContactsEnabled":true,
        "isMessagesEnabled":true,"isNotesEnabled":true,"isMailEnabled":true,"isMusicEnabled":true,
        "isMapsEnabled":true,"isMacOSEnabled":true,"isVisionEnabled":true})");
    auto out = exchange({kInitialize, R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})"});
    ASSERT_EQ(out.size(), 2u);
    const fs::path golden = BRISOLET_TOOLS_LIST;
    EXPECT_EQ(json::write(result(out[1]), {.pretty = true}) + "\n", readFile(golden));
}

TEST_F(Program, AnswersEveryMessageReadBeforeInputEndsEvenAnUnterminatedLast) {
    auto child = start();
    child->write(kInitialize + "\n  \t\n" + R"({"jsonrpc":"2.0","id":2,"method":"ping"})" + "\n" +
                 R"({"jsonrpc":"2.0","id":3,"method":"ping"})");
    child->closeInput();
    EXPECT_EQ(child->readLine(), kInitializeResult);
    EXPECT_EQ(child->readLine(), R"({"id":2,"jsonrpc":"2.0","result":{}})");
    EXPECT_EQ(child->readLine(), R"({"id":3,"jsonrpc":"2.0","result":{}})");
    EXPECT_EQ(child->readLine(), std::nullopt);
    EXPECT_EQ(child->wait(), 0);
}

TEST_F(Program, StopsWithinASecondOnTermination) {
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        auto child = start();
        child->writeLine(kInitialize);
        EXPECT_EQ(child->readLine(), kInitializeResult);
        ::kill(child->pid(), signal);
        EXPECT_EQ(child->wait(std::chrono::milliseconds(1500)), 128 + signal);
    }
}

TEST_F(Program, EndsOnceWhenItsAnswersCannotBeWritten) {
    writeDefaults(R"({"isMailEnabled": true})");
    struct Case {
        const char* name;
        const char* script;  // $0 the program, $1 its standard error, $2 its exit status
    };
    const Case cases[] = {
        {"device full", R"("$0" >/dev/full 2>"$1"; echo $? >"$2")"},
        {"reader gone", R"({ sleep 0.3; "$0" 2>"$1"; echo $? >"$2"; } | true)"},
    };
    const std::string stderrPath = (home_ / "stderr").string(), statusPath = (home_ / "status").string();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ChildProcess child({"/bin/sh", "-c", c.script, BRISOLET_EXECUTABLE, stderrPath, statusPath}, environment());
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
    if (kJudgeMemory) EXPECT_LT(peakChildMemory() - idle, 64L * 1024 * 1024 + 8L * 1024 * 1024);
}

// Runs the program with standard input and/or output closed by its parent; an
// open input is a pipe carrying `input` and then its end, an open output a pipe
// read to its end. Returns the exit status (-1 past the time-out) and the output.
std::pair<int, std::string> runWithClosedDescriptors(const std::vector<std::string>& environment, bool closeInput,
                                                     bool closeOutput, const std::string& input) {
    int in[2], out[2], exited[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(exited, O_CLOEXEC) != 0) return {-1, ""};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (closeInput) posix_spawn_file_actions_addclose(&actions, 0);
    else posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    if (closeOutput) posix_spawn_file_actions_addclose(&actions, 1);
    else posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    // Held by the program until it exits: its end tells the test the program is gone.
    posix_spawn_file_actions_adddup2(&actions, exited[1], 3);
    std::vector<std::string> argvStrings{BRISOLET_EXECUTABLE};
    std::vector<std::string> envStrings = environment;
    std::vector<char*> argv, envp;
    for (auto& a : argvStrings) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, BRISOLET_EXECUTABLE, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    for (int fd : {in[0], out[1], exited[1]}) ::close(fd);
    if (spawned != 0) {
        for (int fd : {in[1], out[0], exited[0]}) ::close(fd);
        return {-1, ""};
    }
    if (!closeInput) {
        std::signal(SIGPIPE, SIG_IGN);
        [[maybe_unused]] const ssize_t n = ::write(in[1], input.data(), input.size());
    }
    ::close(in[1]);

    std::string output;
    bool outputOpen = !closeOutput, running = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((outputOpen || running) && std::chrono::steady_clock::now() < deadline) {
        pollfd fds[2] = {{exited[0], POLLIN, 0}, {outputOpen ? out[0] : -1, POLLIN, 0}};
        if (::poll(fds, 2, 100) <= 0) continue;
        char buffer[4096];
        if (fds[0].revents != 0) running = ::read(exited[0], buffer, sizeof buffer) > 0;
        if (fds[1].revents != 0) {
            const ssize_t n = ::read(out[0], buffer, sizeof buffer);
            if (n > 0) output.append(buffer, static_cast<std::size_t>(n));
            else outputOpen = false;
        }
    }
    for (int fd : {out[0], exited[0]}) ::close(fd);
    if (running) ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (running || !WIFEXITED(status)) return {-1, output};
    return {WEXITSTATUS(status), output};
}

TEST_F(Program, ClosedStandardDescriptorsReadAsEmptyInputAndDiscardedOutput) {
    struct Case {
        const char* name;
        bool closeInput;
        bool closeOutput;
    };
    const Case cases[] = {{"input closed", true, false}, {"output closed", false, true}, {"both closed", true, true}};
    const std::string requests = kInitialize + "\n" + R"({"jsonrpc":"2.0","id":2,"method":"ping"})" + "\n";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto [status, output] = runWithClosedDescriptors(environment(), c.closeInput, c.closeOutput, requests);
        EXPECT_EQ(status, 0) << "the program must end at the end of its (empty) input";
        EXPECT_EQ(output, "");
    }
}

}  // namespace
