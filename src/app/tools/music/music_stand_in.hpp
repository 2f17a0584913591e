// What stands in for the Music application on this system: the family's
// scripts are recognised by the script host; transport, volume, shuffle and
// the current track go to an MPRIS media player, and the library is the
// user's music folder with its M3U playlists.
#pragma once

#include "app/platform/media_players.hpp"
#include "app/platform/music_library.hpp"
#include "app/platform/script_host.hpp"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace app::tools {

// The player the scripts act on, as playerctld picks it: `preferred` (the
// player last active through these tools) when it plays, else the first
// playing one (by name), else `preferred` while it runs and answers, else the
// first paused one, else the first name; none without players. A player
// whose status is "" did not answer.
std::optional<std::string> choosePlayer(std::vector<std::string> names,
                                        const std::function<std::string(const std::string&)>& playbackStatusOf,
                                        const std::string& preferred = {});

class MusicStandIn : public platform::ScriptStandIn {
public:
    // Throws std::invalid_argument for a null player client or library.
    MusicStandIn(std::shared_ptr<platform::MediaPlayers> players, std::shared_ptr<platform::MusicLibrary> library);

    // Transport commands and the volume give no text; the current track is
    // "STOPPED" or "title|||artist|||album|||length|||position|||state" (texts
    // as musicField makes them, seconds in shortest decimal text, the state in
    // lower case); statistics "N|||M"; playlists joined by ", "; search lines
    // "title - artist (album)". Songs and playlists are opened on the player
    // by their file:// URI and played; one the player is not seen playing
    // fails, as does play when the player is not then seen playing a track
    // (an idle player with an empty playlist). The player last seen playing,
    // or last sent a command, is the one later commands go to while none
    // plays: pause then play resumes the same player. A command without any
    // player fails with one fixed message, as does shuffle on a player that
    // has none. All the players' answers of one script share one deadline.
    std::optional<std::string> perform(const platform::ScriptCall& call) override;

private:
    struct Chosen {
        std::string name;
        platform::PlayerStatus status;
    };
    std::optional<Chosen> chosenPlayer(platform::PlayerDeadline deadline);
    std::string requirePlayer(platform::PlayerDeadline deadline);
    std::string currentTrack(platform::PlayerDeadline deadline);
    std::string search(const std::string& query, std::int64_t limit);
    void play(const std::string& player, const std::string& uri, const std::vector<std::string>& paths,
              const std::string& what, platform::PlayerDeadline deadline);
    // Asks the player until `plays` holds twice in a row (true), or the
    // deadline comes first (false); `last` is the status last read.
    bool awaitPlaying(const std::string& player, const std::function<bool(const platform::PlayerStatus&)>& plays,
                      platform::PlayerDeadline deadline, platform::PlayerStatus& last);
    void resume(const std::string& player, platform::PlayerDeadline deadline);
    std::string lastActive();
    void setLastActive(const std::string& player);
    std::string playSong(const std::string& song, platform::PlayerDeadline deadline);
    std::string playPlaylist(const std::string& name, bool shuffle, platform::PlayerDeadline deadline);

    std::shared_ptr<platform::MediaPlayers> players_;
    std::shared_ptr<platform::MusicLibrary> library_;
    std::mutex mutex_;         // guards lastActive_ alone
    std::string lastActive_;  // the player last seen playing or sent a command
};

// Teaches the host the eleven scripts (application "Music") and gives it the
// stand-in. False (and nothing changed) when the host knows them already.
bool registerMusicScripts(platform::TemplateScriptHost& host, std::shared_ptr<platform::ScriptStandIn> standIn);

}  // namespace app::tools
