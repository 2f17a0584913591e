// get_events over a calendar of 10,000 events (and a few weekly series) kept
// as iCalendar files: the in-memory index must answer in well under 100 ms.
#include "app/platform/access_prompter.hpp"
#include "app/platform/ical_event_store.hpp"
#include "app/tools/calendar/calendar_manager.hpp"
#include "app/tools/calendar/calendar_tools.hpp"
#include "runtime/runtime.hpp"
#include "support/fake_access_prompter.hpp"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include <sys/resource.h>

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

// A new store over a folder holding a time zone whose rule fires every
// second (libical would expand it from 1601 on without end) and one whose
// rule fires hourly, next to a plain event: the first get_events of a
// month, with the process's peak memory.
void BM_HostileTimeZones(benchmark::State& state) {
    const std::string dir =
        (fs::temp_directory_path() / ("brisolet-bench-zones-" + std::to_string(::getpid()))).string();
    fs::create_directories(dir + "/work");
    for (const char* freq : {"SECONDLY", "HOURLY"})
        std::ofstream(dir + "/work/" + freq + ".ics")
            << "BEGIN:VCALENDAR\nVERSION:2.0\nPRODID:-//x//x//EN\nBEGIN:VTIMEZONE\nTZID:Storm\nBEGIN:STANDARD\n"
               "DTSTART:16010101T000000\nTZOFFSETFROM:+0100\nTZOFFSETTO:+0000\nRRULE:FREQ="
            << freq
            << "\nEND:STANDARD\nEND:VTIMEZONE\nBEGIN:VEVENT\nUID:" << freq
            << "\nDTSTART;TZID=Storm:20250610T090000\nSUMMARY:Storm\nEND:VEVENT\nEND:VCALENDAR\n";
    std::ofstream(dir + "/work/plain.ics")
        << "BEGIN:VCALENDAR\nBEGIN:VEVENT\nUID:p\nDTSTART:20250610T090000Z\nSUMMARY:Plain\nEND:VEVENT\nEND:VCALENDAR\n";
    const auto from = app::platform::Instant(std::chrono::seconds(1748736000));  // 2025-06-01
    for (auto _ : state) {
        app::platform::IcalEventStore store(dir, std::make_shared<app::platform::FakeAccessPrompter>(), nullptr);
        benchmark::DoNotOptimize(store.events(from, from + std::chrono::hours(24 * 30)));
    }
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_MB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
    fs::remove_all(dir);
}
BENCHMARK(BM_HostileTimeZones)->Unit(benchmark::kMillisecond);

// A folder holding one event whose SUMMARY is one line of `megabytes` MB.
std::string longLineRoot(int megabytes) {
    const std::string dir = (fs::temp_directory_path() / ("brisolet-bench-line-" + std::to_string(::getpid()) + "-" +
                                                          std::to_string(megabytes)))
                                .string();
    fs::create_directories(dir + "/work");
    std::ofstream(dir + "/work/long.ics") << "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Bench//EN\r\nBEGIN:VEVENT\r\n"
                                             "UID:long\r\nDTSTART:20250610T090000Z\r\nSUMMARY:"
                                          << std::string(std::size_t(megabytes) * 1000000 - 200, 'x')
                                          << "\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
    return dir;
}

// A new store reading a file of one 1, 4 or 16 MB line: linear in its size.
void BM_OneLongLine(benchmark::State& state) {
    const std::string dir = longLineRoot(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        app::platform::IcalEventStore store(dir, std::make_shared<app::platform::FakeAccessPrompter>(), nullptr);
        benchmark::DoNotOptimize(store.event("long"));
    }
    fs::remove_all(dir);
}
BENCHMARK(BM_OneLongLine)->Arg(1)->Arg(4)->Arg(16)->Unit(benchmark::kMillisecond);

// The same 16 MB line, the call stopped 20 ms into its reading: how long
// the stop takes to end it (stop_ms), from the request to rt::Cancelled.
void BM_StoppedWhileReadingALongLine(benchmark::State& state) {
    const std::string dir = longLineRoot(16);
    double stopMs = 0;
    for (auto _ : state) {
        app::platform::IcalEventStore store(dir, std::make_shared<app::platform::FakeAccessPrompter>(), nullptr);
        std::stop_source source;
        std::chrono::steady_clock::time_point requested{};
        std::jthread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            requested = std::chrono::steady_clock::now();
            source.request_stop();
        });
        rt::StopScope scope(source.get_token());
        try {
            store.event("long");
        } catch (const rt::Cancelled&) {
        }
        const auto ended = std::chrono::steady_clock::now();
        stopper.join();
        stopMs = std::max(stopMs, std::chrono::duration<double, std::milli>(ended - requested).count());
    }
    state.counters["stop_ms"] = stopMs;
    fs::remove_all(dir);
}
BENCHMARK(BM_StoppedWhileReadingALongLine)->Unit(benchmark::kMillisecond);

}  // namespace
