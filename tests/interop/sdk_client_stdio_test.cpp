// The official TypeScript SDK client against our program over stdio.
#include "json/json.hpp"
#include "support/child_process.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {
TEST(InteropSdkClient, DrivesTheProgramOverStdio) {
    const fs::path interop = BRISOLET_INTEROP_DIR;
    ASSERT_TRUE(fs::exists(interop / "node_modules" / "@modelcontextprotocol" / "sdk"))
        << "the SDK is not installed: run scripts/setup";

    const fs::path home = fs::temp_directory_path() / ("brisolet-interop-" + std::to_string(getpid()));
    fs::remove_all(home);
    fs::create_directories(home / "config" / "brisolet");
    fs::create_directories(home / "bin");
    std::ofstream(home / "config" / "brisolet" / "defaults.json") << R"({"isMailEnabled": true})";
    std::ofstream(home / "bin" / "xdg-open") << "#!/bin/sh\nexit 0\n";
    fs::permissions(home / "bin" / "xdg-open", fs::perms::owner_all);
    const fs::path wire = home / "wire.log";

    testsupport::ChildProcess node({"node", (interop / "sdk_client_stdio.mjs").string(), BRISOLET_EXECUTABLE,
                                    home.string(), wire.string()},
                                   testsupport::environmentWith({}));
    node.closeInput();
    std::string output;
    while (auto line = node.readLine(std::chrono::seconds(40))) output += *line + "\n";
    EXPECT_EQ(node.wait(std::chrono::seconds(10)), 0) << output;
    EXPECT_EQ(output, "interop ok\n");

    // Every line the program wrote is one JSON-RPC message; the handshake
    // settled on the version this server speaks.
    std::ifstream in(wire);
    std::string line;
    int lines = 0;
    bool sawVersion = false;
    while (std::getline(in, line)) {
        ++lines;
        json::Value message;
        ASSERT_NO_THROW(message = json::parse(line)) << line;
        ASSERT_TRUE(message.isObject()) << line;
        EXPECT_EQ(message.find("jsonrpc")->asString(), "2.0");
        if (const json::Value* result = message.find("result"))
            if (const json::Value* version = result->find("protocolVersion"))
                sawVersion = version->asString() == "2025-03-26";
    }
    EXPECT_GE(lines, 5);
    EXPECT_TRUE(sawVersion);
    fs::remove_all(home);
}

}  // namespace
