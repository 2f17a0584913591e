#include "app/platform/media_players.hpp"

#include "app/platform/music_library.hpp"
#include "app/platform/music_module.hpp"

#include <charconv>
#include <cmath>
#include <type_traits>

namespace app::platform {

namespace {

const std::string* textAt(const MprisMetadata& metadata, std::string_view key) {
    auto it = metadata.find(key);
    return it == metadata.end() ? nullptr : std::get_if<std::string>(&it->second);
}

std::optional<double> microsecondsAt(const MprisMetadata& metadata, std::string_view key) {
    auto it = metadata.find(key);
    if (it == metadata.end()) return std::nullopt;
    std::optional<double> value = std::visit(
        [](const auto& v) -> std::optional<double> {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::int64_t> || std::is_same_v<T, std::uint64_t> ||
                          std::is_same_v<T, double>)
                return static_cast<double>(v);
            return std::nullopt;
        },
        it->second);
    if (!value || !std::isfinite(*value) || *value < 0) return std::nullopt;
    return *value / 1e6;
}

// "file:///m/a%20b.flac" -> "a b.flac": percent escapes decoded, bad ones kept.
std::string lastUrlSegment(std::string_view url) {
    if (auto query = url.find_first_of("?#"); query != std::string_view::npos) url = url.substr(0, query);
    while (!url.empty() && url.back() == '/') url.remove_suffix(1);
    std::string_view segment = url.substr(url.find_last_of('/') + 1);
    return percentDecoded(segment);
}

}  // namespace

TrackInfo trackFromMetadata(const MprisMetadata& metadata) {
    TrackInfo track;
    if (const auto* title = textAt(metadata, "xesam:title"); title && !title->empty()) {
        track.title = *title;
    } else if (const auto* url = textAt(metadata, "xesam:url")) {
        track.title = lastUrlSegment(*url);
    }
    if (auto it = metadata.find("xesam:artist"); it != metadata.end()) {
        if (const auto* list = std::get_if<std::vector<std::string>>(&it->second)) {
            for (const auto& name : *list) {
                if (name.empty()) continue;
                if (!track.artist.empty()) track.artist += ", ";
                track.artist += name;
            }
        } else if (const auto* one = std::get_if<std::string>(&it->second)) {
            track.artist = *one;
        }
    }
    if (const auto* album = textAt(metadata, "xesam:album")) track.album = *album;
    track.lengthSeconds = microsecondsAt(metadata, "mpris:length");
    return track;
}

std::string secondsText(double seconds) {
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, seconds);
    return std::string(buffer, result.ptr);
}

// SessionMediaPlayers

// The bus connection is not shared between threads: one call at a time.
template <class F>
auto SessionMediaPlayers::withClient(F call) {
    std::lock_guard lock(mutex_);
    if (!client_) client_ = musicModule().makeSessionMediaPlayers();
    return call(*client_);
}

std::vector<std::string> SessionMediaPlayers::playerNames(PlayerDeadline deadline) {
    return withClient([&](MediaPlayers& c) { return c.playerNames(deadline); });
}
PlayerStatus SessionMediaPlayers::status(const std::string& player, PlayerDeadline deadline) {
    return withClient([&](MediaPlayers& c) { return c.status(player, deadline); });
}
void SessionMediaPlayers::command(const std::string& player, std::string_view method, PlayerDeadline deadline) {
    withClient([&](MediaPlayers& c) { c.command(player, method, deadline); });
}
void SessionMediaPlayers::setVolume(const std::string& player, double volume, PlayerDeadline deadline) {
    withClient([&](MediaPlayers& c) { c.setVolume(player, volume, deadline); });
}
bool SessionMediaPlayers::setShuffle(const std::string& player, bool shuffle, PlayerDeadline deadline) {
    return withClient([&](MediaPlayers& c) { return c.setShuffle(player, shuffle, deadline); });
}
void SessionMediaPlayers::openUri(const std::string& player, const std::string& uri, PlayerDeadline deadline) {
    withClient([&](MediaPlayers& c) { c.openUri(player, uri, deadline); });
}

}  // namespace app::platform
