#include "app/tools/music/music_stand_in.hpp"

#include "app/platform/unicode_text.hpp"
#include "app/tools/music/music_tools.hpp"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace app::tools {

namespace {

constexpr std::string_view kPlayerPrefix = "org.mpris.MediaPlayer2.";

struct Template {
    const char* id;
    const std::string_view* source;
    const char* method;  // the MPRIS method of a transport command
};

const Template kTemplates[] = {
    {"music.play", &musicPlayScript, "Play"},
    {"music.pause", &musicPauseScript, "Pause"},
    {"music.next", &musicNextScript, "Next"},
    {"music.previous", &musicPreviousScript, "Previous"},
    {"music.setVolume", &musicSetVolumeTemplate, nullptr},
    {"music.currentTrack", &musicCurrentTrackScript, nullptr},
    {"music.libraryStats", &musicLibraryStatsScript, nullptr},
    {"music.listPlaylists", &musicListPlaylistsTemplate, nullptr},
    {"music.search", &musicSearchTemplate, nullptr},
    {"music.playSong", &musicPlaySongTemplate, nullptr},
    {"music.playPlaylist", &musicPlayPlaylistTemplate, nullptr},
};

std::string lowerAscii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string shortName(const std::string& player) {
    return player.compare(0, kPlayerPrefix.size(), kPlayerPrefix) == 0 ? player.substr(kPlayerPrefix.size()) : player;
}

template <class T>
std::string joined(const std::vector<T>& items, std::int64_t limit, const char* separator,
                   const std::function<std::string(const T&)>& text) {
    std::string out;
    for (std::size_t i = 0; i < items.size() && static_cast<std::int64_t>(i) < limit; ++i) {
        if (i > 0) out += separator;
        out += text(items[i]);
    }
    return out;
}

}  // namespace

std::optional<std::string> choosePlayer(std::vector<std::string> names,
                                        const std::function<std::string(const std::string&)>& playbackStatusOf) {
    if (names.empty()) return std::nullopt;
    std::sort(names.begin(), names.end());
    std::optional<std::string> paused;
    for (const auto& name : names) {
        std::string status = playbackStatusOf(name);
        if (status == "Playing") return name;
        if (status == "Paused" && !paused) paused = name;
    }
    return paused ? paused : names.front();
}

MusicStandIn::MusicStandIn(std::shared_ptr<platform::MediaPlayers> players,
                           std::shared_ptr<platform::MusicLibrary> library)
    : players_(std::move(players)), library_(std::move(library)) {
    if (!players_ || !library_) throw std::invalid_argument("MusicStandIn needs media players and a library");
}

std::optional<MusicStandIn::Chosen> MusicStandIn::chosenPlayer() {
    std::map<std::string, platform::PlayerStatus> statuses;
    auto name = choosePlayer(players_->playerNames(), [&](const std::string& player) {
        try {
            return statuses.emplace(player, players_->status(player)).first->second.playbackStatus;
        } catch (const std::exception&) {
            return std::string();  // a player that does not answer is chosen last
        }
    });
    if (!name) return std::nullopt;
    auto known = statuses.find(*name);
    return Chosen{*name, known != statuses.end() ? known->second : players_->status(*name)};
}

std::string MusicStandIn::requirePlayer() {
    auto names = players_->playerNames();
    if (names.empty()) throw platform::ScriptFailure("No MPRIS media player is running.");
    if (names.size() == 1) return names.front();
    return chosenPlayer().value_or(Chosen{}).name;
}

