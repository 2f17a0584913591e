// Writing the files the stores share with other programs: whole, synced,
// with a modification time of the store's choosing (the stores order items
// by it).
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace app::platform {

// Nanoseconds since the epoch of a file time.
inline std::int64_t nanosecondsOf(const struct timespec& t) {
    return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// The current time, but strictly after `after` (nanoseconds since the epoch).
std::int64_t stampAfter(std::int64_t after);

// Writes all of text to fd, retrying short writes; false on failure (errno set).
bool writeAll(int fd, std::string_view text);

// Writes text as a new private file at `path` (a leftover of the same name is
// replaced), its modification time set to `modified`, and synced. Returns 0,
// or the errno of the failure with the file removed.
int writeStampedFile(const std::string& path, std::string_view text, std::int64_t modified);

}  // namespace app::platform
