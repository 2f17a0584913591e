#include "app/tools/calendar/calendar_tools.hpp"

#include "app/tools/calendar/calendar_scripts.hpp"
#include "app/platform/ical_event_store.hpp"
#include "app/platform/scratch_dir.hpp"
#include "app/tools/calendar/event_kit_service.hpp"
#include "app/tools/calendar/reminders_tools.hpp"
#include "runtime/runtime.hpp"
#include "json/json.hpp"

#include "calendar_test_support.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace app::tools {
namespace {
using platform::AccessSubject;
using platform::AuthorizationStatus;
using platform::EntityType;
using testing::at;
using testing::CalendarScreen;
using testing::FakeCalendarPlatform;
using testing::ScopedTimeZone;
using testing::expectToolError;
using Titles = std::vector<std::string>;

Titles titlesOf(const std::string& text) {
    Titles titles;
    json::Value value = json::parse(text);
    for (const auto& item : value.asArray()) titles.push_back(item.find("title")->asString());
    return titles;
}

class CalendarToolsTest : public ::testing::Test {
protected:
    void SetUp() override {
        p.grant(AccessSubject::events());
        registerCalendarScripts(*p.host, calendarApp);
        handler = std::make_unique<CalendarToolHandler>(std::make_shared<CalendarManager>(p.store, p.diagnostics), p.host,
                                                        [this] { return now; });
    }

    std::string call(const std::string& name, const Arguments& arguments = {}) {
        return handler->handle(name, arguments, {});
    }

    platform::Event addEvent(std::string title, const char* start, const char* end,
                             std::optional<std::string> calendar = std::nullopt) {
        platform::NewEvent event;
        event.title = std::move(title);
        event.startDate = at(start);
        event.endDate = at(end);
        event.calendarIdentifier = std::move(calendar);
        return p.store->saveEvent(event);
    }

    std::vector<platform::Event> allEvents() {
        return p.store->events(at("1970-01-01T00:00:00Z"), at("2100-01-01T00:00:00Z"));
    }

