// get_events over a calendar of 10,000 events (and a few weekly series) kept
// as iCalendar files: the in-memory index must answer in well under 100 ms.
#include "app/platform/access_prompter.hpp"
#include "app/platform/ical_event_store.hpp"
#include "app/tools/calendar/calendar_manager.hpp"
#include "app/tools/calendar/calendar_tools.hpp"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace {

namespace fs = std::filesystem;
constexpr int kEvents = 10000;
constexpr int kSeries = 50;

std::string stamp(std::time_t t) {
    char buffer[32];
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    std::strftime(buffer, sizeof buffer, "%Y%m%dT%H%M%SZ", &tm);
    return buffer;
}

// A calendar folder as another program would leave it, made once per process.
const std::string& calendarRoot() {
    static const std::string root = [] {
        std::string dir = (fs::temp_directory_path() / ("brisolet-bench-calendar-" + std::to_string(::getpid()))).string();
        fs::create_directories(dir + "/work");
        std::ofstream(dir + "/work/displayname") << "Work";
        const std::time_t start = 1735689600;  // 2025-01-01
        for (int i = 0; i < kEvents + kSeries; ++i) {
            std::time_t at = start + static_cast<std::time_t>(i % kEvents) * 3153;  // spread over a year
            std::string uid = "bench-" + std::to_string(i);
            std::ofstream(dir + "/work/" + uid + ".ics")
                << "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Bench//EN\r\nBEGIN:VEVENT\r\nUID:" << uid
                << "\r\nDTSTAMP:20250101T000000Z\r\nSUMMARY:Event " << i << "\r\nDTSTART:" << stamp(at)
                << "\r\nDTEND:" << stamp(at + 1800) << "\r\nLOCATION:Room " << i % 40
                << (i >= kEvents ? "\r\nRRULE:FREQ=WEEKLY" : "") << "\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
        }
        std::atexit([] { fs::remove_all(calendarRoot()); });
        return dir;
    }();
    return root;
}

std::shared_ptr<app::platform::IcalEventStore> openStore() {
    return std::make_shared<app::platform::IcalEventStore>(calendarRoot(),
                                                           std::make_shared<app::platform::FakeAccessPrompter>(),
                                                           nullptr);
}

app::tools::Arguments weekInJune() {
    return {{"fromDate", "2025-06-02T00:00:00Z"}, {"toDate", "2025-06-09T00:00:00Z"}, {"limit", 10}};
}

// The tool call as a client makes it, with the index warm.
void BM_GetEventsWarm(benchmark::State& state) {
    auto manager = std::make_shared<app::tools::CalendarManager>(openStore());
    app::tools::CalendarToolHandler tools(manager, nullptr);
    tools.handle("get_events", weekInJune(), {});
    for (auto _ : state) benchmark::DoNotOptimize(tools.handle("get_events", weekInJune(), {}));
}
BENCHMARK(BM_GetEventsWarm)->Unit(benchmark::kMillisecond);

// The first call of a new process: every file read and parsed.
void BM_GetEventsCold(benchmark::State& state) {
    for (auto _ : state) {
        auto manager = std::make_shared<app::tools::CalendarManager>(openStore());
        app::tools::CalendarToolHandler tools(manager, nullptr);
        benchmark::DoNotOptimize(tools.handle("get_events", weekInJune(), {}));
    }
}
BENCHMARK(BM_GetEventsCold)->Unit(benchmark::kMillisecond);

// A year's window: every occurrence of the series expanded.
void BM_EventsOfAYear(benchmark::State& state) {
    auto store = openStore();
    const auto from = app::platform::Instant(std::chrono::seconds(1735689600));
    const auto to = from + std::chrono::hours(24 * 365);
    store->events(from, to);
    for (auto _ : state) benchmark::DoNotOptimize(store->events(from, to));
}
BENCHMARK(BM_EventsOfAYear)->Unit(benchmark::kMillisecond);

}  // namespace
