// open_event and reminders_open_app hand the files to the user's own programs.
#include "app/platform/ical_event_store.hpp"
#include "app/platform/scratch_dir.hpp"
#include "app/tools/calendar/calendar_scripts.hpp"
#include "app/tools/calendar/reminders_scripts.hpp"

#include <gtest/gtest.h>

namespace app::tools {
namespace {

// An opener that fails as one that cannot start does.
class RefusingOpener : public platform::UrlOpener {
public:
    void open(const std::string&) override { throw platform::PlatformError("open URL", "no xdg-open is installed"); }
};

TEST(OpenInPrograms, TheEventFileAndTheListFolderGoToTheOpener) {
    testsupport::ScratchDir dir;
    auto prompter = std::make_shared<platform::FakeAccessPrompter>();
    auto store = std::make_shared<platform::IcalEventStore>(dir.file("cal"), prompter, nullptr);
    platform::NewEvent input;
    input.title = "Dentist";
    input.startDate = platform::Instant(std::chrono::hours(24 * 20000));
    input.endDate = input.startDate + std::chrono::hours(1);
    auto event = store->saveEvent(input);
    const std::string calendar = store->defaultCalendar(platform::EntityType::Event)->title;

    struct Row {
        std::shared_ptr<platform::UrlOpener> opener;
        platform::ScriptRun::Outcome outcome;
        std::string reason;
    };
    auto recording = std::make_shared<platform::RecordingUrlOpener>();
    // The desktop's own xdg-open, with no desktop to open in, fails too.
    testsupport::ScopedPath path("/usr/bin:/bin");
    testsupport::ScopedVariable noDesktop[] = {{"DISPLAY", nullptr}, {"WAYLAND_DISPLAY", nullptr},
                                               {"XDG_CURRENT_DESKTOP", nullptr}, {"BROWSER", nullptr}};
    const std::string eventFile = dir.file("cal/Calendar/" + event.identifier + ".ics");
    const Row rows[] = {{recording, platform::ScriptRun::Outcome::Succeeded, ""},
                        {std::make_shared<RefusingOpener>(), platform::ScriptRun::Outcome::Failed,
                         "no xdg-open is installed"},
                        {std::make_shared<platform::SpawnUrlOpener>(nullptr), platform::ScriptRun::Outcome::Failed,
                         "xdg-open: no method available for opening '" + eventFile + "' (exit status 3)"}};
    for (const auto& row : rows) {
        platform::TemplateScriptHost host(prompter);
        registerCalendarScripts(host, std::make_shared<CalendarStandIn>(store, row.opener));
        registerRemindersScripts(host, std::make_shared<RemindersStandIn>(store, row.opener));
        auto opened = host.run(openEventScript(calendar, event.identifier, "today"));
        auto activated = host.run(kActivateRemindersScript);
        EXPECT_EQ(opened.outcome, row.outcome);
        EXPECT_EQ(activated.outcome, row.outcome);
        if (row.outcome == platform::ScriptRun::Outcome::Failed) {
            ASSERT_TRUE(opened.error && opened.error->message);
            EXPECT_EQ(*opened.error->message, "Calendar cannot show the event: " + row.reason);
        }
    }
    EXPECT_EQ(recording->urls(), (std::vector<std::string>{eventFile,
                                                           dir.file("cal/Reminders")}));
}

}  // namespace
}  // namespace app::tools
