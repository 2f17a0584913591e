#include "app/platform/url_opener.hpp"
#include "app/platform/platform_error.hpp"
#include "app/platform/scratch_dir.hpp"

#include <gmock/gmock.h>
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

TEST(SpawnUrlOpener, PassesTheUrlAsOneArgumentWithoutAShellAndReapsTheChild) {
    ScratchDir dir;
    testsupport::ScopedPath path(dir.path() + ":" + testsupport::ScopedPath::current());
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

TEST(SpawnUrlOpener, RefusesWhatItCannotStartAndKeepsDiagnosticsShort) {
    ScratchDir dir;
    testsupport::ScopedPath path(dir.path() + ":" + testsupport::ScopedPath::current());
    writeScript(dir.file("xdg-open"), "exit 0\n");
    writeFile(dir.file("broken-opener"), "#!/nonexistent/interpreter\n");
    std::filesystem::permissions(dir.file("broken-opener"), std::filesystem::perms::owner_all);
    struct Row {
        std::string program;
        std::string url;
        std::string cause;
    };
    const Row rows[] = {
        {"brisolet-no-such-opener", "mailto:someone@example.com", "no brisolet-no-such-opener is installed"},
        {"xdg-open", "mailto:a@b.c?body=" + std::string(200 * 1024, 'x'), "too long"},
        {dir.file("broken-opener"), "https://example.com/" + std::string(5000, 'y'), "cannot start"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.program);
        auto sink = std::make_shared<MemoryDiagnosticSink>();
        SpawnUrlOpener opener(sink, row.program);
        try {
            opener.open(row.url);
            ADD_FAILURE() << "no error";
        } catch (const PlatformError& e) {
            EXPECT_THAT(e.cause(), ::testing::HasSubstr(row.cause));
        }
        ASSERT_EQ(sink->lines().size(), 1u);
        EXPECT_THAT(sink->lines()[0], ::testing::HasSubstr(row.url.substr(0, 20)));
        EXPECT_LT(sink->lines()[0].size(), 600u);
        EXPECT_TRUE(testsupport::waitUntil([&] { return opener.runningChildren() == 0; }));
    }
}

}  // namespace
}  // namespace app::platform
