// Reading files that other programs keep (settings, desktop entries, lists,
// audio files): never opened blocking, checked on the descriptor that is read.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include <sys/stat.h>

namespace app::platform {

// A descriptor of the regular file at `path` (links followed), opened
// read-only without blocking and checked with fstat, so a FIFO or device put
// at the name, even after a look at it, is never waited on. -1 with errno
// set when it cannot be opened, EINVAL when it is not a regular file.
// `info`, when given, receives the descriptor's fstat.
int openRegularFile(const std::string& path, struct stat* info = nullptr);

// The file's bytes; nothing when it cannot be read, is not a regular file (a
// FIFO or device is never waited on) or is longer than `limit`. `why`, when
// given, receives the reason then.
std::optional<std::string> readSmallFile(const std::string& path, std::size_t limit, std::string* why = nullptr);

}  // namespace app::platform
