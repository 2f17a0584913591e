#include "app/platform/script_host.hpp"

#include <gtest/gtest.h>

#include "app/platform/apple_script.hpp"

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

// A script with an integer in code, as the notes family lists notes.
std::string listScript(std::string_view limit) {
    return "tell application \"Notes\"\n    repeat with i from 1 to (count of notes)\n"
           "        if noteCount >= " +
           std::string(limit) + " then exit repeat\n    end repeat\nend tell";
}

// A literal mixing fixed text and two values, each also bound elsewhere.
std::string createScript(std::string_view title, std::string_view folder) {
    std::string t = appleScriptEscaped(title), f = appleScriptEscaped(folder);
    return "tell application \"Notes\"\n    if name of currentFolder is \"" + f +
           "\" then\n    make new note with properties {name:\"" + t + "\"}\n    return \"Created note '" + t +
           "' in folder '" + f + "'\"\nend tell";
}

std::string mapsScript(std::string_view encodedQuery) {
    return "tell application \"Maps\"\n    activate\n    open location \"maps://?q=" +
           appleScriptEscaped(encodedQuery) + "\"\nend tell";
}

class TemplateHostTest : public ::testing::Test {
protected:
    TemplateHostTest() : prompter(std::make_shared<FakeAccessPrompter>()), host(prompter) {
        host.registerTemplate("messages.send", "Messages", sendScript(scriptSlot("recipient"), scriptSlot("body")));
        host.registerTemplate("notes.list", "Notes", listScript(scriptSlot("limit")));
        host.registerTemplate("notes.create", "Notes", createScript(scriptSlot("title"), scriptSlot("folder")));
        host.registerTemplate("maps.open", "Maps", mapsScript(scriptSlot("query")));
        host.registerTemplate("reminders.open", "Reminders", "tell application \"Reminders\" to activate");
    }

    std::shared_ptr<FakeAccessPrompter> prompter;
    TemplateScriptHost host;
};

TEST_F(TemplateHostTest, TrickyValuesStayInsideTheirLiterals) {
    const std::string bodies[] = {
        "", "say \"hi\"", "C:\\dir\\", "\\\"", "line one\nline two\r\n\ttabbed", "-- not a comment",
        "\" to targetBuddy\nend tell\ndo shell script \"rm -rf ~", "\\\" & (do shell script \"id\") & \"",
        "中文 ⟦body⟧ «class utf8»",
    };
    for (const auto& body : bodies) {
        auto call = host.recognise(sendScript("+15551234567", body));
        ASSERT_TRUE(call) << body;
        EXPECT_EQ(call->templateId, "messages.send");
        EXPECT_EQ(call->application, "Messages");
        EXPECT_EQ(call->bindings.text("body"), body);
        EXPECT_EQ(call->bindings.text("recipient"), "+15551234567");
    }
}

TEST(ScriptTemplate, CodeSlotsTakeTheBooleanWords) {
    ScriptTemplate shuffle("t", "Music", "set shuffle to " + scriptSlot("s") + "\n    play");
    const std::pair<std::string, std::optional<ScriptBindings::Value>> cases[] = {
        {"true", true}, {"false", false}, {"12", std::int64_t{12}}, {"True", {}}, {"truex", {}}, {"true true", {}}};
    for (const auto& [code, bound] : cases) {
        auto bindings = shuffle.match(lexAppleScript("set shuffle to " + code + "\n    play"));
        EXPECT_EQ(bindings ? std::optional(*bindings->find("s")) : std::nullopt, bound) << code;
    }
}

TEST_F(TemplateHostTest, ConsentIsAskedOnceAndARefusalIsErrorInformation) {
    auto standIn = std::make_shared<RecordingStandIn>();
    host.registerStandIn("Messages", standIn);
    host.registerStandIn("Reminders", standIn);
    const auto messages = AccessSubject::automation("Messages");

    prompter->setAsker([](const AccessSubject&) { return false; });
    ScriptRun refused = host.run(sendScript("+1", "hi"));
    ASSERT_EQ(refused.outcome, ScriptRun::Outcome::Failed);
    ASSERT_TRUE(refused.error);
    EXPECT_EQ(refused.error->message, "Not authorized to send Apple events to Messages.");
    EXPECT_EQ(refused.error->number, scriptNotPermittedErrorNumber);
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

}  // namespace
}  // namespace app::platform
