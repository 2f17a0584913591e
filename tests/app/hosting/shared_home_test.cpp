// Several brisolet processes on one user's files, as several MCP clients run them.
#include "app/platform/scratch_dir.hpp"
#include "json/json.hpp"
#include "support/child_process.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <unistd.h>

namespace fs = std::filesystem;
using testsupport::ChildProcess;

namespace {

const std::string kInitialize =
    R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-03-26","capabilities":{},"clientInfo":{"name":"test","version":"1"}}})";

class SharedHome : public ::testing::Test {
protected:
    void SetUp() override {
        home_ = fs::temp_directory_path() / ("brisolet-shared-" + std::to_string(getpid()) + "-" +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(home_);
        fs::create_directories(home_ / "config" / "brisolet");
    }
    void TearDown() override { fs::remove_all(home_); }

    // Written the way other programs save it: a new file renamed into place.
    void writeDefaults(const std::string& json) {
        const fs::path target = home_ / "config" / "brisolet" / "defaults.json";
        const fs::path temp = target.string() + ".editor";
        std::ofstream(temp) << json;
        fs::rename(temp, target);
    }

    std::unique_ptr<ChildProcess> start() {
        auto child = std::make_unique<ChildProcess>(
            std::vector<std::string>{BRISOLET_EXECUTABLE},
            testsupport::environmentWith({{"HOME", home_.string()},
                                          {"XDG_CONFIG_HOME", (home_ / "config").string()},
                                          {"XDG_DATA_HOME", (home_ / "data").string()},
                                          {"PATH", "/usr/bin:/bin"}}));
        child->writeLine(kInitialize);
        EXPECT_TRUE(child->readLine());
        child->writeLine(R"({"jsonrpc":"2.0","method":"notifications/initialized"})");
        return child;
    }

    fs::path home_;
};

// Each process adds its own calls to the count on disk.
TEST_F(SharedHome, FourProcessesLeaveTheExactCallCount) {
    constexpr int kProcesses = 4, kCalls = 150;
    writeDefaults(R"({"toolCallCount": 1000})");
    std::vector<std::thread> clients;
    std::vector<int> answered(kProcesses, 0), statuses(kProcesses, -1);
    for (int p = 0; p < kProcesses; ++p) {
        clients.emplace_back([&, p] {
            auto child = start();
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
    EXPECT_EQ(json::parse(testsupport::readFile(home_ / "config" / "brisolet" / "defaults.json")).find("toolCallCount")->asInt(), 1000 + kProcesses * kCalls);
}

// A switch flipped in the file reaches a running server as a list change.
TEST_F(SharedHome, ASwitchFlippedInTheFileIsAnnounced) {
    writeDefaults(R"({"isMailEnabled": false})");
    auto child = start();
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
