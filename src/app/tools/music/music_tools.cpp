#include "app/tools/music/music_tools.hpp"

#include "app/platform/apple_script.hpp"
#include "app/tools/registry/script_reply.hpp"
#include "app/tools/registry/tool_error.hpp"
#include "app/tools/registry/tool_row.hpp"
#include "runtime/runtime.hpp"

#include <algorithm>
#include <stdexcept>

namespace app::tools {

namespace {

constexpr const char* kDomain = "MusicTool";
constexpr std::int64_t kDefaultPlaylistLimit = 25;
constexpr std::int64_t kDefaultSearchLimit = 10;

std::vector<std::string> splitAt(std::string_view text, std::string_view separator) {
    std::vector<std::string> parts;
    for (;;) {
        std::size_t at = text.find(separator);
        parts.emplace_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + separator.size());
    }
}

std::string_view trimmedWhiteSpace(std::string_view text) {
    constexpr std::string_view space = " \t\n\r\f\v";
    std::size_t start = text.find_first_not_of(space);
    if (start == std::string_view::npos) return {};
    return text.substr(start, text.find_last_not_of(space) - start + 1);
}

std::string requiredText(const Arguments& arguments, const char* key) {
    auto value = textArgument(arguments, key);
    if (!value) throw ToolError(kDomain, 400, std::string("Missing '") + key + "' argument");
    return *value;
}

const ToolRow<std::string (*)(MusicToolFamily&, const Arguments&)> kMusicTools[] = {
    {"music_play", "Resume or start playing music.", "恢复或开始播放音乐。", objectSchema({}, {}),
     [](MusicToolFamily& music, const Arguments&) { return music.runAppleScript(musicPlayScript); }},
    {"music_pause", "Pause music playback.", "暂停播放音乐。", objectSchema({}, {}),
     [](MusicToolFamily& music, const Arguments&) { return music.runAppleScript(musicPauseScript); }},
    {"music_next", "Skip to the next track.", "跳到下一首。", objectSchema({}, {}),
     [](MusicToolFamily& music, const Arguments&) { return music.runAppleScript(musicNextScript); }},
    {"music_prev", "Return to the previous track.", "返回上一首。", objectSchema({}, {}),
     [](MusicToolFamily& music, const Arguments&) { return music.runAppleScript(musicPreviousScript); }},
    {"music_set_volume", "Set the playback volume (0-100).", "设置音量 (0-100)。",
     objectSchema(AnyMap{{"level", schemaProperty("integer", "Volume level (0-100)")}}, AnyList{"level"}),
     [](MusicToolFamily& music, const Arguments& arguments) {
         auto level = intArgument(arguments, "level");
         if (!level) throw ToolError(kDomain, 400, "Missing 'level' argument");
         return music.runAppleScript(musicSetVolumeScript(std::clamp<std::int64_t>(*level, 0, 100)));
     }},
    {"music_get_current_track", "Get information about the currently playing track.", "获取当前播放的曲目信息。",
     objectSchema({}, {}),
     [](MusicToolFamily& music, const Arguments&) -> std::string {
         std::string result = music.runAppleScript(musicCurrentTrackScript);
         if (trimmedWhiteSpace(result) == "STOPPED") return "No track is currently playing.";
         auto parts = splitAt(result, "|||");
         if (parts.size() < 6) return "Failed to parse track info: " + result;
         for (auto& part : parts) part = musicFieldText(part);
         return "Playing: " + parts[0] + "\nArtist: " + parts[1] + "\nAlbum: " + parts[2] + "\nDuration: " +
                parts[3] + "s\nPosition: " + parts[4] + "s\nState: " + parts[5];
     }},
    {"music_get_library_stats", "Get music library statistics (count of tracks and playlists).",
     "获取音乐库统计信息（曲目数量和播放列表数量）。", objectSchema({}, {}),
     [](MusicToolFamily& music, const Arguments&) {
         std::string result = music.runAppleScript(musicLibraryStatsScript);
         auto parts = splitAt(result, "|||");
         if (parts.size() < 2) return "Failed to get stats: " + result;
         return "Library: " + parts[0] + " tracks, " + parts[1] + " playlists.";
     }},
    {"music_list_playlists", "List playlists in the user's music library.", "列出用户音乐库中的播放列表。",
     objectSchema(AnyMap{{"limit", schemaProperty("integer", "Maximum number of results to return (default: 25)")}},
                  AnyList{}),
     [](MusicToolFamily& music, const Arguments& arguments) {
         return music.runAppleScript(
             musicListPlaylistsScript(intArgument(arguments, "limit").value_or(kDefaultPlaylistLimit)));
     }},
    {"music_search", "Search for songs in the music library.", "在音乐库中搜索歌曲。",
     objectSchema(AnyMap{{"query", schemaProperty("string", "Search keyword")},
                         {"limit", schemaProperty("integer", "Maximum number of results to return (default: 10)")}},
                  AnyList{"query"}),
     [](MusicToolFamily& music, const Arguments& arguments) -> std::string {
         std::string query = requiredText(arguments, "query");
         std::string result = music.runAppleScript(
             musicSearchScript(query, intArgument(arguments, "limit").value_or(kDefaultSearchLimit)));
         return result.empty() ? "No songs found." : result;
     }},
    {"music_play_song", "Search for and play a specific song.", "搜索并播放指定的歌曲。",
     objectSchema(AnyMap{{"song", schemaProperty("string", "The name of the song to play")}}, AnyList{"song"}),
     [](MusicToolFamily& music, const Arguments& arguments) {
         std::string song = requiredText(arguments, "song");
         std::string result = music.runAppleScript(musicPlaySongScript(song));
         // The whole result, so that no title can pass for the marker.
         if (trimmedWhiteSpace(result) == "NOT_FOUND") return "Song not found: " + song;
         return result;
     }},
    {"music_play_playlist", "Play a specific playlist.", "播放指定的播放列表。",
     objectSchema(AnyMap{{"playlist", schemaProperty("string", "Playlist name")},
                         {"shuffle", schemaProperty("boolean", "Whether to shuffle playback (default: false)")}},
                  AnyList{"playlist"}),
     [](MusicToolFamily& music, const Arguments& arguments) {
         std::string playlist = requiredText(arguments, "playlist");
         bool shuffle = boolArgument(arguments, "shuffle").value_or(false);
         std::string result = music.runAppleScript(musicPlayPlaylistScript(playlist, shuffle));
         if (trimmedWhiteSpace(result) == "NOT_FOUND") return "Playlist not found: " + playlist;
         return result;
     }},
};

}  // namespace

