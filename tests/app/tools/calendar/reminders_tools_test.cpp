#include "app/tools/calendar/reminders_tools.hpp"

#include "app/tools/calendar/event_kit_service.hpp"
#include "app/tools/calendar/reminders_scripts.hpp"

#include "calendar_test_support.hpp"

#include <gtest/gtest.h>

namespace app::tools {
namespace {

using platform::AccessSubject;
using platform::DateComponents;
using platform::EntityType;
using testing::at;
using testing::FakeCalendarPlatform;
using testing::ScopedTimeZone;
using testing::expectToolError;

class RemindersTest : public ::testing::Test {
protected:
    void SetUp() override {
        p.grant(AccessSubject::reminders());
        registerRemindersScripts(*p.host, remindersApp);
        service = std::make_shared<EventKitService>(p.store, p.diagnostics, [this] { return now; });
        handler = std::make_unique<RemindersToolHandler>(service, p.host);
    }

    std::string call(const std::string& name, const Arguments& arguments = {}) {
        return handler->handle(name, arguments, {});
    }

    std::vector<platform::Reminder> allReminders() {
        auto open = p.store->reminders({});
        platform::ReminderPredicate done;
        done.completed = true;
        for (auto& reminder : p.store->reminders(done)) open.push_back(reminder);
        return open;
    }

