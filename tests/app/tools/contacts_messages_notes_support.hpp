// Helpers for the contacts, messages and notes tests: an environment with
// fixed folders and, when asked, a fixed UUID.
#pragma once

#include "app/platform/environment.hpp"
#include "app/tools/tool_error.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace cmntest {

class FixedEnvironment : public app::platform::Environment {
public:
    explicit FixedEnvironment(std::string root)
        : home(root + "/home"), temp(root + "/tmp"), config(root + "/config"), data(root + "/data") {
        std::filesystem::create_directories(home);
        std::filesystem::create_directories(temp);
    }

    std::string homeDirectory() const override { return home; }
    std::string temporaryDirectory() const override { return temp; }
    std::string configHome() const override { return config; }
    std::string dataHome() const override { return data; }
    std::chrono::system_clock::time_point now() const override { return std::chrono::system_clock::now(); }
    std::string makeUuid() const override { return uuid.empty() ? app::platform::randomUuidString() : uuid; }

    std::string home, temp, config, data;
    std::string uuid;  // empty: a new random one each time
};

// The names in a folder, sorted.
inline std::vector<std::string> folderEntries(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// Runs fn, expecting a ToolError equal to `expected`.
inline void expectToolError(const std::function<void()>& fn, const app::tools::ToolError& expected) {
    try {
        fn();
        ADD_FAILURE() << "no error; expected " << expected.domain() << " " << expected.code() << " "
                      << expected.message();
    } catch (const app::tools::ToolError& error) {
        EXPECT_EQ(error.domain(), expected.domain());
        EXPECT_EQ(error.code(), expected.code());
        EXPECT_EQ(error.message(), expected.message());
    }
}

}  // namespace cmntest
