#include "app/tools/mail/mail_tools.hpp"

#include "app/platform/scratch_dir.hpp"
#include "support/pipe.hpp"
#include "app/tools/tool_test_support.hpp"
#include "support/memory_diagnostic_sink.hpp"
#include "support/recording_url_opener.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <iostream>
#include <unistd.h>

namespace app::tools {
namespace {
using platform::RecordingUrlOpener;

TEST(MailTools, ComposesTheExactUrl) {
    // subject, body, URL; line breaks and UTF-8 are rows of the text round-trip table.
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"", "", "mailto:a@b.c"},
        {"Hi there", "", "mailto:a@b.c?subject=Hi%20there"},
        {"Tom & Jerry", "x=1", "mailto:a@b.c?subject=Tom%20%26%20Jerry&body=x%3D1"},
        {"", "hello&cc=evil@example.com", "mailto:a@b.c?body=hello%26cc%3Devil@example.com"},
        {"1+1/2?", "@home:-._~!$'()*,;", "mailto:a@b.c?subject=1+1/2?&body=@home:-._~!$'()*,;"},
        {"<\"x\">", "{|}\\^`[]", "mailto:a@b.c?subject=%3C%22x%22%3E&body=%7B%7C%7D%5C%5E%60%5B%5D"},
        {"\xff\xfe", "ok", "mailto:a@b.c?body=ok"},  // not UTF-8: the item is left out
    };
    for (const auto& [subject, body, expected] : cases) {
        SCOPED_TRACE(subject + " / " + body);
        RecordingUrlOpener opener;
        EXPECT_EQ(sendEmail(opener, "a@b.c", subject, body), "Mail composer opened for a@b.c.");
        ASSERT_EQ(opener.urls().size(), 1u);
        EXPECT_EQ(opener.urls()[0], expected);
    }
}

TEST(MailTools, RefusesMissingRecipientInvalidUrlAndUnknownName) {
    const ToolError missing("LocalTool", 400, "Missing recipient");
    const ToolError invalid("LocalTool", 400, "Invalid mailto URL");
    const std::tuple<std::string, Arguments, ToolError> cases[] = {
        {"send_email", {}, missing},
        {"send_email", {{"recipient", 42}}, missing},
        {"send_email", {{"recipient", "a b@c.d"}}, invalid},
        {"send_email", {{"recipient", "é@b.c"}}, invalid},
        {"send_email", {{"recipient", "a@b.c\n"}}, invalid},
        {"Send_Email", {{"recipient", "a@b.c"}}, ToolError("MailTool", 404, "Unknown mail tool: Send_Email")},
    };
    for (const auto& [name, arguments, expected] : cases) {
        RecordingUrlOpener opener;
        testing::expectToolError([&] { handleMailTool(opener, name, arguments).value(); }, expected);
        EXPECT_TRUE(opener.urls().empty());
    }
    // What would end the address stays in it: no second header, no fragment.
    const std::pair<std::string, std::string> recipients[] = {
        {"a@b.c?cc=evil@x.y", "mailto:a@b.c%3Fcc=evil@x.y?subject=s"},
        {"a@b.c&cc=e@x.y#f", "mailto:a@b.c%26cc=e@x.y%23f?subject=s"},
        {"a%20b@c.d%zz", "mailto:a%2520b@c.d%25zz?subject=s"},
    };
    for (const auto& [recipient, url] : recipients) {
        RecordingUrlOpener opener;
        EXPECT_EQ(handleMailTool(opener, "send_email", {{"recipient", recipient}, {"subject", "s"}}).value(),
                  "Mail composer opened for " + recipient + ".");
        EXPECT_EQ(opener.urls().at(0), url);
    }
}

// Replaces a standard descriptor with one end of a pipe, and puts it back.
class RedirectedFd {
public:
    RedirectedFd(int target, int replacement) : target_(target), saved_(::dup(target)) { ::dup2(replacement, target_); }
    ~RedirectedFd() {
        ::dup2(saved_, target_);
        ::close(saved_);
    }

private:
    int target_;
    int saved_;
};