    ScopedTimeZone zone{"UTC"};
    FakeCalendarPlatform p;
    std::shared_ptr<RemindersStandIn> remindersApp = std::make_shared<RemindersStandIn>();
    Instant now = at("2024-03-05T12:00:00Z");
    std::shared_ptr<EventKitService> service;
    std::unique_ptr<RemindersToolHandler> handler;
};

TEST_F(RemindersTest, ListsAreChosenByPartOfTheirNameIgnoringCase) {
    p.store->addCalendar("Groceries", EntityType::Reminder);
    p.store->addCalendar("Home Office", EntityType::Reminder);
    p.store->addCalendar("home", EntityType::Reminder);
    p.store->addCalendar("home", EntityType::Event);  // an event calendar is no list
    // The name asked for, the list chosen (none: refused).
    const std::pair<std::optional<std::string>, std::optional<std::string>> cases[] = {
        {"home", "Home Office"},     {"HOME", "Home Office"}, {"office", "Home Office"}, {"cer", "Groceries"},
        {std::nullopt, "Reminders"}, {"Work", std::nullopt},  {"", std::nullopt},
    };
    for (const auto& [name, list] : cases) {
        SCOPED_TRACE(name.value_or("(none)"));
        std::size_t before = allReminders().size();
        if (!list) {
            expectToolError([&] { service->createReminder("T", std::nullopt, 0, std::nullopt, name); },
                            ToolError("EventKitService", 404, "Reminder list '" + *name + "' not found"));
            EXPECT_EQ(allReminders().size(), before);
            continue;
        }
        std::string id = service->createReminder("T", std::nullopt, 0, std::nullopt, name);
        EXPECT_EQ(p.store->reminder(id)->calendar.title, *list);
    }
    // The name no list has is quoted whole, its control characters shown escaped.
    const std::tuple<const char*, Arguments, std::string> unknown[] = {
        {"reminders_add", {{"title", "T"}, {"listName", std::string("L\0x", 3)}},
         "Failed to create reminder: Reminder list 'L\\u0000x' not found"},
        {"reminders_fetch", {{"listName", "a\tb\r\n\u001b"}},
         "Failed to fetch reminders: Reminder list 'a\\tb\\r\\n\\u001b' not found"},
    };
    const std::size_t before = allReminders().size();
    for (const auto& [tool, arguments, message] : unknown)
        expectToolError([&] { call(tool, arguments); }, ToolError("LocalTool", 500, message));
    EXPECT_EQ(allReminders().size(), before);
}

TEST_F(RemindersTest, AddReadsItsArgumentsAndDueDates) {
    ScopedTimeZone shanghai("Asia/Shanghai");
    struct Case {
        Arguments arguments;
        std::optional<DateComponents> due;
        std::optional<std::string> alarm;
        std::int64_t priority = 0;
        std::optional<std::string> notes;
    };
    const Case cases[] = {
        {{{"title", ""}}},
        {{{"title", "P"}, {"priority", "5"}}},  // priority as text is none
        {{{"title", "P"}, {"priority", 9}}, std::nullopt, std::nullopt, 9},
        {{{"title", "N"}, {"notes", "two\nlines"}}, std::nullopt, std::nullopt, 0, "two\nlines"},
        {{{"title", "D"}, {"dueDate", "2025-03-01"}}, DateComponents{2025, 3, 1, 0, 0}, "2025-02-28T16:00:00Z"},
        {{{"title", "I"}, {"dueDate", "2025-03-01T09:30:45Z"}}, DateComponents{2025, 3, 1, 17, 30}, "2025-03-01T09:30:45Z"},
        {{{"title", "F"}, {"dueDate", "2025-03-01T09:30:00.000Z"}}, DateComponents{2025, 3, 1, 17, 30}, "2025-03-01T09:30:00Z"},
        {{{"title", "G"}, {"dueDate", 20250301}}},
        {{{"title", "L"}, {"dueDate", "2025-03-01T09:30:00"}}, DateComponents{2025, 3, 1, 9, 30}, "2025-03-01T01:30:00Z"},
    };
    for (const auto& c : cases) {
        const std::string reply = call("reminders_add", c.arguments);
        SCOPED_TRACE(reply);
        const std::string prefix = "✅ Created reminder: " + *c.arguments.at("title").ifText() + " (ID: ";
        ASSERT_EQ(reply.rfind(prefix, 0), 0u);
        auto saved = p.store->reminder(reply.substr(prefix.size(), reply.size() - prefix.size() - 1));
        ASSERT_TRUE(saved);
        EXPECT_EQ(saved->dueDateComponents, c.due);
        EXPECT_EQ(saved->alarms, c.alarm ? std::vector<Instant>{at(*c.alarm)} : std::vector<Instant>{});
        EXPECT_EQ(saved->priority, c.priority);
        EXPECT_EQ(saved->notes, c.notes);
    }
}

// Refused access is the service's 403, wrapped as each tool's 500.
TEST_F(RemindersTest, RefusedAccessIsEachToolsFailure) {
    p.prompter->setStatus(AccessSubject::reminders(), platform::AuthorizationStatus::Denied);
    const std::tuple<const char*, Arguments, const char*> rows[] = {
        {"reminders_add", {{"title", "T"}}, "Failed to create reminder: "},
        {"reminders_fetch", {}, "Failed to fetch reminders: "},
        {"reminders_find", {{"query", "T"}}, "Failed to search reminders: "},
        {"reminders_get_lists", {}, "Failed to get reminder lists: "},
    };
    for (const auto& [name, arguments, opening] : rows)
        expectToolError([&] { call(name, arguments); },
                        ToolError("LocalTool", 500, std::string(opening) + "Reminders access denied"));
    EXPECT_TRUE(allReminders().empty());
}

// A due date that is given but cannot be read is refused, never dropped.
TEST_F(RemindersTest, AnUnreadableDueDateIsRefusedAndNothingIsSaved) {
    for (const char* due : {"2030-02-30", "2030-02-30T10:00:00Z", "tomorrow", "2030-07-01T00:00:00.Z", " 2030-07-01"}) {
        SCOPED_TRACE(due);
        expectToolError([&] { call("reminders_add", {{"title", "T"}, {"dueDate", due}}); },
                        ToolError("LocalTool", 400,
                                  std::string("Invalid dueDate '") + due +
                                      "'. Use ISO 8601, e.g. 2025-03-01T09:30:00Z or 2025-03-01."));
    }
    expectToolError([&] { call("reminders_add", {{"title", "T"}, {"dueDate", std::string("2030-07-01\0", 11)}}); },
                    ToolError("LocalTool", 400,
                              "Invalid dueDate '2030-07-01\\u0000'. Use ISO 8601, e.g. 2025-03-01T09:30:00Z or 2025-03-01."));
    EXPECT_TRUE(allReminders().empty());
    // A priority the files cannot hold (0 to 9) is refused whole, never wrapped to fit.
    const std::pair<AnyValue, const char*> priorities[] = {
        {std::int64_t{4294967297}, "4294967297"}, {std::int64_t{2147483648}, "2147483648"},
        {std::int64_t{9223372036854775807}, "9223372036854775807"}, {std::int64_t{12}, "12"},
        {std::int64_t{-1}, "-1"}, {1e19, "1e+19"}, {3.5, "3.5"}};
    for (const auto& [priority, shown] : priorities) {
        SCOPED_TRACE(shown);
        expectToolError([&] { call("reminders_add", {{"title", "T"}, {"priority", priority}}); },
                        ToolError("LocalTool", 400,
                                  std::string("Invalid priority ") + shown + ". Use 0 (none) or 1 (highest) to 9 (lowest)."));
    }
    EXPECT_TRUE(allReminders().empty());
    // An empty text is a field left blank: no due date. A whole priority
    // sent as a double is that priority.
    call("reminders_add", {{"title", "T"}, {"dueDate", ""}, {"priority", 5.0}});
    ASSERT_EQ(allReminders().size(), 1u);
    EXPECT_FALSE(allReminders()[0].dueDateComponents);
    EXPECT_EQ(allReminders()[0].priority, 5);
}

}  // namespace
}  // namespace app::tools
