#include "app/platform/music_library.hpp"

#include "app/platform/environment.hpp"
#include "app/platform/music_module.hpp"
#include "app/platform/platform_error.hpp"
#include "app/platform/small_file.hpp"
#include "json/utf8.hpp"
#include "runtime/runtime.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace app::platform {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

FolderMusicLibrary::Stamp stampOf(const struct stat& info) {
    return {static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec,
            static_cast<std::int64_t>(info.st_size)};
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

std::string lowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string extensionOf(std::string_view name) {
    auto dot = name.find_last_of('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    return lowerAscii(name.substr(dot + 1));
}

std::string stemOf(std::string_view name) {
    auto dot = name.find_last_of('.');
    return std::string(dot == std::string_view::npos || dot == 0 ? name : name.substr(0, dot));
}

bool isAudioExtension(const std::string& extension) {
    static const std::set<std::string, std::less<>> known = {
        "mp3", "flac", "ogg", "oga", "opus", "m4a", "mp4", "aac", "wav", "aif",
        "aiff", "wma", "ape", "wv", "mpc", "spx", "tta", "dsf", "dff"};
    return known.count(extension) > 0;
}

bool hasScheme(std::string_view entry) {
    auto colon = entry.find("://");
    if (colon == std::string_view::npos || colon == 0) return false;
    return std::all_of(entry.begin(), entry.begin() + static_cast<std::ptrdiff_t>(colon), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
               c == '-' || c == '.';
    });
}

}  // namespace

