#include "app/tools/music/music_tools.hpp"

#include <gtest/gtest.h>

#include "app/tools/tool_test_support.hpp"

namespace app::tools {
namespace {

using platform::ScriptRun;
using testing::expectToolError;

TEST(MusicToolDefinitions, ElevenToolsInOrder) {
    using testing::inputSchema;
    using testing::property;
    testing::expectToolDefinitions(
        musicToolDefinitions,
        {
            {"music_play", "Resume or start playing music.", "恢复或开始播放音乐。", inputSchema({}, {})},
            {"music_pause", "Pause music playback.", "暂停播放音乐。", inputSchema({}, {})},
            {"music_next", "Skip to the next track.", "跳到下一首。", inputSchema({}, {})},
            {"music_prev", "Return to the previous track.", "返回上一首。", inputSchema({}, {})},
            {"music_set_volume", "Set the playback volume (0-100).", "设置音量 (0-100)。",
             inputSchema({{"level", property("integer", "Volume level (0-100)")}}, {"level"})},
            {"music_get_current_track", "Get information about the currently playing track.",
             "获取当前播放的曲目信息。", inputSchema({}, {})},
            {"music_get_library_stats", "Get music library statistics (count of tracks and playlists).",
             "获取音乐库统计信息（曲目数量和播放列表数量）。", inputSchema({}, {})},
            {"music_list_playlists", "List playlists in the user's music library.", "列出用户音乐库中的播放列表。",
             inputSchema({{"limit", property("integer", "Maximum number of results to return (default: 25)")}}, {})},
            {"music_search", "Search for songs in the music library.", "在音乐库中搜索歌曲。",
             inputSchema({{"query", property("string", "Search keyword")},
                          {"limit", property("integer", "Maximum number of results to return (default: 10)")}},
                         {"query"})},
            {"music_play_song", "Search for and play a specific song.", "搜索并播放指定的歌曲。",
             inputSchema({{"song", property("string", "The name of the song to play")}}, {"song"})},
            {"music_play_playlist", "Play a specific playlist.", "播放指定的播放列表。",
             inputSchema({{"playlist", property("string", "Playlist name")},
                          {"shuffle", property("boolean", "Whether to shuffle playback (default: false)")}},
                         {"playlist"})},
        });
}

// One call: the arguments, what the script host answers, the exact script
// sent and the reply.
struct ScriptCase {
    std::string label;
    std::string tool;
    Arguments arguments;
    ScriptRun run;
    std::string script;
    std::string reply;
};

const std::string kSearchHead = "tell application \"Music\"\n    set searchResults to search library playlist 1 for \"";

std::string searchScript(const std::string& escaped, const std::string& limit) {
    return kSearchHead + escaped +
           "\" only songs\n    set resultList to {}\n    repeat with i from 1 to (count of searchResults)\n"
           "        if i > " + limit +
           " then exit repeat\n        set t to item i of searchResults\n"
           "        set end of resultList to (name of t & \" - \" & artist of t & \" (\" & album of t & \")\")\n"
           "    end repeat\n    set AppleScript's text item delimiters to \"\n\"\n    return resultList as string\nend tell";
}

std::string playlistsScript(const std::string& limit) {
    return "tell application \"Music\"\n    set playlistNames to {}\n    set allPlaylists to user playlists\n"
           "    repeat with i from 1 to (count of allPlaylists)\n        if i > " + limit +
           " then exit repeat\n        set end of playlistNames to name of item i of allPlaylists\n"
           "    end repeat\n    set AppleScript's text item delimiters to \", \"\n"
           "    return playlistNames as string\nend tell";
}

std::string playSongScript(const std::string& escaped) {
    return "tell application \"Music\"\n    activate\n    set searchResults to search library playlist 1 for \"" +
           escaped +
           "\" only songs\n    if (count of searchResults) > 0 then\n        set theTrack to item 1 of searchResults\n"
           "        play theTrack\n        delay 0.5\n"
           "        return \"Playing: \" & name of theTrack & \" by \" & artist of theTrack\n    else\n"
           "        return \"NOT_FOUND\"\n    end if\nend tell";
}

std::string playPlaylistScript(const std::string& escaped, const std::string& shuffle) {
    return "tell application \"Music\"\n    activate\n    try\n        set thePlaylist to playlist \"" + escaped +
           "\"\n        set shuffle enabled to " + shuffle +
           "\n        play thePlaylist\n        delay 0.5\n"
           "        return \"Playing playlist: \" & name of thePlaylist\n    on error\n"
           "        return \"NOT_FOUND\"\n    end try\nend tell";
}

const std::string kCurrentTrackScript =
    "tell application \"Music\"\n    if player state is stopped then return \"STOPPED\"\n"
    "    return name of current track & \"|||\" & artist of current track & \"|||\" & album of current track & "
    "\"|||\" & duration of current track & \"|||\" & player position & \"|||\" & (player state as string)\nend tell";

const std::string kStatsScript =
    "tell application \"Music\"\n    return (count of tracks of library playlist 1) & \"|||\" & (count of playlists)\n"
    "end tell";

ScriptRun text(std::string t) { return ScriptRun::succeeded(std::move(t)); }

TEST(MusicTools, ScriptsSentAndRepliesRead) {
    const ScriptRun none = ScriptRun::succeeded(std::nullopt);
    const ScriptCase cases[] = {
        {"play", "music_play", {}, none, "tell application \"Music\" to play", "Success"},
        {"pause", "music_pause", {}, text("paused"), "tell application \"Music\" to pause", "paused"},
        {"next", "music_next", {}, none, "tell application \"Music\" to next track", "Success"},
        {"prev", "music_prev", {}, none, "tell application \"Music\" to previous track", "Success"},
        {"volume", "music_set_volume", {{"level", std::int64_t{42}}}, none,
         "tell application \"Music\" to set sound volume to 42", "Success"},
        {"volume above", "music_set_volume", {{"level", std::int64_t{150}}}, none,
         "tell application \"Music\" to set sound volume to 100", "Success"},
        {"volume below", "music_set_volume", {{"level", std::int64_t{-5}}}, none,
         "tell application \"Music\" to set sound volume to 0", "Success"},
        {"track", "music_get_current_track", {}, text("T|||A|||B|||215.5|||3|||playing"), kCurrentTrackScript,
         "Playing: T\nArtist: A\nAlbum: B\nDuration: 215.5s\nPosition: 3s\nState: playing"},
        {"track extra parts", "music_get_current_track", {}, text("T|||A|||B|||1|||2|||paused|||x"),
         kCurrentTrackScript, "Playing: T\nArtist: A\nAlbum: B\nDuration: 1s\nPosition: 2s\nState: paused"},
        {"stopped with line feed", "music_get_current_track", {}, text(" STOPPED\n"), kCurrentTrackScript,
         "No track is currently playing."},
        {"track too few parts", "music_get_current_track", {}, text("T|||A|||B|||1|||2"), kCurrentTrackScript,
         "Failed to parse track info: T|||A|||B|||1|||2"},
        {"stats", "music_get_library_stats", {}, text("12|||3"), kStatsScript, "Library: 12 tracks, 3 playlists."},
        {"stats unparsed", "music_get_library_stats", {}, text("12"), kStatsScript, "Failed to get stats: 12"},
        {"playlists default", "music_list_playlists", {}, text("A, B"), playlistsScript("25"), "A, B"},
        {"playlists negative", "music_list_playlists", {{"limit", std::int64_t{-3}}}, text(""), playlistsScript("-3"),
         ""},
        {"playlists limit as text", "music_list_playlists", {{"limit", "7"}}, text("A"), playlistsScript("25"), "A"},
        {"search", "music_search", {{"query", "Blue"}, {"limit", std::int64_t{2}}}, text("S - A (B)"),
         searchScript("Blue", "2"), "S - A (B)"},
        {"search nothing", "music_search", {{"query", "x"}, {"limit", 1.5}}, text(""), searchScript("x", "10"),
         "No songs found."},
        {"search quotes", "music_search", {{"query", "a\"b\\c\nd"}}, text(""), searchScript("a\\\"b\\\\c\nd", "10"),
         "No songs found."},
        {"song", "music_play_song", {{"song", "Blue"}}, text("Playing: Blue by A"), playSongScript("Blue"),
         "Playing: Blue by A"},
        {"song not found", "music_play_song", {{"song", "say \"hi\""}}, text("NOT_FOUND"),
         playSongScript("say \\\"hi\\\""), "Song not found: say \"hi\""},
        {"song NOT_FOUND inside", "music_play_song", {{"song", "x"}}, text("Playing: NOT_FOUND by A"),
         playSongScript("x"), "Song not found: x"},
        {"playlist", "music_play_playlist", {{"playlist", "Trip"}}, text("Playing playlist: Trip"),
         playPlaylistScript("Trip", "false"), "Playing playlist: Trip"},
        {"playlist shuffled", "music_play_playlist", {{"playlist", "Trip"}, {"shuffle", true}},
         text("Playing playlist: Trip"), playPlaylistScript("Trip", "true"), "Playing playlist: Trip"},
        {"playlist shuffle as integer", "music_play_playlist", {{"playlist", "T"}, {"shuffle", std::int64_t{1}}},
         text("NOT_FOUND"), playPlaylistScript("T", "false"), "Playlist not found: T"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        auto host = std::make_shared<platform::FakeScriptHost>();
        host->enqueue(c.run);
        MusicToolFamily family(host);
        EXPECT_EQ(family.handle(c.tool, c.arguments, {}), c.reply);
        ASSERT_EQ(host->sources().size(), 1u);
        EXPECT_EQ(host->sources()[0], c.script);
    }
}

TEST(MusicTools, ErrorsRunNoScriptForBadArguments) {
    struct Case {
        std::string tool;
        Arguments arguments;
        ToolError error;
    };
    const Case cases[] = {
        {"music_set_volume", {}, {"MusicTool", 400, "Missing 'level' argument"}},
        {"music_set_volume", {{"level", 50.5}}, {"MusicTool", 400, "Missing 'level' argument"}},
        {"music_set_volume", {{"level", "50"}}, {"MusicTool", 400, "Missing 'level' argument"}},
        {"music_search", {{"limit", std::int64_t{3}}}, {"MusicTool", 400, "Missing 'query' argument"}},
        {"music_play_song", {{"song", std::int64_t{3}}}, {"MusicTool", 400, "Missing 'song' argument"}},
        {"music_play_playlist", {{"shuffle", true}}, {"MusicTool", 400, "Missing 'playlist' argument"}},
        {"music_stop", {}, {"MusicTool", 404, "Unknown music tool: music_stop"}},
        {"Music_Play", {}, {"MusicTool", 404, "Unknown music tool: Music_Play"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tool);
        auto host = std::make_shared<platform::FakeScriptHost>();
        MusicToolFamily family(host);
        expectToolError([&] { family.handle(c.tool, c.arguments, {}); }, c.error);
        EXPECT_TRUE(host->sources().empty());
    }
}

TEST(MusicTools, ScriptFailuresBecomeToolErrors) {
    const std::pair<ScriptRun, std::string> cases[] = {
        {ScriptRun::notMade(), "Failed to compile AppleScript"},
        {ScriptRun::failed(platform::ScriptErrorInfo{"No MPRIS media player is running.", -2700, "Music"}),
         "AppleScript Error: No MPRIS media player is running."},
        {ScriptRun::failed(platform::ScriptErrorInfo{std::nullopt, -2700, std::nullopt}),
         "AppleScript Error: Unknown error"},
        {ScriptRun::failed(std::nullopt), "AppleScript Error: Unknown error"},
    };
    for (const auto& [run, message] : cases) {
        SCOPED_TRACE(message);
        auto host = std::make_shared<platform::FakeScriptHost>(run);
        MusicToolFamily family(host);
        expectToolError([&] { family.handle("music_get_current_track", {}, {}); }, {"MusicTool", 500, message});
    }
}

}  // namespace
}  // namespace app::tools