    ScopedTimeZone zone{"UTC"};
    FakeCalendarPlatform p;
    std::shared_ptr<CalendarScreen> calendarApp = std::make_shared<CalendarScreen>(p.store);
    Instant now = at("2024-03-05T12:00:00Z");
    std::unique_ptr<CalendarToolHandler> handler;
};

TEST_F(CalendarToolsTest, GetEventsRangesLimitsAndOrder) {
    addEvent("Past meeting", "2024-03-04T09:00:00Z", "2024-03-04T10:00:00Z");
    addEvent("Running sync", "2024-03-05T11:00:00Z", "2024-03-05T13:00:00Z");
    addEvent("Team meeting", "2024-03-06T09:00:00Z", "2024-03-06T10:00:00Z");
    addEvent("Lunch", "2024-03-06T12:00:00Z", "2024-03-06T13:00:00Z");
    // Equal starts: the store's order (B made first) must survive the sort.
    addEvent("Standup B", "2024-03-07T09:00:00Z", "2024-03-07T09:15:00Z");
    addEvent("Standup A", "2024-03-07T09:00:00Z", "2024-03-07T09:15:00Z");
    addEvent("Dentist", "2024-03-11T09:00:00Z", "2024-03-11T10:00:00Z");
    addEvent("Late call", "2024-03-12T11:30:00Z", "2024-03-12T12:30:00Z");
    addEvent("Week end", "2024-03-12T12:00:00Z", "2024-03-12T13:00:00Z");
    addEvent("Quarterly MEETING review", "2024-03-25T09:00:00Z", "2024-03-25T10:00:00Z");
    addEvent("Far meeting", "2024-04-14T09:00:00Z", "2024-04-14T10:00:00Z");
    const Titles week = {"Running sync", "Team meeting", "Lunch", "Standup B", "Standup A", "Dentist", "Late call"};
    const std::tuple<const char*, Arguments, Titles> cases[] = {
        {"defaults: now to seven days on", {}, week},
        {"limit", {{"limit", 2}}, {"Running sync", "Team meeting"}},
        {"negative limit keeps nothing", {{"limit", -3}}, {}},
        {"fractional limit counts as absent", {{"limit", 2.5}}, week},
        {"plain day starts at local midnight",
         {{"fromDate", "2024-03-07"}},
         {"Standup B", "Standup A", "Dentist", "Late call"}},
        {"end is exclusive", {{"toDate", "2024-03-07"}}, {"Running sync", "Team meeting", "Lunch"}},
        {"unparseable start is now", {{"fromDate", "garbage"}}, week},
        {"both given",
         {{"fromDate", "2024-03-20"}, {"toDate", "2024-04-30"}},
         {"Quarterly MEETING review", "Far meeting"}},
        {"impossible day falls back", {{"fromDate", "2024-02-30"}}, week},
        {"local times without an offset",
         {{"fromDate", "2024-03-07T09:00:00"}, {"toDate", "2024-03-11T09:00:00.5"}},
         {"Standup B", "Standup A", "Dentist"}},
        {"fractional seconds, as JavaScript writes them",
         {{"fromDate", "2024-03-20T00:00:00.000Z"}, {"toDate", "2024-04-30T00:00:00.5+02:00"}},
         {"Quarterly MEETING review", "Far meeting"}},
    };
    for (const auto& [what, arguments, titles] : cases)
        EXPECT_EQ(titlesOf(call("get_events", arguments)), titles) << what;
    // Titles matched ignoring case, thirty days on from now.
    EXPECT_EQ(titlesOf(call("search_events", {{"searchText", "MeEtInG"}})),
              (Titles{"Team meeting", "Quarterly MEETING review"}));
    EXPECT_EQ(call("get_events", {{"limit", 0}}), "[]");
}

TEST_F(CalendarToolsTest, SevenCalendarDaysAcrossTheChangeToSummerTime) {
    ScopedTimeZone newYork("America/New_York");
    now = at("2024-03-05T17:00:00Z");  // 12:00 EST; seven days on is 12:00 EDT, 16:00Z
    addEvent("Inside", "2024-03-12T15:59:59Z", "2024-03-12T16:30:00Z");
    addEvent("Past the end", "2024-03-12T16:00:00Z", "2024-03-12T16:30:00Z");
    EXPECT_EQ(titlesOf(call("get_events")), Titles{"Inside"});
}

TEST_F(CalendarToolsTest, EventJsonIsPrettyUnsortedWithEscapedSlashes) {
    ScopedTimeZone shanghai("Asia/Shanghai");
    auto work = p.store->addCalendar("Work/Home", EntityType::Event);
    platform::NewEvent first;
    first.title = "Say \"hi\" \\ there";
    first.startDate = at("2024-01-15T09:00:00+08:00");
    first.endDate = at("2024-01-15T10:00:00+08:00");
    first.location = "Room 1";
    first.notes = "Line1\nLine2";
    first.url = "https://example.com/a?b=c";
    first.calendarIdentifier = work.identifier;
    auto saved = p.store->saveEvent(first);
    std::string created =
        call("create_event",
             {{"title", "假期"}, {"startDate", "2024-01-16"}, {"endDate", "2024-01-17"}, {"isAllDay", true}});
    auto all = allEvents();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(created, "✅ Event created: 假期 (ID: " + all[1].identifier + ")");

    const std::string expected = R"([
  {
    "id" : ")" + saved.identifier + R"(",
    "title" : "Say \"hi\" \\ there",
    "location" : "Room 1",
    "notes" : "Line1\nLine2",
    "startDate" : "2024-01-15T01:00:00Z",
    "endDate" : "2024-01-15T02:00:00Z",
    "calendarName" : "Work\/Home",
    "isAllDay" : false,
    "url" : "https:\/\/example.com\/a?b=c"
  },
  {
    "id" : ")" + all[1].identifier + R"(",
    "title" : "假期",
    "startDate" : "2024-01-15T16:00:00Z",
    "endDate" : "2024-01-16T16:00:00Z",
    "calendarName" : "Calendar",
    "isAllDay" : true
  }
])";
    EXPECT_EQ(call("get_events", {{"fromDate", "2024-01-15"}, {"toDate", "2024-01-17"}}), expected);

    // The record reads back from its own JSON.
    json::Value parsed = json::parse(expected);
    EXPECT_EQ(decodeCalendarEvent(parsed.asArray()[0]), calendarEvent(saved));
    EXPECT_EQ(decodeCalendarEvent(parsed.asArray()[1]), calendarEvent(all[1]));
}

