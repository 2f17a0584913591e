#include "app/platform/url_opener.hpp"
#include "app/platform/scratch_dir.hpp"

#include <gtest/gtest.h>

#include <filesystem>

namespace app::platform {
namespace {
using testsupport::ScratchDir;
using testsupport::writeFile;
using testsupport::writeScript;

TEST(FindExecutable, SearchesPathInOrder) {
    ScratchDir a, b, current;
    writeScript(b.file("tool"), "exit 0\n");
    writeScript(current.file("tool"), "exit 0\n");
    writeFile(a.file("tool"), "not executable");
    const auto here = std::filesystem::current_path();
    std::filesystem::current_path(current.path());
    const struct {
        std::string program, path, found;
    } rows[] = {
        {"tool", a.path() + ":" + b.path(), b.file("tool")},
        {"tool", a.path(), ""},
        {"missing", a.path() + ":" + b.path(), ""},
        {b.file("tool"), "", b.file("tool")},
        {"", b.path(), ""},
        // An empty entry is the current folder, wherever it stands.
        {"tool", a.path() + "::" + b.path(), "./tool"},
        {"tool", ":" + b.path(), "./tool"},
        {"tool", a.path() + ":", "./tool"},
    };
    for (const auto& row : rows) EXPECT_EQ(findExecutable(row.program, row.path), row.found) << row.path;
    std::filesystem::current_path(here);
}

}  // namespace
}  // namespace app::platform
