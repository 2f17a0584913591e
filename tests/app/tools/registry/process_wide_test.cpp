// The services the program shares process-wide stand on the one store the
// program hands them, never on one of their own.
#include "support/in_memory_contact_store.hpp"
#include "support/in_memory_event_store.hpp"
#include "app/tools/calendar/calendar_manager.hpp"
#include "app/tools/calendar/event_kit_service.hpp"
#include "app/tools/contacts/contacts_manager.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>

namespace app::tools {
namespace {

TEST(ProcessWideServices, StandOnlyOnTheStoreTheyAreHanded) {
    auto events = std::make_shared<platform::InMemoryEventStore>();
    auto contacts = std::make_shared<platform::InMemoryContactStore>();
    struct Row {
        const char* service;
        // The store of the shared instance, asked with or without a store.
        std::function<const void*(bool)> storeOf;
        const void* expected;
    };
    const Row rows[] = {
        {"CalendarManager",
         [&](bool give) -> const void* { return &CalendarManager::shared(give ? events : nullptr)->store(); },
         events.get()},
        {"EventKitService",
         [&](bool give) -> const void* { return &EventKitService::shared(give ? events : nullptr)->eventStore(); },
         events.get()},
        {"ContactsManager",
         [&](bool give) -> const void* { return ContactsManager::shared(give ? contacts : nullptr)->store().get(); },
         contacts.get()},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.service);
        EXPECT_THROW(row.storeOf(false), std::invalid_argument);
        EXPECT_EQ(row.storeOf(true), row.expected);
        EXPECT_EQ(row.storeOf(false), row.expected);  // made once
    }
}

}  // namespace
}  // namespace app::tools