TEST_F(CalendarToolsTest, CreateEventRefusals) {
    const char* title = "Title is required";
    const char* format = "Invalid date format. Use ISO8601.";
    const char* order = "End date must be after start date";
    const std::tuple<const char*, Arguments, const char*> cases[] = {
        {"no title", {}, title},
        {"tab and ideographic space", {{"title", "\t\u3000"}}, title},
        {"no dates", {{"title", "T"}}, format},
        {"impossible day", {{"title", "T"}, {"startDate", "2024-02-30"}, {"endDate", "2024-03-02"}}, format},
        {"equal",
         {{"title", "T"}, {"startDate", "2024-01-15T09:00:00Z"}, {"endDate", "2024-01-15T17:00:00+08:00"}},
         order},
        {"equal all-day",
         {{"title", "T"}, {"startDate", "2024-01-15"}, {"endDate", "2024-01-15"}, {"isAllDay", true}},
         order},
    };
    for (const auto& [what, arguments, message] : cases) {
        SCOPED_TRACE(what);
        expectToolError([&] { call("create_event", arguments); }, ToolError("CalendarTool", 400, message));
    }
    EXPECT_TRUE(allEvents().empty());

    p.store->setSaveFailure("disk full");
    expectToolError([&] { call("create_event", {{"title", "T"}, {"startDate", "2024-01-15"}, {"endDate", "2024-01-16"}}); },
                    ToolError("EventStore", 500, "save event: disk full"));
    EXPECT_TRUE(allEvents().empty());
}

// Times the tools take in where a change of offset skips or repeats them:
// a local day whose midnight is skipped starts after the gap, one whose
// midnight is repeated at the first.
TEST_F(CalendarToolsTest, CreateEventInAChangeOfOffset) {
    ScopedTimeZone havana("America/Havana");
    const std::tuple<const char*, const char*, const char*, const char*> cases[] = {  // start, end given; stored
        {"2030-03-10", "2030-03-11", "2030-03-10T05:00:00Z", "2030-03-11T04:00:00Z"},
        {"2030-11-03", "2030-11-04", "2030-11-03T04:00:00Z", "2030-11-04T05:00:00Z"},
        {"2030-11-03T00:30:00.250-05:00", "2030-11-04", "2030-11-03T05:30:00Z", "2030-11-04T05:00:00Z"},
        {"2030-11-03T00:30:00", "2030-11-03T01:30:00", "2030-11-03T04:30:00Z", "2030-11-03T06:30:00Z"},
        {"2030-03-10T00:30:00", "2030-03-10T02:00:00", "2030-03-10T05:30:00Z", "2030-03-10T06:00:00Z"},
    };
    for (const auto& [start, end, storedStart, storedEnd] : cases) {
        SCOPED_TRACE(start);
        const std::string reply = call("create_event", {{"title", "T"}, {"startDate", start}, {"endDate", end}});
        const auto made = p.store->event(reply.substr(reply.rfind("(ID: ") + 5, reply.size() - reply.rfind("(ID: ") - 6));
        ASSERT_TRUE(made) << reply;
        EXPECT_EQ(formatInternetDateTime(made->startDate), storedStart);
        EXPECT_EQ(formatInternetDateTime(made->endDate), storedEnd);
    }
}

TEST_F(CalendarToolsTest, AccessIsCheckedBeforeAnythingElse) {
    // What is stored (none: undetermined), the answer when asked, whether calls run, the prompts shown.
    const std::tuple<const char*, std::optional<AuthorizationStatus>, bool, bool, int> cases[] = {
        {"undetermined, granted on asking", std::nullopt, true, true, 1},
        {"undetermined, refused on asking", std::nullopt, false, false, 1},
        {"full access", AuthorizationStatus::FullAccess, false, true, 0},
        {"restricted", AuthorizationStatus::Restricted, true, false, 0},
        {"write only", AuthorizationStatus::WriteOnly, true, false, 0},
        {"unknown raw value", static_cast<AuthorizationStatus>(7), true, false, 0},
    };
    const ToolError denied("CalendarTool", 403, "Calendar access denied. Please grant access in System Settings.");
    for (const auto& [what, status, answered, allowed, prompts] : cases) {
        SCOPED_TRACE(what);
        FakeCalendarPlatform fresh;
        if (status) fresh.prompter->setStatus(AccessSubject::events(), *status);
        bool answer = answered;
        fresh.prompter->setAsker([answer](const AccessSubject&) { return answer; });
        CalendarToolHandler tools(std::make_shared<CalendarManager>(fresh.store, fresh.diagnostics), fresh.host,
                                  [this] { return now; });
        if (allowed) {
            EXPECT_EQ(tools.handle("get_events", {}, {}), "[]");
        }
        const auto allowedOr = [&](ToolError error) { return allowed ? error : denied; };
        if (!allowed) expectToolError([&] { tools.handle("get_events", {}, {}); }, denied);
        expectToolError([&] { tools.handle("open_event", {}, {}); }, allowedOr({"CalendarTool", 400, "Missing eventId"}));
        expectToolError([&] { tools.handle("no_such_tool", {}, {}); },
                        allowedOr({"CalendarTool", 404, "Unknown calendar tool: no_such_tool"}));
        EXPECT_EQ(fresh.prompter->promptCount(AccessSubject::events()), prompts);
    }

    // A request that fails counts as no access, and says why on the diagnostics.
    FakeCalendarPlatform failing;
    failing.prompter->setAsker([](const AccessSubject&) -> bool { throw std::runtime_error("no prompt today"); });
    CalendarToolHandler tools(std::make_shared<CalendarManager>(failing.store, failing.diagnostics), failing.host);
    expectToolError([&] { tools.handle("get_events", {}, {}); }, denied);
    EXPECT_EQ(failing.diagnostics->lines(),
              std::vector<std::string>{"Calendar access request failed: no prompt today"});
}