// The opener writes to its standard output and reads its standard input; the
// protocol stream (our standard output and input) must not notice.
TEST(MailTools, OpenerCannotTouchTheProtocolStream) {
    testsupport::ScratchDir dir;
    const std::string record = dir.file("record");
    testsupport::writeScript(dir.file("xdg-open"),
                           "echo '{\"jsonrpc\":\"2.0\",\"method\":\"garbage\"}'\n"
                           "IFS= read -r line\n"
                           "printf '%s|%s\\n%s\\n' \"$#\" \"$1\" \"read:$line\" > '" + record + ".tmp'\n"
                           "mv '" + record + ".tmp' '" + record + "'\n");
    std::optional<testsupport::ScopedPath> path(std::in_place, dir.path() + ":" + testsupport::ScopedPath::current());

    testsupport::Pipe out, in;
    const std::string request = "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\n";
    ASSERT_TRUE(testsupport::writeAll(in.writeEnd, request));

    auto sink = std::make_shared<platform::MemoryDiagnosticSink>();
    std::string result;
    bool finished = false;
    std::fflush(stdout);
    std::cout.flush();
    {
        RedirectedFd stdoutToPipe(1, out.writeEnd);
        RedirectedFd stdinFromPipe(0, in.readEnd);
        platform::SpawnUrlOpener opener(sink);
        result = handleMailTool(opener, "send_email",
                                {{"recipient", "a@b.c"}, {"subject", "Tom & Jerry $(id)"}, {"body", "x\ny"}})
                     .value();
        finished = testsupport::waitUntil([&] { return opener.runningChildren() == 0; });
    }
    path.reset();
    out.closeWrite();
    in.closeWrite();
    const std::string leaked = testsupport::readAvailable(out.readEnd);
    const std::string stillThere = testsupport::readAvailable(in.readEnd);

    ASSERT_TRUE(finished);
    EXPECT_EQ(result, "Mail composer opened for a@b.c.");
    EXPECT_EQ(leaked, "");
    EXPECT_EQ(stillThere, request);
    // One argument, no shell between.
    EXPECT_EQ(testsupport::readFile(record), "1|mailto:a@b.c?subject=Tom%20%26%20Jerry%20$(id)&body=x%0Ay\nread:\n");
    EXPECT_TRUE(sink->lines().empty());
}

// A composer that cannot be started is an error naming the cause, never "opened",
// and one short diagnostic line.
TEST(MailTools, UnstartableComposerIsAnErrorNamingTheCause) {
    testsupport::ScratchDir dir, broken;
    testsupport::writeScript(dir.file("xdg-open"), "exit 0\n");
    testsupport::writeFile(broken.file("xdg-open"), "#!/nonexistent/interpreter\n");
    std::filesystem::permissions(broken.file("xdg-open"), std::filesystem::perms::owner_all);
    const std::tuple<std::string, std::string, std::string> rows[] = {  // PATH, body, error
        {dir.path() + "/none", "hello", "Mail composer not opened: no xdg-open is installed"},
        {dir.path(), std::string(200 * 1000, 'b'),
         "Mail composer not opened: the URL is too long to hand over (200018 bytes, at most 131072)"},
        {broken.path(), std::string(5000, 'y'),
         "Mail composer not opened: cannot start " + broken.file("xdg-open") + ": No such file or directory"},
    };
    for (const auto& [folders, body, message] : rows) {
        SCOPED_TRACE(message);
        testsupport::ScopedPath path(folders);
        auto sink = std::make_shared<platform::MemoryDiagnosticSink>();
        platform::SpawnUrlOpener opener(sink);
        testing::expectToolError(
            [&] { handleMailTool(opener, "send_email", {{"recipient", "a@b.c"}, {"body", body}}).value(); },
            ToolError("MailTool", 500, message));
        ASSERT_EQ(sink->lines().size(), 1u);
        EXPECT_NE(sink->lines()[0].find("mailto:a@b.c?body="), std::string::npos) << sink->lines()[0];
        EXPECT_LT(sink->lines()[0].size(), 600u);
        EXPECT_TRUE(testsupport::waitUntil([&] { return opener.runningChildren() == 0; }));
    }
}

}  // namespace
}  // namespace app::tools
