// The user's music library on this system: the audio files under the music
// folder, tagged with TagLib, and the .m3u/.m3u8 playlists in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace app::platform {

class AudioTagReader;
class Environment;

struct LibraryTrack {
    std::string path;
    std::string title;  // the file name without its extension when the file has no title
    std::string artist;
    std::string album;

    bool operator==(const LibraryTrack&) const = default;
};

struct LibraryPlaylist {
    std::string name;  // the file name without its extension
    std::string path;
    std::vector<std::string> entries;  // as parseM3u gives them

    bool operator==(const LibraryPlaylist&) const = default;
};

struct MusicLibraryContents {
    std::vector<LibraryTrack> tracks;        // by path
    std::vector<LibraryPlaylist> playlists;  // by name, then path
};

class MusicLibrary {
public:
    virtual ~MusicLibrary() = default;
    // The library as it is now on disk. Throws std::runtime_error when it cannot be read at all,
    // rt::Cancelled when the thread's call (rt::currentStop) is stopped.
    virtual std::shared_ptr<const MusicLibraryContents> contents() = 0;
};

// The entries of an M3U/M3U8 playlist in order: blank lines and "#" lines
// (directives, comments) skipped, a leading byte-order mark and line ends
// (\n, \r\n, \r) dropped, blanks at both ends trimmed. A relative path is
// joined to `baseDirectory`; a "file:" URI becomes its decoded path; any
// other URI ("scheme://...") is kept as written. Invalid UTF-8 is repaired.
std::vector<std::string> parseM3u(std::string_view text, std::string_view baseDirectory);

// "file://" and the absolute path with every byte but A-Z a-z 0-9 - . _ ~ /
// percent-encoded (upper-case hex).
std::string fileUri(std::string_view absolutePath);

// %XX escapes decoded; a '%' not followed by two hex digits stays as it is.
std::string percentDecoded(std::string_view text);

// The XDG_MUSIC_DIR line of a user-dirs.dirs text: "$HOME/..." or an
// absolute path between double quotes, backslash escapes honoured. None
// when the file names no usable music folder.
std::optional<std::string> musicDirectoryFromUserDirs(std::string_view text, std::string_view home);

// XDG_MUSIC_DIR from $XDG_CONFIG_HOME/user-dirs.dirs, else ~/Music.
std::string musicDirectory(const Environment& environment);

// The library of a folder. Every call of contents() walks the folder again;
// a file whose modification time and size are unchanged keeps the tags read
// before. Only regular files count (symbolic links followed, a folder met a
// second time never entered again); the walk is bounded in depth and count,
// and a stop ends it between files and within one.
class FolderMusicLibrary : public MusicLibrary {
public:
    static constexpr std::size_t maxFiles = 200000;
    static constexpr int maxDepth = 32;
    static constexpr std::size_t maxPlaylistBytes = 4 * 1024 * 1024;

    // `folder` is asked at every call (the folder setting may change).
    FolderMusicLibrary(std::function<std::string()> folder, std::shared_ptr<AudioTagReader> reader);

    std::shared_ptr<const MusicLibraryContents> contents() override;

    struct Stamp {
        std::int64_t modified = 0;  // nanoseconds
        std::int64_t size = 0;
        bool operator==(const Stamp&) const = default;
    };

private:
    struct CachedTrack {
        Stamp stamp;
        std::optional<LibraryTrack> track;  // none: not readable as audio
    };
    struct CachedPlaylist {
        Stamp stamp;
        std::optional<LibraryPlaylist> playlist;
    };

    std::function<std::string()> folder_;
    std::shared_ptr<AudioTagReader> reader_;
    std::mutex mutex_;
    std::string cachedFolder_;
    std::map<std::string, CachedTrack> tracks_;
    std::map<std::string, CachedPlaylist> playlists_;
};

}  // namespace app::platform
