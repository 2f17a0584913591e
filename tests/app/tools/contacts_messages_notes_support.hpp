// Helpers for the contacts, messages and notes tests: an environment with
// fixed folders and, when asked, a fixed UUID.
#pragma once

#include "app/platform/environment.hpp"

#include <algorithm>
#include <chrono>
#include <filesystem>
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

}  // namespace cmntest
