#include "app/platform/script_host.hpp"

#include <gtest/gtest.h>

#include "app/platform/apple_script.hpp"
#include "app/platform/script_template.hpp"
#include "support/fake_access_prompter.hpp"
#include "support/fake_script_host.hpp"

namespace app::platform {
namespace {
// The send script as the messages family builds it.
std::string sendScript(std::string_view recipient, std::string_view body) {
    return "tell application \"Messages\"\n"
           "    set targetService to 1st service whose service type = iMessage\n"
           "    set targetBuddy to buddy \"" +
           appleScriptEscaped(recipient) + "\" of targetService\n    send \"" + appleScriptEscaped(body) +
           "\" to targetBuddy\nend tell";
}

class TemplateHostTest : public ::testing::Test {
protected:
    TemplateHostTest() : prompter(std::make_shared<FakeAccessPrompter>()), host(prompter) {
        host.registerTemplate("messages.send", "Messages", sendScript(scriptSlot("recipient"), scriptSlot("body")));
        host.registerTemplate("reminders.open", "Reminders", "tell application \"Reminders\" to activate");
    }

    std::shared_ptr<FakeAccessPrompter> prompter;
    TemplateScriptHost host;
};

TEST_F(TemplateHostTest, ConsentIsAskedOnceAndARefusalIsErrorInformation) {
    auto standIn = std::make_shared<RecordingStandIn>();
    host.registerStandIn("Messages", standIn);
    host.registerStandIn("Reminders", standIn);
    const auto messages = AccessSubject::automation("Messages");

    prompter->setAsker([](const AccessSubject&) { return false; });
    ScriptRun refused = host.run(sendScript("+1", "hi"));
    ASSERT_EQ(refused.outcome, ScriptRun::Outcome::Failed);
    ASSERT_TRUE(refused.error);
    EXPECT_EQ(refused.error->description(),
              "{NSAppleScriptErrorAppName = \"Messages\"; NSAppleScriptErrorMessage = \"Not authorized to send "
              "Apple events to Messages.\"; NSAppleScriptErrorNumber = -1743;}");
    EXPECT_EQ(prompter->promptCount(messages), 1);
    EXPECT_EQ(host.run(sendScript("+1", "hi")).outcome, ScriptRun::Outcome::Failed);
    EXPECT_EQ(prompter->promptCount(messages), 1);  // decided: not asked again
    EXPECT_TRUE(standIn->calls().empty());

    // Each application is asked about on its own.
    prompter->setAsker(grantAccess);
    EXPECT_EQ(host.run("tell application \"Reminders\" to activate"), ScriptRun::succeeded(std::nullopt));
    EXPECT_EQ(prompter->promptCount(AccessSubject::automation("Reminders")), 1);
    EXPECT_EQ(standIn->calls().size(), 1u);

    const AuthorizationStatus refusals[] = {AuthorizationStatus::Restricted, AuthorizationStatus::Denied,
                                            AuthorizationStatus::WriteOnly, AuthorizationStatus{7}};
    for (auto status : refusals) {
        prompter->setStatus(AccessSubject::automation("Reminders"), status);
        EXPECT_EQ(host.run("tell application \"Reminders\" to activate").outcome, ScriptRun::Outcome::Failed);
    }
    EXPECT_EQ(standIn->calls().size(), 1u);
}

TEST(ScriptTemplateMatch, CodeSlotsTakeOnlyTheCanonicalFormsAFamilyWrites) {
    const ScriptTemplate set("t", "App", "set x to " + scriptSlot("v"));
    using Bound = std::optional<ScriptBindings::Value>;
    const std::pair<const char*, Bound> cases[] = {
        {"12", std::int64_t{12}},  {"0", std::int64_t{0}},
        {"-3", std::int64_t{-3}},  {"-9223372036854775808", INT64_MIN},
        {"true", true},            {"false", false},
        {"012", std::nullopt},     {"00", std::nullopt},
        {"-0", std::nullopt},      {"-", std::nullopt},
        {"+1", std::nullopt},      {"9223372036854775808", std::nullopt},
        {"1 ", std::nullopt},      {"True", std::nullopt},
    };
    for (const auto& [value, bound] : cases) {
        const auto bindings = set.match(lexAppleScript(std::string("set x to ") + value));
        EXPECT_EQ(bindings ? Bound(*bindings->find("v")) : std::nullopt, bound) << value;
    }
}

TEST(LexAppleScript, SplitsCodeAndDecodedLiterals) {
    struct Case {
        std::string source;
        std::vector<std::string> code, literals;
    };
    const Case cases[] = {
        {"tell application \"Music\" to play", {"tell application ", " to play"}, {"Music"}},
        {"", {""}, {}},
        {"\"\"", {"", ""}, {""}},
        {"\"a\"\"b\"", {"", "", ""}, {"a", "b"}},
        {"x \"q\\\"uote\\\\ \\n\\r\\t\"", {"x ", ""}, {"q\"uote\\ \n\r\t"}},
        {"\"raw\nline\"", {"", ""}, {"raw\nline"}},
        // a quote inside a comment starts no literal
        {"-- it's \"quoted\nset x to \"v\"", {"-- it's \"quoted\nset x to ", ""}, {"v"}},
        {"# \"\nx", {"# \"\nx"}, {}},
        {"(* a (* \"nested\" *) b *) \"v\"", {"(* a (* \"nested\" *) b *) ", ""}, {"v"}},
        {"read file \"p\" as «class utf8»", {"read file ", " as «class utf8»"}, {"p"}},
    };
    for (const auto& c : cases) {
        LexedScript lexed = lexAppleScript(c.source);
        EXPECT_EQ(lexed.code, c.code) << c.source;
        EXPECT_EQ(lexed.literals, c.literals) << c.source;
    }
}

}  // namespace
}  // namespace app::platform
