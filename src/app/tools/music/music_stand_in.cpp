#include "app/tools/music/music_stand_in.hpp"

#include "app/platform/unicode_text.hpp"
#include "app/tools/music/music_tools.hpp"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <utility>

namespace app::tools {

namespace {

constexpr std::string_view kPlayerPrefix = "org.mpris.MediaPlayer2.";
// All a script may spend waiting on players: a frozen one costs this once.
constexpr auto kScriptTime = std::chrono::seconds(3);
// How often a player that was told to play is asked whether it does.
constexpr auto kPlayingPoll = std::chrono::milliseconds(50);

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

// Whether the player plays a track. "Playing" alone is not enough: between
// two files, or idle with an empty playlist, a player may say so with no
// track, or with only a track id that names none (mpv: "/noplaylist").
bool hasTrack(const platform::PlayerStatus& status) {
    return std::any_of(status.metadata.begin(), status.metadata.end(),
                       [](const auto& entry) { return entry.first != "mpris:trackid"; });
}

bool playsATrack(const platform::PlayerStatus& status) { return status.playbackStatus == "Playing" && hasTrack(status); }

// Whether the player plays one of the paths: the file:// or other URL its
// track names, or a track it names by no URL.
bool playsOneOf(const platform::PlayerStatus& status, const std::vector<std::string>& paths) {
    if (!playsATrack(status)) return false;
    auto url = status.metadata.find("xesam:url");
    const std::string* text = url == status.metadata.end() ? nullptr : std::get_if<std::string>(&url->second);
    if (!text) return true;
    const std::string path = text->starts_with("file://") ? platform::percentDecoded(text->substr(7)) : *text;
    return std::find(paths.begin(), paths.end(), path) != paths.end();
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
                                        const std::function<std::string(const std::string&)>& playbackStatusOf,
                                        const std::string& preferred) {
    if (names.empty()) return std::nullopt;
    std::sort(names.begin(), names.end());
    const bool preferredRuns = !preferred.empty() && std::binary_search(names.begin(), names.end(), preferred);
    const std::string preferredStatus = preferredRuns ? playbackStatusOf(preferred) : std::string();
    if (preferredStatus == "Playing") return preferred;
    std::optional<std::string> paused;
    for (const auto& name : names) {
        if (preferredRuns && name == preferred) continue;  // asked above
        std::string status = playbackStatusOf(name);
        if (status == "Playing") return name;
        if (status == "Paused" && !paused) paused = name;
    }
    if (!preferredStatus.empty()) return preferred;
    return paused ? paused : names.front();
}

MusicStandIn::MusicStandIn(std::shared_ptr<platform::MediaPlayers> players,
                           std::shared_ptr<platform::MusicLibrary> library)
    : players_(std::move(players)), library_(std::move(library)) {
    if (!players_ || !library_) throw std::invalid_argument("MusicStandIn needs media players and a library");
}

std::optional<MusicStandIn::Chosen> MusicStandIn::chosenPlayer(platform::PlayerDeadline deadline) {
    std::map<std::string, platform::PlayerStatus> statuses;
    std::map<std::string, std::string> failures;
    auto name = choosePlayer(
        players_->playerNames(deadline),
        [&](const std::string& player) {
            try {
                return statuses.emplace(player, players_->status(player, deadline)).first->second.playbackStatus;
            } catch (const std::exception& e) {
                failures.emplace(player, e.what());
                return std::string();  // a player that does not answer is chosen last
            }
        },
        lastActive());
    if (!name) return std::nullopt;
    // Chosen though it did not answer: its failure, not a second wait.
    if (auto failed = failures.find(*name); failed != failures.end()) throw platform::ScriptFailure(failed->second);
    const platform::PlayerStatus& status = statuses.at(*name);
    if (status.playbackStatus == "Playing") setLastActive(*name);
    return Chosen{*name, status};
}

std::string MusicStandIn::requirePlayer(platform::PlayerDeadline deadline) {
    auto names = players_->playerNames(deadline);
    if (names.empty()) throw platform::ScriptFailure("No MPRIS media player is running.");
    if (names.size() == 1) return names.front();
    return chosenPlayer(deadline).value_or(Chosen{}).name;
}

std::string MusicStandIn::lastActive() {
    std::lock_guard lock(mutex_);
    return lastActive_;
}

void MusicStandIn::setLastActive(const std::string& player) {
    std::lock_guard lock(mutex_);
    lastActive_ = player;
}

std::optional<std::string> MusicStandIn::perform(const platform::ScriptCall& call) {
    const std::string& id = call.templateId;
    const platform::PlayerDeadline deadline = std::chrono::steady_clock::now() + kScriptTime;
    for (const auto& entry : kTemplates) {
        if (id != entry.id || !entry.method) continue;
        const std::string player = requirePlayer(deadline);
        if (id == "music.play") {
            resume(player, deadline);
        } else {
            players_->command(player, entry.method, deadline);
            setLastActive(player);
        }
        return std::nullopt;
    }
    if (id == "music.setVolume") {
        auto level = std::clamp<std::int64_t>(call.bindings.integer("level"), 0, 100);
        players_->setVolume(requirePlayer(deadline), static_cast<double>(level) / 100.0, deadline);
        return std::nullopt;
    }
    if (id == "music.currentTrack") return currentTrack(deadline);
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
    if (id == "music.playSong") return playSong(call.bindings.text("song"), deadline);
    if (id == "music.playPlaylist")
        return playPlaylist(call.bindings.text("playlist"), call.bindings.boolean("shuffle"), deadline);
    throw platform::ScriptFailure("Music does not understand this script.");
}

std::string MusicStandIn::currentTrack(platform::PlayerDeadline deadline) {
    auto chosen = chosenPlayer(deadline);
    if (!chosen || chosen->status.playbackStatus == "Stopped") return "STOPPED";
    platform::TrackInfo track = platform::trackFromMetadata(chosen->status.metadata);
    double position = static_cast<double>(chosen->status.positionMicroseconds.value_or(0)) / 1e6;
    return musicField(track.title) + "|||" + musicField(track.artist) + "|||" + musicField(track.album) + "|||" +
           platform::secondsText(track.lengthSeconds.value_or(0)) + "|||" + platform::secondsText(position) + "|||" +
           musicField(lowerAscii(chosen->status.playbackStatus));
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

// Opening loads a paused player without starting it, and a player may refuse
// what it was handed: told to play, it must be seen playing one of `paths`,
// twice in a row (a player names a file as it starts reading it, before it
// knows whether it can play it).
void MusicStandIn::play(const std::string& player, const std::string& uri, const std::vector<std::string>& paths,
                        const std::string& what, platform::PlayerDeadline deadline) {
    players_->openUri(player, uri, deadline);
    players_->command(player, "Play", deadline);
    setLastActive(player);
    platform::PlayerStatus last;
    if (!awaitPlaying(player, [&](const auto& status) { return playsOneOf(status, paths); }, deadline, last))
        throw platform::ScriptFailure("The media player " + shortName(player) + " did not start playing " + what + ".");
}

// Play on a player with nothing loaded is accepted and does nothing (mpv,
// idle, even says "Playing"): that is no success.
void MusicStandIn::resume(const std::string& player, platform::PlayerDeadline deadline) {
    players_->command(player, "Play", deadline);
    setLastActive(player);
    platform::PlayerStatus last;
    if (awaitPlaying(player, playsATrack, deadline, last)) return;
    // No status read in time says nothing of what the player holds.
    const bool empty = !last.playbackStatus.empty() && !hasTrack(last);
    throw platform::ScriptFailure("Nothing could be played: the media player " + shortName(player) +
                                  (empty ? " has no track to play." : " did not start playing."));
}

bool MusicStandIn::awaitPlaying(const std::string& player,
                                const std::function<bool(const platform::PlayerStatus&)>& plays,
                                platform::PlayerDeadline deadline, platform::PlayerStatus& last) {
    for (int seen = 0;;) {
        try {
            last = players_->status(player, deadline);
        } catch (const std::runtime_error&) {
            if (std::chrono::steady_clock::now() >= deadline) return false;  // the time ran out while asking
            throw;
        }
        seen = plays(last) ? seen + 1 : 0;
        if (seen == 2) return true;
        if (std::chrono::steady_clock::now() + kPlayingPoll >= deadline) return false;
        std::this_thread::sleep_for(kPlayingPoll);
    }
}

std::string MusicStandIn::playSong(const std::string& song, platform::PlayerDeadline deadline) {
    auto library = library_->contents();
    const std::string folded = platform::foldCase(song);
    for (const auto& track : library->tracks) {
        if (platform::foldCase(track.title).find(folded) == std::string::npos &&
            platform::foldCase(track.artist).find(folded) == std::string::npos &&
            platform::foldCase(track.album).find(folded) == std::string::npos)
            continue;
        play(requirePlayer(deadline), platform::fileUri(track.path), {track.path}, "\"" + track.title + "\"", deadline);
        return "Playing: " + track.title + " by " + track.artist;
    }
    return "NOT_FOUND";
}

std::string MusicStandIn::playPlaylist(const std::string& name, bool shuffle, platform::PlayerDeadline deadline) {
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

    std::string player = requirePlayer(deadline);
    // Turning shuffle off on a player that never shuffles leaves nothing to do.
    if (!players_->setShuffle(player, shuffle, deadline) && shuffle)
        throw platform::ScriptFailure("The media player " + shortName(player) + " does not support shuffle.");
    // Seen playing one of its entries: a player names the list's own path
    // while it is still reading it, and also when it then refuses it.
    play(player, platform::fileUri(playlist->path), playlist->entries, "the playlist \"" + playlist->name + "\"",
         deadline);
    return "Playing playlist: " + playlist->name;
}

bool registerMusicScripts(platform::TemplateScriptHost& host, std::shared_ptr<platform::ScriptStandIn> standIn) {
    if (host.recognise(musicPlayScript)) return false;
    for (const auto& entry : kTemplates) host.registerTemplate(entry.id, "Music", *entry.source);
    host.registerStandIn("Music", std::move(standIn));
    return true;
}

}  // namespace app::tools
