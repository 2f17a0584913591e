// open_event and reminders_open_app hand the files to the user's own programs.
#include "app/platform/ical_event_store.hpp"
#include "app/platform/scratch_dir.hpp"
#include "app/tools/calendar/calendar_scripts.hpp"
#include "app/tools/calendar/calendar_tools.hpp"
#include "app/tools/calendar/reminders_scripts.hpp"
#include "support/fake_access_prompter.hpp"
#include "support/in_memory_event_store.hpp"
#include "support/recording_url_opener.hpp"
#include "json/json.hpp"

#include <gtest/gtest.h>

#include <filesystem>

namespace app::tools {
namespace {

// An opener that fails as one that cannot start does.
class RefusingOpener : public platform::UrlOpener {
public:
    void open(const std::string&) override { throw platform::PlatformError("open URL", "no xdg-open is installed"); }
};

// A sync tool that removes the event's file between the lookup and the open.
class SyncedAwayStore : public platform::IcalEventStore {
public:
    using IcalEventStore::IcalEventStore;
    std::optional<std::string> location(std::optional<std::string_view> identifier, platform::EntityType type) override {
        if (identifier && removeFiles)
            if (auto file = IcalEventStore::location(identifier, type)) std::filesystem::remove(*file);
        return IcalEventStore::location(identifier, type);
    }
    bool removeFiles = false;
};

TEST(OpenInPrograms, TheEventFileAndTheListFolderGoToTheOpener) {
    testsupport::ScratchDir dir;
    auto prompter = std::make_shared<platform::FakeAccessPrompter>();
    auto store = std::make_shared<SyncedAwayStore>(dir.file("cal"), prompter, nullptr);
    platform::NewEvent input;
    input.title = "Dentist";
    input.startDate = platform::Instant(std::chrono::hours(24 * 20000));
    input.endDate = input.startDate + std::chrono::hours(1);
    auto event = store->saveEvent(input);
    const std::string calendar = store->defaultCalendar(platform::EntityType::Event)->title;

    auto recording = std::make_shared<platform::RecordingUrlOpener>();
    const std::string file = dir.file("cal/Calendar/" + event.identifier + ".ics");
    const std::tuple<std::shared_ptr<platform::UrlOpener>, platform::ScriptRun::Outcome, std::string> rows[] = {
        {recording, platform::ScriptRun::Outcome::Succeeded, ""},
        {std::make_shared<RefusingOpener>(), platform::ScriptRun::Outcome::Failed, "no xdg-open is installed"},
        {nullptr, platform::ScriptRun::Outcome::Failed, "there is no program to open " + file + "."}};
    for (const auto& [opener, outcome, reason] : rows) {
        platform::TemplateScriptHost host(prompter);
        registerCalendarScripts(host, std::make_shared<CalendarStandIn>(store, opener));
        registerRemindersScripts(host, std::make_shared<RemindersStandIn>(store, opener));
        auto opened = host.run(openEventScript(calendar, event.identifier, "today"));
        auto activated = host.run(kActivateRemindersScript);
        EXPECT_EQ(opened.outcome, outcome);
        EXPECT_EQ(activated.outcome, outcome);
        if (outcome == platform::ScriptRun::Outcome::Failed) {
            ASSERT_TRUE(opened.error && opened.error->message);
            EXPECT_EQ(*opened.error->message, "Calendar cannot show the event: " + reason);
        }
    }
    EXPECT_EQ(recording->urls(), (std::vector<std::string>{file, dir.file("cal/Reminders")}));

    // The file gone by the time it is opened: no opener runs, and the answer says so.
    store->removeFiles = true;
    platform::TemplateScriptHost host(prompter);
    registerCalendarScripts(host, std::make_shared<CalendarStandIn>(store, recording));
    auto opened = host.run(openEventScript(calendar, event.identifier, "today"));
    EXPECT_EQ(opened.outcome, platform::ScriptRun::Outcome::Failed);
    ASSERT_TRUE(opened.error && opened.error->message);
    EXPECT_EQ(*opened.error->message, "Calendar cannot show the event: its file is gone.");
    EXPECT_EQ(recording->urls().size(), 2u);
}

// Two calendars each holding an export of the same name without UIDs: each
// event get_events lists opens its own file, whichever is listed first.
TEST(OpenInPrograms, EachListedEventOpensItsOwnFile) {
    testsupport::ScratchDir dir;
    const std::string root = dir.file("cal");
    const std::pair<const char*, const char*> files[] = {{"Work", "20250401T090000Z"}, {"Home", "20250402T090000Z"}};
    for (const auto& [folder, start] : files) {
        std::filesystem::create_directories(root + "/" + folder);
        testsupport::writeFile(root + "/" + folder + "/export.ics",
                               "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Other//App//EN\r\nBEGIN:VEVENT\r\n"
                               "SUMMARY:" + std::string(folder) + "\r\nDTSTART:" + start +
                               "\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n");
    }
    auto prompter = std::make_shared<platform::FakeAccessPrompter>();
    auto store = std::make_shared<platform::IcalEventStore>(root, prompter, nullptr);
    auto opener = std::make_shared<platform::RecordingUrlOpener>();
    auto host = std::make_shared<platform::TemplateScriptHost>(prompter);
    registerCalendarScripts(*host, std::make_shared<CalendarStandIn>(store, opener));
    CalendarToolHandler tools(std::make_shared<CalendarManager>(store, nullptr), host,
                              [] { return platform::Instant(std::chrono::sys_days(std::chrono::year(2025) / 3 / 30)); });
    const json::Value listed = json::parse(tools.handle("get_events", {{"toDate", "2025-04-05"}}, {}));
    std::vector<std::string> opened;
    for (const auto& event : listed.asArray()) {
        EXPECT_EQ(tools.handle("open_event", {{"eventId", event.find("id")->asString()}}, {}),
                  "✅ Event opened in Calendar");
        opened.push_back(root + "/" + event.find("title")->asString() + "/export.ics");
    }
    EXPECT_EQ(opened.size(), 2u);
    EXPECT_EQ(opener->urls(), opened);
}

// With no folder holding reminders the calendars folder opens; a store
// that keeps no files is a failure that says so, never a success.
TEST(OpenInPrograms, RemindersWithoutAListOpenTheCalendarsFolderOrSayWhyNot) {
    testsupport::ScratchDir dir;
    auto prompter = std::make_shared<platform::FakeAccessPrompter>();
    std::filesystem::create_directories(dir.file("cal/work"));
    testsupport::writeFile(dir.file("cal/work/a.ics"),
                           "BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\nUID:a\r\nDTSTART:20250320T090000Z\r\nEND:VEVENT\r\n"
                           "END:VCALENDAR\r\n");
    const std::tuple<std::shared_ptr<platform::EventStore>, std::optional<std::string>> rows[] = {
        {std::make_shared<platform::IcalEventStore>(dir.file("cal"), prompter, nullptr), dir.file("cal")},
        {std::make_shared<platform::InMemoryEventStore>(prompter), std::nullopt},
    };
    for (const auto& [store, opened] : rows) {
        auto recording = std::make_shared<platform::RecordingUrlOpener>();
        platform::TemplateScriptHost host(prompter);
        registerRemindersScripts(host, std::make_shared<RemindersStandIn>(store, recording));
        const auto run = host.run(kActivateRemindersScript);
        if (opened) {
            EXPECT_EQ(run.outcome, platform::ScriptRun::Outcome::Succeeded);
            EXPECT_EQ(recording->urls(), std::vector<std::string>{*opened});
        } else {
            EXPECT_EQ(run.outcome, platform::ScriptRun::Outcome::Failed);
            ASSERT_TRUE(run.error && run.error->message);
            EXPECT_EQ(*run.error->message, "Reminders cannot open the list: the reminders are kept in no folder.");
            EXPECT_TRUE(recording->urls().empty());
        }
    }
}

}  // namespace
}  // namespace app::tools