TEST_F(CalendarToolsTest, CalendarTitlesWithQuotesAndBackslashesRoundTripThroughTheStandIn) {
    for (const char* title : {"Team \"A\" \\ B", "ends in a backslash \\", "\" & (do shell script \"touch /tmp/pwned\") & \""}) {
        SCOPED_TRACE(title);
        auto calendar = p.store->addCalendar(title, EntityType::Event);
        auto event = addEvent("Meeting", "2024-03-06T09:00:00Z", "2024-03-06T10:00:00Z", calendar.identifier);
        EXPECT_EQ(call("open_event", {{"eventId", event.identifier}}), "✅ Event opened in Calendar");
        // The stand-in shows the event only when it got the title back exactly.
        EXPECT_EQ(calendarApp->view(), (CalendarScreen::View{true, event.identifier, std::nullopt}));
    }
    // No calendar of that title holds it: nothing is opened, and the answer says so.
    auto event = addEvent("Lost", "2024-03-06T09:00:00Z", "2024-03-06T10:00:00Z");
    auto run = p.host->run(openEventScript("No such calendar", event.identifier, "Wednesday, March 6"));
    EXPECT_EQ(run.outcome, platform::ScriptRun::Outcome::Failed);
    ASSERT_TRUE(run.error && run.error->message);
    EXPECT_EQ(*run.error->message,
              "Calendar cannot show the event: no calendar \"No such calendar\" holds " + event.identifier + ".");
}

// A stopped call reaches the store's reading of its files: it ends with no
// answer (rt::Cancelled), never with an error that reads as the store's.
TEST(CalendarTools, AStoppedCallEndsWithoutAnAnswer) {
    testsupport::ScratchDir dir;
    std::filesystem::create_directories(dir.file("c/work"));
    testsupport::writeFile(dir.file("c/work/a.ics"),
                           "BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\nUID:a\r\nDTSTART:20250320T090000Z\r\nEND:VEVENT\r\n"
                           "END:VCALENDAR\r\n");
    auto prompter = std::make_shared<platform::FakeAccessPrompter>();
    prompter->setStatus(AccessSubject::events(), AuthorizationStatus::FullAccess);
    prompter->setStatus(AccessSubject::reminders(), AuthorizationStatus::FullAccess);
    auto store = std::make_shared<platform::IcalEventStore>(dir.file("c"), prompter, nullptr);
    CalendarToolHandler calendar(std::make_shared<CalendarManager>(store), nullptr);
    RemindersToolHandler reminders(std::make_shared<EventKitService>(store), nullptr);
    std::stop_source stopped;
    stopped.request_stop();
    const std::tuple<ToolFamily*, const char*, Arguments> rows[] = {
        {&calendar, "get_events", {}},
        {&calendar, "search_events", {{"searchText", "a"}}},
        {&calendar, "open_event", {{"eventId", "a"}}},
        {&calendar, "create_event", {{"title", "T"}, {"startDate", "2025-03-20"}, {"endDate", "2025-03-21"}}},
        {&reminders, "reminders_fetch", {}},
        {&reminders, "reminders_add", {{"title", "T"}}},
        {&reminders, "reminders_get_lists", {}},
    };
    for (const auto& [family, name, arguments] : rows)
        EXPECT_THROW(family->handle(name, arguments, stopped.get_token()), rt::Cancelled) << name;
    EXPECT_EQ(calendar.handle("open_event", {{"eventId", "a"}}, {}), "❌ Failed to open event: Unknown AppleScript error");
}

}  // namespace
}  // namespace app::tools
