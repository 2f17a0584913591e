#include "app/platform/url_opener.hpp"
#include "app/platform/child_process.hpp"
#include "app/platform/platform_error.hpp"
#include "app/platform/scratch_dir.hpp"
#include "support/memory_diagnostic_sink.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <optional>

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
        // Named with a slash: it must be there and executable, PATH plays no part.
        {a.file("tool"), b.path(), ""},
        {a.file("missing"), b.path(), ""},
        {"", b.path(), ""},
        // An empty entry is the current folder, wherever it stands.
        {"tool", a.path() + "::" + b.path(), "./tool"},
        {"tool", ":" + b.path(), "./tool"},
        {"tool", a.path() + ":", "./tool"},
    };
    for (const auto& row : rows) EXPECT_EQ(findExecutable(row.program, row.path), row.found) << row.path;
    std::filesystem::current_path(here);
}

// A child past its time-out is killed and reaped, and the call returns then,
// also when the child closed its output and lingers.
TEST(RunProgram, AChildPastItsTimeOutIsKilledAndNotWaitedFor) {
    ScratchDir dir;
    const std::string pidFile = dir.file("pid");
    const struct Row {
        const char* what;
        std::string script;
        std::optional<int> exitCode;
        std::string output;
    } rows[] = {
        {"ends in time", "echo out; echo err >&2; exit 3", 3, "out\n"},
        {"past its time-out", "echo early; exec sleep 30", std::nullopt, "early\n"},
        {"output closed, lingering", "exec >&- 2>&-; exec sleep 30", std::nullopt, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::filesystem::remove(pidFile);
        const auto start = std::chrono::steady_clock::now();
        const ProgramRun run =
            runProgram({"/bin/sh", "-c", "echo $$ > " + pidFile + "; " + row.script}, std::chrono::milliseconds(300));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
        EXPECT_TRUE(run.started);
        EXPECT_EQ(run.exitCode, row.exitCode);
        EXPECT_EQ(run.output, row.output);
        const pid_t pid = std::atoi(testsupport::readFile(pidFile).c_str());
        ASSERT_GT(pid, 0);
        EXPECT_TRUE(::kill(pid, 0) != 0 && errno == ESRCH) << "the child is gone, reaped";
    }
}

// No desktop to open in: the environment a server started by an assistant often has.
struct NoDesktop {
    testsupport::ScopedPath path{"/usr/bin:/bin"};
    testsupport::ScopedVariable variables[6] = {{"DISPLAY", nullptr},         {"WAYLAND_DISPLAY", nullptr},
                                                {"XDG_CURRENT_DESKTOP", nullptr}, {"DESKTOP_SESSION", nullptr},
                                                {"KDE_FULL_SESSION", nullptr},    {"BROWSER", nullptr}};
};

// The opener's status is the answer: the desktop's own xdg-open fails
// without a desktop and says why, succeeds with a browser; a handler still
// running after the wait is success, and what it writes later reaches the sink.
TEST(SpawnUrlOpener, AnswersWhatTheOpenerDid) {
    ScratchDir dir;
    writeScript(dir.file("browser"), "printf '%s' \"$1\" > '" + dir.file("got") + "'\n");
    writeScript(dir.file("slow"), "echo starting >&2; sleep 1; echo 'still here' >&2\n");
    writeScript(dir.file("silent"), "exit 4\n");
    writeScript(dir.file("killed"), "kill -9 $$\n");
    const std::string url = "mailto:a@b.c?subject=Hi%20there";
    struct Row {
        std::string program;
        const char* browser;
        std::string error;  // empty: opened
        std::vector<std::string> lines;
        std::string opened = "";  // the URL handed over, when not `url`
    } rows[] = {
        {"xdg-open", nullptr, "xdg-open: no method available for opening '" + url + "' (exit status 3)", {}},
        {"xdg-open", "browser", "", {}},
        {dir.file("slow"), nullptr, "", {"starting", "still here"}},
        {dir.file("silent"), nullptr, dir.file("silent") + " failed (exit status 4)", {}},
        {dir.file("killed"), nullptr, dir.file("killed") + " failed (signal 9)", {}},
        // An argument ends at a NUL: the opener would get another URL.
        {"xdg-open", "browser", "the URL holds a NUL byte, which cannot be handed over whole", {},
         std::string("https://example.org/a\0b", 23)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.program);
        const std::string& opened = row.opened.empty() ? url : row.opened;
        std::filesystem::remove(dir.file("got"));
        NoDesktop noDesktop;
        std::optional<testsupport::ScopedVariable> browser;
        if (row.browser) browser.emplace("BROWSER", dir.file(row.browser).c_str());
        auto sink = std::make_shared<MemoryDiagnosticSink>();
        // Long enough for any opener that ends on its own, even on a busy machine.
        const auto wait = row.program == dir.file("slow") ? std::chrono::milliseconds(300) : std::chrono::seconds(20);
        SpawnUrlOpener opener(sink, row.program, wait);
        std::string error;
        try {
            opener.open(opened);
        } catch (const PlatformError& e) {
            error = e.cause();
            if (row.opened.empty()) EXPECT_EQ(sink->lines(), std::vector<std::string>{"Cannot open " + url + ": " + error});
            else EXPECT_EQ(sink->lines().size(), 1u);
        }
        EXPECT_EQ(error, row.error);
        if (row.browser) {
            EXPECT_EQ(testsupport::readFile(dir.file("got")), row.error.empty() ? url : "");
        }
        EXPECT_TRUE(testsupport::waitUntil([&] { return opener.runningChildren() == 0 && sink->lines().size() >= row.lines.size(); }));
        if (row.error.empty()) {
            EXPECT_EQ(sink->lines(), row.lines);
        }
    }
}

}  // namespace
}  // namespace app::platform
