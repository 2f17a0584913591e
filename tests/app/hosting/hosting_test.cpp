// The program end to end: the brisolet executable on pipes, with a fresh home.
#include "json/json.hpp"
#include "support/child_process.hpp"
#include "support/wait.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using testsupport::ChildProcess;

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
    static std::string readFile(const fs::path& path) {
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
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

TEST_F(Program, StopsCleanlyOnTermination) {
    auto child = start();
    child->writeLine(kInitialize);
    EXPECT_EQ(child->readLine(), kInitializeResult);
    ::kill(child->pid(), SIGTERM);
    EXPECT_EQ(child->wait(), 128 + SIGTERM);
}

TEST_F(Program, ACorruptDefaultsFileIsNotFatal) {
    writeDefaults("{ this is not json");
    auto out = exchange({kInitialize, R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})"});
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1], R"({"id":2,"jsonrpc":"2.0","result":{"tools":[]}})");
}

}  // namespace
