#include "app/tools/music/music_tools.hpp"

#include <gtest/gtest.h>

#include "app/tools/tool_test_support.hpp"
#include "support/fake_script_host.hpp"

namespace app::tools {
namespace {

using platform::ScriptRun;
using testing::expectToolError;

ScriptRun text(std::string t) { return ScriptRun::succeeded(std::move(t)); }

// One call: the tool, the arguments, what the script host answers, a part of
// the script sent (where the values stand) and the reply; what a player on the
// bus cannot answer (the whole road is in music_stand_in_test).
TEST(MusicTools, ScriptsSentAndRepliesRead) {
    const ScriptRun none = ScriptRun::succeeded(std::nullopt);
    const std::string track = "track & \"|||\" & player position & \"|||\" & (player state as string)\nend tell";
    const std::string stats = "(count of tracks of library playlist 1) & \"|||\" & (count of playlists)\nend tell";
    const std::tuple<std::string, Arguments, ScriptRun, std::string, std::string> cases[] = {
        {"music_pause", {}, text("paused"), "tell application \"Music\" to pause", "paused"},
        {"music_set_volume", {{"level", std::int64_t{150}}}, none, "\" to set sound volume to 100", "Success"},
        {"music_set_volume", {{"level", std::int64_t{-5}}}, none, "\" to set sound volume to 0", "Success"},
        {"music_get_current_track", {}, text("T|||A|||B|||215.5|||3|||playing|||x"), track,
         "Playing: T\nArtist: A\nAlbum: B\nDuration: 215.5s\nPosition: 3s\nState: playing"},
        {"music_get_current_track", {}, text(" STOPPED\n"), track, "No track is currently playing."},
        {"music_get_current_track", {}, text("T|||A|||B|||1|||2"), track, "Failed to parse track info: T|||A|||B|||1|||2"},
        {"music_get_library_stats", {}, text("12|||3"), stats, "Library: 12 tracks, 3 playlists."},
        {"music_get_library_stats", {}, text("12"), stats, "Failed to get stats: 12"},
        {"music_list_playlists", {{"limit", "7"}}, text("A, B"), "        if i > 25 then exit repeat\n", "A, B"},
        {"music_search", {{"query", "x"}, {"limit", 1.5}}, text(""), "        if i > 10 then exit", "No songs found."},
        {"music_search", {{"query", "a\"b\\c\nd"}}, text(""), "for \"a\\\"b\\\\c\nd\" only", "No songs found."},
        {"music_play_song", {{"song", "say \"hi\""}}, text("NOT_FOUND"), "for \"say \\\"hi\\\"\" only",
         "Song not found: say \"hi\""},
        {"music_play_song", {{"song", "x"}}, text("Playing: NOT_FOUND by A"), "for \"x\"", "Playing: NOT_FOUND by A"},
        {"music_get_current_track", {}, text("a%7C%7C%7Cb%25%zz|||A|||B|||1|||2|||playing"), track,
         "Playing: a|||b%%zz\nArtist: A\nAlbum: B\nDuration: 1s\nPosition: 2s\nState: playing"},
        {"music_play_playlist", {{"playlist", "T\""}, {"shuffle", true}}, text("NOT_FOUND"),
         "playlist \"T\\\"\"\n        set shuffle enabled to true\n", "Playlist not found: T\""},
        {"music_play_playlist", {{"playlist", "T"}, {"shuffle", std::int64_t{1}}}, text("x"),
         "set shuffle enabled to false\n", "x"},
    };
    for (const auto& [tool, arguments, run, scriptPart, reply] : cases) {
        SCOPED_TRACE(tool + " " + scriptPart);
        auto host = std::make_shared<platform::FakeScriptHost>();
        host->enqueue(run);
        MusicToolFamily family(host);
        EXPECT_EQ(family.handle(tool, arguments, {}), reply);
        ASSERT_EQ(host->sources().size(), 1u);
        EXPECT_NE(host->sources()[0].find(scriptPart), std::string::npos) << host->sources()[0];
    }
}

TEST(MusicTools, Errors) {
    const ScriptRun bad = ScriptRun::failed(platform::ScriptErrorInfo{std::nullopt, -2700, std::nullopt});
    // The script run answers only when the arguments are usable.
    const std::tuple<std::string, Arguments, ScriptRun, int, std::string> cases[] = {
        {"music_set_volume", {{"level", 50.5}}, bad, 400, "Missing 'level' argument"},
        {"music_search", {{"limit", std::int64_t{3}}}, bad, 400, "Missing 'query' argument"},
        {"music_play_song", {{"song", std::int64_t{3}}}, bad, 400, "Missing 'song' argument"},
        {"music_play_playlist", {{"shuffle", true}}, bad, 400, "Missing 'playlist' argument"},
        {"Music_Play", {}, bad, 404, "Unknown music tool: Music_Play"},
        {"music_play", {}, ScriptRun::notMade(), 500, "Failed to compile AppleScript"},
        {"music_next", {}, ScriptRun::failed(platform::ScriptErrorInfo{"Gone.", -2700, "Music"}), 500,
         "AppleScript Error: Gone."},
        {"music_get_current_track", {}, bad, 500, "AppleScript Error: Unknown error"},
    };
    for (const auto& [tool, arguments, run, code, message] : cases) {
        SCOPED_TRACE(tool);
        auto host = std::make_shared<platform::FakeScriptHost>(run);
        MusicToolFamily family(host);
        expectToolError([&] { family.handle(tool, arguments, {}); }, {"MusicTool", code, message});
        EXPECT_EQ(host->sources().size(), code == 500 ? 1u : 0u);
    }
}

}  // namespace
}  // namespace app::tools
