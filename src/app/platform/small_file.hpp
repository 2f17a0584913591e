// Reading whole small files that other programs keep (settings, desktop
// entries, lists): never opened blocking, bounded in size.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace app::platform {

// The file's bytes; nothing when it cannot be read, is not a regular file (a
// FIFO or device is never waited on) or is longer than `limit`.
std::optional<std::string> readSmallFile(const std::string& path, std::size_t limit);

}  // namespace app::platform