std::string percentDecoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned value = 0;
        if (text[i] == '%' && i + 2 < text.size() &&
            std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16).ptr == text.data() + i + 3) {
            out.push_back(static_cast<char>(value));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::string fileUri(std::string_view absolutePath) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out = "file://";
    for (unsigned char c : absolutePath) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                     c == '.' || c == '_' || c == '~' || c == '/';
        if (plain) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

std::vector<std::string> parseM3u(std::string_view raw, std::string_view baseDirectory) {
    std::string text = json::repairUtf8(raw);
    std::string_view rest = text;
    if (rest.substr(0, 3) == "\xEF\xBB\xBF") rest.remove_prefix(3);
    std::vector<std::string> entries;
    while (!rest.empty()) {
        std::size_t end = rest.find_first_of("\r\n");
        std::string_view line = trimmed(rest.substr(0, end));
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (line.empty() || line.front() == '#') continue;
        if (line.substr(0, 5) == "file:") {
            std::string_view path = line.substr(5);
            if (path.substr(0, 2) == "//") {
                path.remove_prefix(2);
                path.remove_prefix(std::min(path.find('/'), path.size()));  // the host, usually empty
            }
            // "file://host" alone names no file.
            if (!path.empty()) entries.push_back(percentDecoded(path));
        } else if (hasScheme(line)) {
            entries.emplace_back(line);
        } else if (line.front() == '/') {
            entries.emplace_back(line);
        } else {
            std::string joined(baseDirectory);
            if (!joined.empty() && joined.back() != '/') joined.push_back('/');
            entries.push_back(joined.append(line));
        }
    }
    return entries;
}

std::optional<std::string> musicDirectoryFromUserDirs(std::string_view text, std::string_view home) {
    std::optional<std::string> found;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = trimmed(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        constexpr std::string_view key = "XDG_MUSIC_DIR=";
        if (line.substr(0, key.size()) != key) continue;
        line.remove_prefix(key.size());
        if (line.size() < 2 || line.front() != '"' || line.back() != '"') continue;
        std::string value;
        bool escaped = false;
        for (char c : line.substr(1, line.size() - 2)) {
            if (!escaped && c == '\\') {
                escaped = true;
                continue;
            }
            value.push_back(c);
            escaped = false;
        }
        if (value.rfind("$HOME", 0) == 0 && (value.size() == 5 || value[5] == '/')) {
            found = std::string(home) + value.substr(5);
        } else if (!value.empty() && value.front() == '/') {
            found = value;
        }  // anything else is not a folder the format allows: ignored
    }
    if (found && found->size() > 1 && found->back() == '/') found->pop_back();
    return found;
}

std::string musicDirectory(const Environment& environment) {
    std::string home = environment.homeDirectory();
    if (auto text = readSmallFile(environment.configHome() + "/user-dirs.dirs", 1024 * 1024))
        if (auto folder = musicDirectoryFromUserDirs(*text, home)) return *folder;
    return home + "/Music";
}

// FolderMusicLibrary

FolderMusicLibrary::FolderMusicLibrary(std::function<std::string()> folder, std::shared_ptr<AudioTagReader> reader)
    : folder_(std::move(folder)), reader_(std::move(reader)) {
    if (!folder_ || !reader_) throw std::invalid_argument("FolderMusicLibrary needs a folder and a tag reader");
}

std::shared_ptr<const MusicLibraryContents> FolderMusicLibrary::contents() {
    std::lock_guard lock(mutex_);
    const std::stop_token stop = rt::currentStop();
    const std::string root = folder_();
    if (root != cachedFolder_) {
        tracks_.clear();
        playlists_.clear();
        cachedFolder_ = root;
    }

    struct Found {
        std::string path, name;
        Stamp stamp;
        bool playlist;
    };
    std::vector<Found> found;
    struct stat rootInfo {};
    if (::stat(root.c_str(), &rootInfo) != 0) {
        int error = errno;
        if (error != ENOENT) throw errnoError("read the music folder " + root, error);
        rootInfo.st_mode = 0;  // no folder: an empty library
    }
    std::set<std::pair<dev_t, ino_t>> visited;
    std::vector<std::pair<std::string, int>> pending;
    if (S_ISDIR(rootInfo.st_mode)) {
        visited.insert({rootInfo.st_dev, rootInfo.st_ino});
        pending.emplace_back(root, 0);
    }
    std::size_t seen = 0;
    while (!pending.empty() && seen < maxFiles) {
        if (stop.stop_requested()) throw rt::Cancelled();
        auto [dir, depth] = std::move(pending.back());
        pending.pop_back();
        DIR* stream = ::opendir(dir.c_str());
        if (!stream) continue;  // unreadable folders are left out, as a player would
        std::vector<std::string> names;
        while (dirent* entry = ::readdir(stream)) {
            std::string_view name = entry->d_name;
            if (name != "." && name != "..") names.emplace_back(name);
        }
        ::closedir(stream);
        for (const auto& name : names) {
            if (++seen > maxFiles) break;
            std::string path = (dir.back() == '/' ? dir : dir + "/") + name;
            struct stat info {};
            if (::stat(path.c_str(), &info) != 0) continue;  // dangling link, or gone meanwhile
            if (S_ISDIR(info.st_mode)) {
                if (depth + 1 <= maxDepth && visited.insert({info.st_dev, info.st_ino}).second)
                    pending.emplace_back(path, depth + 1);
                continue;
            }
            if (!S_ISREG(info.st_mode)) continue;
            std::string extension = extensionOf(name);
            bool playlist = extension == "m3u" || extension == "m3u8";
            if (!playlist && !isAudioExtension(extension)) continue;
            found.push_back({std::move(path), name, stampOf(info), playlist});
        }
    }

    std::map<std::string, CachedTrack> tracks;
    std::map<std::string, CachedPlaylist> playlists;
    for (auto& file : found) {
        if (stop.stop_requested()) throw rt::Cancelled();
        if (file.playlist) {
            auto old = playlists_.find(file.path);
            if (old != playlists_.end() && old->second.stamp == file.stamp) {
                playlists.insert(*old);
                continue;
            }
            CachedPlaylist cached{file.stamp, std::nullopt};
            if (auto text = readSmallFile(file.path, maxPlaylistBytes))
                cached.playlist = LibraryPlaylist{stemOf(file.name), file.path,
                                                  parseM3u(*text, file.path.substr(0, file.path.find_last_of('/')))};
            playlists.emplace(file.path, std::move(cached));
            continue;
        }
        auto old = tracks_.find(file.path);
        if (old != tracks_.end() && old->second.stamp == file.stamp) {
            tracks.insert(*old);
            continue;
        }
        // Read from what is at the name now, checked on its descriptor: a
        // FIFO swapped in since the walk looked is never waited on.
        struct stat info {};
        const int fd = openRegularFile(file.path, &info);
        if (fd < 0) continue;
        CachedTrack cached{stampOf(info), std::nullopt};
        try {
            auto tags = reader_->read(fd, file.path, stop);
            // Stopped within the file: what it gave may lack tags the file has.
            if (stop.stop_requested()) throw rt::Cancelled();
            if (tags) {
                std::string title = tags->title.empty() ? stemOf(file.name) : tags->title;
                cached.track = LibraryTrack{file.path, std::move(title), tags->artist, tags->album};
            }
        } catch (...) {
            ::close(fd);
            throw;
        }
        ::close(fd);
        tracks.emplace(file.path, std::move(cached));
    }
    tracks_ = std::move(tracks);
    playlists_ = std::move(playlists);

    auto out = std::make_shared<MusicLibraryContents>();
    for (const auto& [path, cached] : tracks_)
        if (cached.track) out->tracks.push_back(*cached.track);
    for (const auto& [path, cached] : playlists_)
        if (cached.playlist) out->playlists.push_back(*cached.playlist);
    std::stable_sort(out->playlists.begin(), out->playlists.end(),
                     [](const LibraryPlaylist& a, const LibraryPlaylist& b) { return a.name < b.name; });
    return out;
}

}  // namespace app::platform
