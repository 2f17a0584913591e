// Writing the files the stores share with other programs: whole, synced,
// private, through a temp file of an unpredictable name that no planted link
// can redirect, with a modification time of the store's choosing (the stores
// order items by it).
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include <sys/types.h>

namespace app::platform {

// Nanoseconds since the epoch of a file time.
inline std::int64_t nanosecondsOf(const struct timespec& t) {
    return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// The current time, but strictly after `after` (nanoseconds since the epoch).
std::int64_t stampAfter(std::int64_t after);

// The current UTC time as 20261207T051500Z: what names a file set aside.
std::string utcStamp();

// Writes all of text to fd, retrying short writes; false on failure (errno set).
bool writeAll(int fd, std::string_view text);

struct TempFileOptions {
    std::optional<std::int64_t> modified;  // nanoseconds since the epoch; now when absent
    mode_t mode = 0600;
};

// Writes text, synced, to a new file in `directory` named
// ".<stem>.tmp-<pid>-<random>", created with O_EXCL|O_NOFOLLOW so a link or
// file planted under the name is never written through. Returns 0 with the
// file's path in `path`, or the errno of the failure with nothing left behind.
int writeTempFile(const std::string& directory, std::string_view stem, std::string_view text,
                  const TempFileOptions& options, std::string& path);

// Replaces directory/name with text: a temp file renamed over it, so readers
// see the old or the new file whole, and a link planted at the name is
// replaced rather than followed. Returns 0 or the errno of the failure.
int replaceFile(const std::string& directory, const std::string& name, std::string_view text,
                const TempFileOptions& options = {});

// The pid a temp name written above carries, or nothing for another name.
std::optional<pid_t> tempFileWriter(std::string_view name);

// True when no process `pid` runs any more (a pid that cannot be asked counts as alive).
bool writerIsGone(pid_t pid);

// Removes `name` from the folder when it is a temp file written above whose
// writer is gone (killed mid-write); one of a live writer, or of this
// process, stays. A link under such a name is removed, never followed.
void removeIfAbandoned(int folderFd, const char* name,
                       std::optional<pid_t> (*writerOf)(std::string_view) = tempFileWriter);
// The same for every such temp file of the folder (`writerOf` tells the
// writer's pid from a name); a missing folder is no error.
void removeAbandonedTempFiles(const std::string& folder,
                              std::optional<pid_t> (*writerOf)(std::string_view) = tempFileWriter);

}  // namespace app::platform
