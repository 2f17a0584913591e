// What the calendar and reminders tests share: a fixed time zone for
// one test, instants written as text, and the fake platform.
#pragma once

#include "app/platform/access_prompter.hpp"
#include "app/platform/diagnostic_sink.hpp"
#include "app/platform/event_store.hpp"
#include "app/platform/script_host.hpp"
#include "app/tools/calendar/calendar_dates.hpp"
#include "app/tools/calendar/calendar_scripts.hpp"
#include "app/tools/tool_test_support.hpp"
#include "support/fake_access_prompter.hpp"
#include "support/in_memory_event_store.hpp"
#include "support/memory_diagnostic_sink.hpp"
#include "support/recording_url_opener.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace app::tools::testing {
// Sets TZ for the lifetime of the object and restores it afterwards.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) : saved_(std::getenv("TZ") ? std::getenv("TZ") : "") { set(zone); }
    ~ScopedTimeZone() { set(saved_.empty() ? nullptr : saved_.c_str()); }
    ScopedTimeZone(const ScopedTimeZone&) = delete;

private:
    static void set(const char* zone) {
        zone ? ::setenv("TZ", zone, 1) : ::unsetenv("TZ");
        ::tzset();
    }
    std::string saved_;
};

// An instant from its internet date-time text; fails the test for bad text.
inline Instant at(std::string_view text) {
    auto instant = parseInternetDateTime(text);
    EXPECT_TRUE(instant.has_value()) << text;
    return instant.value_or(Instant{});
}

// The in-memory store, its consent, a template host and the diagnostics.
struct FakeCalendarPlatform {
    std::shared_ptr<platform::FakeAccessPrompter> prompter = std::make_shared<platform::FakeAccessPrompter>();
    std::shared_ptr<platform::InMemoryEventStore> store = std::make_shared<platform::InMemoryEventStore>(prompter);
    std::shared_ptr<platform::TemplateScriptHost> host = std::make_shared<platform::TemplateScriptHost>(prompter);
    std::shared_ptr<platform::MemoryDiagnosticSink> diagnostics = std::make_shared<platform::MemoryDiagnosticSink>();

    void grant(platform::AccessSubject subject) {
        prompter->setStatus(subject, platform::AuthorizationStatus::FullAccess);
    }
};

// The Calendar application over the in-memory store, and what it shows after
// each open_event script: the event whose file it opened, else the day the
// script named.
class CalendarScreen : public platform::ScriptStandIn {
public:
    struct View {
        bool active = false;                     // brought to the front
        std::optional<std::string> shownEvent;   // the identifier of the event shown
        std::optional<std::string> dayViewDate;  // the date text of the day view, when no event was found
        bool operator==(const View&) const = default;
    };

    explicit CalendarScreen(std::shared_ptr<platform::InMemoryEventStore> store)
        : application_(std::make_shared<CalendarStandIn>(std::move(store), opened_)) {}

    std::optional<std::string> perform(const platform::ScriptCall& call) override {
        const std::size_t before = opened_->urls().size();
        auto result = application_->perform(call);
        const auto urls = opened_->urls();
        std::lock_guard lock(mutex_);
        view_.active = true;
        view_.shownEvent = std::nullopt;
        view_.dayViewDate = std::nullopt;
        if (urls.size() > before)
            view_.shownEvent = urls.back().substr(std::string_view("memory:").size());
        else
            view_.dayViewDate = call.bindings.text("date");
        return result;
    }

    View view() const {
        std::lock_guard lock(mutex_);
        return view_;
    }

private:
    std::shared_ptr<platform::RecordingUrlOpener> opened_ = std::make_shared<platform::RecordingUrlOpener>();
    std::shared_ptr<CalendarStandIn> application_;
    mutable std::mutex mutex_;
    View view_;
};

}  // namespace app::tools::testing
