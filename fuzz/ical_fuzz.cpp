// iCalendar items as other programs leave them in a collection: any file
// content is read as events, reminders or nothing (skipped), no occurrence
// of a recurring event falls outside the asked window, components nested
// without end are refused rather than recursed into, and recurrence rules
// cost at most one call's budget. Each input runs under its own memory and
// time limit (set below unless given on the command line), so an input that
// makes the store expand without bound is a finding, not a slow run.
#include "app/platform/access_prompter.hpp"
#include "app/platform/ical_event_store.hpp"
#include "fuzz_check.hpp"
#include "support/fake_access_prompter.hpp"

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace app::platform;

namespace {

const std::filesystem::path& folder() {
    static const std::filesystem::path root = [] {
        auto dir = std::filesystem::temp_directory_path() / ("brisolet-ical-fuzz-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir / "Calendar");
        return dir;
    }();
    return root;
}

}  // namespace

// Per-input limits: memory 512 MB, 10 s (the call's own budget is 2 s).
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static std::vector<char*> args(*argv, *argv + *argc);
    static char memory[] = "-malloc_limit_mb=512", time[] = "-timeout=10";
    auto given = [&](const char* flag) {
        for (int i = 1; i < *argc; ++i)
            if (std::strncmp((*argv)[i], flag, std::strlen(flag)) == 0) return true;
        return false;
    };
    if (!given("-malloc_limit_mb=")) args.insert(args.begin() + 1, memory);
    if (!given("-timeout=")) args.insert(args.begin() + 1, time);
    args.push_back(nullptr);
    *argc = static_cast<int>(args.size() - 1);
    *argv = args.data();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    {
        std::ofstream out(folder() / "Calendar" / "item.ics", std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    // One store for the run: it sees the rewritten file as another program's change.
    static IcalEventStore store(folder().string(), std::make_shared<FakeAccessPrompter>(), nullptr);
    using namespace std::chrono;
    // A wide window: rules that repeat every second have eighty years to fill.
    const Instant start = sys_days(year(2020) / 1 / 1), end = sys_days(year(2100) / 1 / 1);
    const auto began = steady_clock::now();
    const std::vector<Event> events = store.events(start, end);
    FUZZ_CHECK(steady_clock::now() - began < seconds(5));
    // The call's occurrence budget, and at most one event per component.
    FUZZ_CHECK(events.size() <= 50000 + size / 8);
    for (const Event& event : events) FUZZ_CHECK(eventOccursWithin(event, start, end));
    (void)store.reminders(ReminderPredicate{});
    return 0;
}
