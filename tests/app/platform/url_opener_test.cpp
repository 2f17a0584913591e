#include "app/platform/url_opener.hpp"
#include "app/platform/scratch_dir.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>

namespace app::platform {
namespace {
using testsupport::ScratchDir;
using testsupport::writeFile;

void writeScript(const std::string& path, const std::string& body) {
    writeFile(path, "#!/bin/sh\n" + body);
    ::chmod(path.c_str(), 0755);
}

// Puts dir first on PATH for the test's lifetime.
class PathPrefix {
public:
    explicit PathPrefix(const std::string& dir) {
        const char* old = std::getenv("PATH");
        old_ = old ? old : "";
        ::setenv("PATH", (dir + ":" + old_).c_str(), 1);
    }
    ~PathPrefix() { ::setenv("PATH", old_.c_str(), 1); }

private:
    std::string old_;
};

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

TEST(SpawnUrlOpener, PassesTheUrlAsOneArgumentWithoutAShellAndReapsTheChild) {
    ScratchDir dir;
    PathPrefix prefix(dir.path());
    const std::string out = dir.file("args");
    writeScript(dir.file("xdg-open"),
                "printf '%s|' \"$#\" \"$@\" > '" + out + ".tmp'\nmv '" + out + ".tmp' '" + out + "'\n");
    auto sink = std::make_shared<MemoryDiagnosticSink>();
    SpawnUrlOpener opener(sink);
    const std::string url = "mailto:a@b.c?subject=$(touch%20x);echo 'hi' `id` \"q\"";
    opener.open(url);
    ASSERT_TRUE(testsupport::waitUntil([&] { return opener.runningChildren() == 0; }));
    EXPECT_EQ(testsupport::readFile(out), "1|" + url + "|");
    EXPECT_TRUE(sink->lines().empty());
}

}  // namespace
}  // namespace app::platform
