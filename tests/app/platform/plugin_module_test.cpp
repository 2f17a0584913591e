#include "app/platform/plugin_module.hpp"

#include "scratch_dir.hpp"

#include <gtest/gtest.h>

#include <filesystem>

using namespace app::platform;

namespace {

const PluginModuleSpec kSpec{"test-plugin.so", "test module", "test_plugin_version", 7, "test_plugin_entry",
                             "greeting"};

// The cause a load gives, or "loaded: <object>".
std::string outcome(const std::vector<std::string>& candidates) {
    try {
        return "loaded: " + loadPluginModule<std::string>(kSpec, candidates);
    } catch (const PluginLoadError& e) {
        return e.what();
    }
}

}  // namespace

TEST(PluginModule, LoadsTheFirstRegularFileAndNamesWhyItCannot) {
    testsupport::ScratchDir dir;
    const std::string missing = dir.file("missing.so"), folder = dir.path(), text = dir.file("text.so");
    testsupport::writeFile(text, std::string(200, '#'));
    const std::string good = TEST_PLUGIN_GOOD, newer = TEST_PLUGIN_NEWER, empty = TEST_PLUGIN_EMPTY;
    const std::string libm = "/lib/x86_64-linux-gnu/libm.so.6";
    const std::vector<std::pair<std::vector<std::string>, std::string>> rows = {  // candidates, outcome
        {{good}, "loaded: hello from the plug-in"},
        {{missing, folder, good}, "loaded: hello from the plug-in"},  // a folder is no module
        {{}, "test-plugin.so not found (looked in: )"},
        {{missing, folder}, "test-plugin.so not found (looked in: " + missing + ", " + folder + ")"},
        {{text, good}, text + ": invalid ELF header"},  // a broken first copy is not passed over
        {{libm}, libm + " is not a test module"},
        {{newer, good}, newer + " has interface version 8, the program needs 7"},
        {{empty}, empty + " gave no greeting"},
    };
    for (const auto& [candidates, expected] : rows) {
        EXPECT_EQ(outcome(candidates), expected);
    }
}

TEST(PluginModule, CandidatesAreBesideTheProgramThenTheBuildTree) {
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
    using Rows = std::vector<std::pair<std::string, std::vector<std::string>>>;
    for (const auto& [buildPath, expected] : Rows{
             {"/build/x.so", {self + "/x.so", "/build/x.so"}},
             {"", {self + "/x.so"}},
         }) {
        EXPECT_EQ(pluginModuleCandidates("x.so", buildPath), expected);
    }
}