const std::string_view musicPlayScript = "tell application \"Music\" to play";
const std::string_view musicPauseScript = "tell application \"Music\" to pause";
const std::string_view musicNextScript = "tell application \"Music\" to next track";
const std::string_view musicPreviousScript = "tell application \"Music\" to previous track";
const std::string_view musicSetVolumeTemplate = "tell application \"Music\" to set sound volume to ⟦level⟧";

const std::string_view musicCurrentTrackScript =
    "tell application \"Music\"\n"
    "    if player state is stopped then return \"STOPPED\"\n"
    "    return name of current track & \"|||\" & artist of current track & \"|||\" & album of current track & "
    "\"|||\" & duration of current track & \"|||\" & player position & \"|||\" & (player state as string)\n"
    "end tell";

const std::string_view musicLibraryStatsScript =
    "tell application \"Music\"\n"
    "    return (count of tracks of library playlist 1) & \"|||\" & (count of playlists)\n"
    "end tell";

const std::string_view musicListPlaylistsTemplate =
    "tell application \"Music\"\n"
    "    set playlistNames to {}\n"
    "    set allPlaylists to user playlists\n"
    "    repeat with i from 1 to (count of allPlaylists)\n"
    "        if i > ⟦limit⟧ then exit repeat\n"
    "        set end of playlistNames to name of item i of allPlaylists\n"
    "    end repeat\n"
    "    set AppleScript's text item delimiters to \", \"\n"
    "    return playlistNames as string\n"
    "end tell";

