// iCalendar items as other programs leave them in a collection: any file
// content is read as an event, a reminder or nothing (skipped), and no
// occurrence of a recurring event falls outside the asked window.
#include "app/platform/access_prompter.hpp"
#include "app/platform/ical_event_store.hpp"
#include "fuzz_check.hpp"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <unistd.h>

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

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    {
        std::ofstream out(folder() / "Calendar" / "item.ics", std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    // One store for the run: it sees the rewritten file as another program's change.
    static IcalEventStore store(folder().string(), std::make_shared<FakeAccessPrompter>(), nullptr);
    using namespace std::chrono;
    const Instant start = sys_days(year(2024) / 1 / 1), end = sys_days(year(2026) / 1 / 1);
    for (const Event& event : store.events(start, end)) {
        FUZZ_CHECK(eventOccursWithin(event, start, end));
    }
    (void)store.reminders(ReminderPredicate{});
    return 0;
}