std::optional<std::string> MusicStandIn::perform(const platform::ScriptCall& call) {
    const std::string& id = call.templateId;
    for (const auto& entry : kTemplates) {
        if (id != entry.id || !entry.method) continue;
        players_->command(requirePlayer(), entry.method);
        return std::nullopt;
    }
    if (id == "music.setVolume") {
        auto level = std::clamp<std::int64_t>(call.bindings.integer("level"), 0, 100);
        players_->setVolume(requirePlayer(), static_cast<double>(level) / 100.0);
        return std::nullopt;
    }
    if (id == "music.currentTrack") return currentTrack();
    if (id == "music.libraryStats") {
        auto library = library_->contents();
        return std::to_string(library->tracks.size()) + "|||" + std::to_string(library->playlists.size());
    }
    if (id == "music.listPlaylists") {
        auto library = library_->contents();
        return joined<platform::LibraryPlaylist>(library->playlists, call.bindings.integer("limit"), ", ",
                                                 [](const auto& playlist) { return playlist.name; });
    }
    if (id == "music.search") return search(call.bindings.text("query"), call.bindings.integer("limit"));
    if (id == "music.playSong") return playSong(call.bindings.text("song"));
    if (id == "music.playPlaylist") return playPlaylist(call.bindings.text("playlist"), call.bindings.boolean("shuffle"));
    throw platform::ScriptFailure("Music does not understand this script.");
}

std::string MusicStandIn::currentTrack() {
    auto chosen = chosenPlayer();
    if (!chosen || chosen->status.playbackStatus == "Stopped") return "STOPPED";
    platform::TrackInfo track = platform::trackFromMetadata(chosen->status.metadata);
    double position = static_cast<double>(chosen->status.positionMicroseconds.value_or(0)) / 1e6;
    return track.title + "|||" + track.artist + "|||" + track.album + "|||" +
           platform::secondsText(track.lengthSeconds.value_or(0)) + "|||" + platform::secondsText(position) + "|||" +
           lowerAscii(chosen->status.playbackStatus);
}

std::string MusicStandIn::search(const std::string& query, std::int64_t limit) {
    auto library = library_->contents();
    const std::string folded = platform::foldCase(query);
    std::vector<const platform::LibraryTrack*> found;
    for (const auto& track : library->tracks) {
        if (static_cast<std::int64_t>(found.size()) >= limit) break;
        if (platform::foldCase(track.title).find(folded) != std::string::npos ||
            platform::foldCase(track.artist).find(folded) != std::string::npos ||
            platform::foldCase(track.album).find(folded) != std::string::npos)
            found.push_back(&track);
    }
    return joined<const platform::LibraryTrack*>(found, static_cast<std::int64_t>(found.size()), "\n", [](const auto* track) {
        return track->title + " - " + track->artist + " (" + track->album + ")";
    });
}

std::string MusicStandIn::playSong(const std::string& song) {
    auto library = library_->contents();
    const std::string folded = platform::foldCase(song);
    for (const auto& track : library->tracks) {
        if (platform::foldCase(track.title).find(folded) == std::string::npos &&
            platform::foldCase(track.artist).find(folded) == std::string::npos &&
            platform::foldCase(track.album).find(folded) == std::string::npos)
            continue;
        players_->openUri(requirePlayer(), platform::fileUri(track.path));
        return "Playing: " + track.title + " by " + track.artist;
    }
    return "NOT_FOUND";
}

std::string MusicStandIn::playPlaylist(const std::string& name, bool shuffle) {
    auto library = library_->contents();
    const platform::LibraryPlaylist* playlist = nullptr;
    for (const auto& candidate : library->playlists)
        if (candidate.name == name) playlist = &candidate;
    const std::string folded = platform::foldCase(name);
    for (const auto& candidate : library->playlists)
        if (!playlist && platform::foldCase(candidate.name) == folded) playlist = &candidate;
    if (!playlist) return "NOT_FOUND";
    if (playlist->entries.empty())
        throw platform::ScriptFailure("The playlist \"" + playlist->name + "\" has no tracks to play.");

    std::string player = requirePlayer();
    // Turning shuffle off on a player that never shuffles leaves nothing to do.
    if (!players_->setShuffle(player, shuffle) && shuffle)
        throw platform::ScriptFailure("The media player " + shortName(player) + " does not support shuffle.");
    players_->openUri(player, platform::fileUri(playlist->path));
    return "Playing playlist: " + playlist->name;
}

bool registerMusicScripts(platform::TemplateScriptHost& host, std::shared_ptr<platform::ScriptStandIn> standIn) {
    if (host.recognise(musicPlayScript)) return false;
    for (const auto& entry : kTemplates) host.registerTemplate(entry.id, "Music", *entry.source);
    host.registerStandIn("Music", std::move(standIn));
    return true;
}

}  // namespace app::tools