const std::string_view musicSearchTemplate =
    "tell application \"Music\"\n"
    "    set searchResults to search library playlist 1 for \"⟦query⟧\" only songs\n"
    "    set resultList to {}\n"
    "    repeat with i from 1 to (count of searchResults)\n"
    "        if i > ⟦limit⟧ then exit repeat\n"
    "        set t to item i of searchResults\n"
    "        set end of resultList to (name of t & \" - \" & artist of t & \" (\" & album of t & \")\")\n"
    "    end repeat\n"
    "    set AppleScript's text item delimiters to \"\n\"\n"
    "    return resultList as string\n"
    "end tell";

const std::string_view musicPlaySongTemplate =
    "tell application \"Music\"\n"
    "    activate\n"
    "    set searchResults to search library playlist 1 for \"⟦song⟧\" only songs\n"
    "    if (count of searchResults) > 0 then\n"
    "        set theTrack to item 1 of searchResults\n"
    "        play theTrack\n"
    "        delay 0.5\n"
    "        return \"Playing: \" & name of theTrack & \" by \" & artist of theTrack\n"
    "    else\n"
    "        return \"NOT_FOUND\"\n"
    "    end if\n"
    "end tell";

const std::string_view musicPlayPlaylistTemplate =
    "tell application \"Music\"\n"
    "    activate\n"
    "    try\n"
    "        set thePlaylist to playlist \"⟦playlist⟧\"\n"
    "        set shuffle enabled to ⟦shuffle⟧\n"
    "        play thePlaylist\n"
    "        delay 0.5\n"
    "        return \"Playing playlist: \" & name of thePlaylist\n"
    "    on error\n"
    "        return \"NOT_FOUND\"\n"
    "    end try\n"
    "end tell";

std::string musicSetVolumeScript(std::int64_t level) {
    return platform::filledScript(musicSetVolumeTemplate, {{"level", std::to_string(level)}});
}

std::string musicListPlaylistsScript(std::int64_t limit) {
    return platform::filledScript(musicListPlaylistsTemplate, {{"limit", std::to_string(limit)}});
}

std::string musicSearchScript(std::string_view query, std::int64_t limit) {
    return platform::filledScript(musicSearchTemplate,
                                  {{"query", platform::appleScriptEscaped(query)}, {"limit", std::to_string(limit)}});
}

std::string musicPlaySongScript(std::string_view song) {
    return platform::filledScript(musicPlaySongTemplate, {{"song", platform::appleScriptEscaped(song)}});
}

std::string musicPlayPlaylistScript(std::string_view playlist, bool shuffle) {
    return platform::filledScript(musicPlayPlaylistTemplate, {{"playlist", platform::appleScriptEscaped(playlist)},
                                                              {"shuffle", shuffle ? "true" : "false"}});
}

std::string musicField(std::string_view text) {
    std::string out;
    for (char c : text) out += c == '%' ? "%25" : c == '|' ? "%7C" : std::string(1, c);
    return out;
}

std::string musicFieldText(std::string_view field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field.compare(i, 3, "%25") == 0 || field.compare(i, 3, "%7C") == 0) {
            out += field[i + 2] == '5' ? '%' : '|';
            i += 2;
        } else {
            out += field[i];
        }
    }
    return out;
}

MusicToolFamily::MusicToolFamily(std::shared_ptr<platform::ScriptHost> scriptHost)
    : scriptHost_(std::move(scriptHost)) {
    if (!scriptHost_) throw std::invalid_argument("MusicToolFamily needs a script host");
}

std::string MusicToolFamily::runAppleScript(std::string_view source) {
    return scriptReply(scriptHost_->run(source), kDomain);
}

std::vector<MCPTool> musicToolDefinitions() { return toolDefinitions(kMusicTools); }

ToolResult MusicToolFamily::run(const std::string& name, const Arguments& arguments, std::stop_token stop) {
    // The library's walk of the music folder gives up when the call is stopped.
    rt::StopScope scope(std::move(stop));
    return toolNamed(kMusicTools, name, kDomain, "music").handler(*this, arguments);
}

}  // namespace app::tools
