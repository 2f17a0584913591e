#include "app/tools/music/music_stand_in.hpp"

#include <gtest/gtest.h>

#include "app/platform/access_prompter.hpp"
#include "app/platform/music_module.hpp"
#include "app/platform/scratch_dir.hpp"
#include "app/tools/music/music_tools.hpp"
#include "app/tools/music/music_test_support.hpp"
#include "app/tools/tool_test_support.hpp"
#include "runtime/runtime.hpp"
#include "support/child_process.hpp"
#include "support/fake_access_prompter.hpp"

#include <filesystem>
#include <thread>
#include <unistd.h>

namespace app::tools {
namespace {

using musictest::FakePlayer;
using testing::expectToolError;

const std::string kNoPlayer = "AppleScript Error: No MPRIS media player is running.";

// The whole road: family, template host, stand-in, the MPRIS client module
// on a private bus, and a music folder of tagged WAV files and playlists.
class MusicFamilyTest : public ::testing::Test {
protected:
    MusicFamilyTest() {
        std::filesystem::create_directories(music + "/Rock"), std::filesystem::create_directories(music + "/Jazz Café");
        musictest::writeTaggedWav(music + "/Rock/blue.wav",
                                  {{"TITLE", {"Blue Skies"}}, {"ARTIST", {"The Quotes"}}, {"ALBUM", {"Open Air"}}});
        musictest::writeTaggedWav(music + "/Jazz Café/hi #1.wav",
                                  {{"TITLE", {"Say \"Hi\" & beep"}}, {"ARTIST", {"Ann", "Bob"}}, {"ALBUM", {"Night Blue"}}});
        musictest::writeTaggedWav(music + "/untagged track.wav", {});
        testsupport::writeFile(music + "/Road Trip.m3u", "#EXTM3U\n#EXTINF:1,The Quotes - Blue Skies\nRock/blue.wav\n");
        testsupport::writeFile(music + "/Empty.m3u8", "#EXTM3U\n");

        auto host = std::make_shared<platform::TemplateScriptHost>(std::make_shared<platform::FakeAccessPrompter>());
        auto library = std::make_shared<platform::FolderMusicLibrary>(
            [folder = music] { return folder; }, std::make_shared<platform::ModuleAudioTagReader>());
        registerMusicScripts(*host, std::make_shared<MusicStandIn>(std::make_shared<platform::SessionMediaPlayers>(),
                                                                   library));
        family = std::make_unique<MusicToolFamily>(host);
    }

    std::string call(const std::string& tool, const Arguments& arguments = {}) { return family->handle(tool, arguments, {}); }

    musictest::PrivateBus bus;
    testsupport::ScratchDir scratch;
    std::string music = scratch.file("Music");
    std::unique_ptr<MusicToolFamily> family;
};

TEST_F(MusicFamilyTest, CommandsGoToThePlayingPlayer) {
    FakePlayer stopped("a", "Stopped"), paused("b", "Paused"), playing("c", "Playing");
    playing.setTrack({{"xesam:title", sdbus::Variant(std::string("T"))}}, 0);  // play needs a track to play
    const std::pair<std::string, Arguments> cases[] = {{"music_play", {}}, {"music_pause", {}}, {"music_next", {}},
                                                       {"music_prev", {}}, {"music_set_volume", {{"level", std::int64_t{42}}}}};
    for (const auto& [tool, arguments] : cases) EXPECT_EQ(call(tool, arguments), "Success") << tool;
    EXPECT_EQ(playing.calls(), (std::vector<std::string>{"Play", "Pause", "Next", "Previous", "Volume 0.420000"}));
    EXPECT_EQ(paused.calls().size() + stopped.calls().size(), 0u);
}

// Play goes back to the player last active through the tools, as
// playerctld users expect, not to the first paused one by name; and play on
// a player with no track to play is no success.
TEST_F(MusicFamilyTest, PlayResumesTheLastActivePlayerAndNeedsATrack) {
    {
        FakePlayer first("a", "Paused"), second("z", "Playing");
        for (FakePlayer* player : {&first, &second}) player->setTrack({{"xesam:title", sdbus::Variant(std::string("T"))}}, 0);
        for (const char* tool : {"music_pause", "music_play", "music_pause", "music_next", "music_play"})
            EXPECT_EQ(call(tool), "Success") << tool;
        EXPECT_EQ(second.calls(), (std::vector<std::string>{"Pause", "Play", "Pause", "Next", "Play"}));
        EXPECT_TRUE(first.calls().empty());
    }
    {
        // Paused while it ran alone; a player started since does not take over.
        FakePlayer only("y", "Playing");
        only.setTrack({{"xesam:title", sdbus::Variant(std::string("T"))}}, 0);
        EXPECT_EQ(call("music_pause"), "Success");
        FakePlayer later("b", "Paused");
        later.setTrack({{"xesam:title", sdbus::Variant(std::string("U"))}}, 0);
        EXPECT_EQ(call("music_play"), "Success");
        EXPECT_EQ(only.calls(), (std::vector<std::string>{"Pause", "Play"}));
        EXPECT_TRUE(later.calls().empty());
    }
    // status, metadata, whether it answers no read of its state, the reply's end
    // (mpv idle says "Playing" once told to play, with a track id naming nothing)
    const std::tuple<std::string, std::map<std::string, sdbus::Variant>, bool, std::string> idle[] = {
        {"Stopped", {}, false, "has no track to play."},
        {"Playing", {{"mpris:trackid", sdbus::Variant(sdbus::ObjectPath("/noplaylist"))}}, false, "has no track to play."},
        {"Paused", {{"xesam:title", sdbus::Variant(std::string("T"))}}, true, "did not start playing."},
    };
    for (const auto& [status, metadata, frozen, reply] : idle) {
        FakePlayer player("idle", status);
        player.setTrack(metadata, 0);
        player.setFrozen(frozen);
        auto error = testing::thrownToolError([&] { call("music_play"); });
        player.setFrozen(false);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->message(), "AppleScript Error: Nothing could be played: the media player idle " + reply);
        EXPECT_EQ(player.calls(), std::vector<std::string>{"Play"});
    }
}

// Only names under "org.mpris.MediaPlayer2." are media players: not the
// bus's own name, nor the connections' unique names, nor look-alikes.
TEST_F(MusicFamilyTest, OnlyMprisBusNamesArePlayers) {
    FakePlayer player("vlc.instance7", "Paused");
    const std::pair<const char*, bool> names[] = {
        {"org.mpris.MediaPlayer2.spotify", true},
        {"org.mpris.MediaPlayer2", false},
        {"org.mpris.MediaPlayer2x.vlc", false},
        {"org.example.MediaPlayer2.vlc", false},
    };
    std::vector<std::unique_ptr<sdbus::IConnection>> holders;
    std::vector<std::string> expected{"org.mpris.MediaPlayer2.vlc.instance7"};
    for (const auto& [name, player] : names) {
        holders.push_back(sdbus::createSessionBusConnection(name));
        if (player) expected.push_back(name);
    }
    auto listed = platform::SessionMediaPlayers().playerNames(std::chrono::steady_clock::now() + std::chrono::seconds(10));
    std::sort(listed.begin(), listed.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listed, expected);
}

TEST_F(MusicFamilyTest, CurrentTrackReply) {
    // label, status, metadata, position, reply
    const std::tuple<std::string, std::string, std::map<std::string, sdbus::Variant>, std::int64_t, std::string>
        cases[] = {
        {"playing, two artists", "Playing",
         {{"xesam:title", sdbus::Variant(std::string("T"))},
          {"xesam:artist", sdbus::Variant(std::vector<std::string>{"Ann", "Bob"})},
          {"xesam:album", sdbus::Variant(std::string("B"))},
          {"mpris:length", sdbus::Variant(std::int64_t{215500000})}},
         3250000, "Playing: T\nArtist: Ann, Bob\nAlbum: B\nDuration: 215.5s\nPosition: 3.25s\nState: playing"},
        {"paused, length as uint64, title from the URL", "Paused",
         {{"xesam:url", sdbus::Variant(std::string("file:///m/My%20Song.flac"))},
          {"mpris:length", sdbus::Variant(std::uint64_t{180000000})}},
         0, "Playing: My Song.flac\nArtist: \nAlbum: \nDuration: 180s\nPosition: 0s\nState: paused"},
        {"stopped", "Stopped", {{"xesam:title", sdbus::Variant(std::string("T"))}}, 0,
         "No track is currently playing."},
        {"separators and escapes in the texts", "Playing",
         {{"xesam:title", sdbus::Variant(std::string("Pipe|||Albums"))},
          {"xesam:artist", sdbus::Variant(std::string("50%7C|%25"))}},
         0, "Playing: Pipe|||Albums\nArtist: 50%7C|%25\nAlbum: \nDuration: 0s\nPosition: 0s\nState: playing"},
    };
    for (const auto& [label, status, metadata, position, reply] : cases) {
        SCOPED_TRACE(label);
        FakePlayer player("p", status);
        player.setTrack(metadata, position);
        EXPECT_EQ(call("music_get_current_track"), reply);
    }
}

TEST_F(MusicFamilyTest, NoPlayerRunning) {
    EXPECT_EQ(call("music_get_current_track"), "No track is currently playing.");
    const std::pair<std::string, Arguments> commands[] = {
        {"music_play", {}}, {"music_set_volume", {{"level", std::int64_t{5}}}}, {"music_play_song", {{"song", "blue"}}},
        {"music_play_playlist", {{"playlist", "Road Trip"}}}};
    for (const auto& [tool, arguments] : commands)
        expectToolError([&, &tool = tool, &arguments = arguments] { call(tool, arguments); }, {"MusicTool", 500, kNoPlayer});
    // The library needs no player.
    EXPECT_EQ(call("music_play_song", {{"song", "nothing like it"}}), "Song not found: nothing like it");
}

TEST_F(MusicFamilyTest, LibraryStatisticsListingAndSearch) {
    const std::tuple<std::string, Arguments, std::string> cases[] = {
        {"music_get_library_stats", {}, "Library: 3 tracks, 2 playlists."},
        {"music_list_playlists", {}, "Empty, Road Trip"},
        {"music_list_playlists", {{"limit", std::int64_t{1}}}, "Empty"},
        {"music_list_playlists", {{"limit", std::int64_t{-1}}}, ""},
        {"music_search", {{"query", "BLUE"}}, "Say \"Hi\" & beep - Ann, Bob (Night Blue)\nBlue Skies - The Quotes (Open Air)"},
        {"music_search", {{"query", "blue"}, {"limit", std::int64_t{1}}}, "Say \"Hi\" & beep - Ann, Bob (Night Blue)"},
        {"music_search", {{"query", "night"}}, "Say \"Hi\" & beep - Ann, Bob (Night Blue)"},
        {"music_search", {{"query", "untagged"}}, "untagged track -  ()"},
        {"music_search", {{"query", "blue"}, {"limit", std::int64_t{-2}}}, "No songs found."},
    };
    for (const auto& [tool, arguments, reply] : cases) EXPECT_EQ(call(tool, arguments), reply) << tool;
}

// A download preallocated with zeros, as `truncate -s 1G` makes it: the
// call answers after a bounded read, not a search through the whole file.
TEST_F(MusicFamilyTest, APreallocatedFileCostsABoundedRead) {
    musictest::writeSparseFile(music + "/preallocated.mp3", off_t{1} << 30);
    const std::uint64_t before = musictest::bytesReadSoFar();
    EXPECT_EQ(call("music_get_library_stats"), "Library: 4 tracks, 2 playlists.");
    EXPECT_LT(musictest::bytesReadSoFar() - before, 4u << 20);
    EXPECT_EQ(call("music_search", {{"query", "preallocated"}}), "preallocated -  ()");
}

// A stopped call that reads the library ends with rt::Cancelled, the
// answer of a call that was stopped; the next call reads it whole.
TEST_F(MusicFamilyTest, AStoppedCallEndsWithoutAnAnswer) {
    std::stop_source stopped;
    stopped.request_stop();
    const std::pair<std::string, Arguments> cases[] = {
        {"music_get_library_stats", {}},
        {"music_list_playlists", {}},
        {"music_search", {{"query", "blue"}}},
        {"music_play_song", {{"song", "blue"}}},
        {"music_play_playlist", {{"playlist", "Road Trip"}}},
    };
    for (const auto& [tool, arguments] : cases)
        EXPECT_THROW(family->handle(tool, arguments, stopped.get_token()), rt::Cancelled) << tool;
    EXPECT_EQ(call("music_get_library_stats"), "Library: 3 tracks, 2 playlists.");
}

TEST_F(MusicFamilyTest, PlayingHandsThePlayerTheFileUri) {
    FakePlayer player("vlc", "Paused");
    const std::string base = "file://" + music;
    EXPECT_EQ(call("music_play_song", {{"song", "skies"}}), "Playing: Blue Skies by The Quotes");
    // A quote and an ampersand in the name stay plain text of the search.
    EXPECT_EQ(call("music_play_song", {{"song", "Say \"Hi\" & beep"}}), "Playing: Say \"Hi\" & beep by Ann, Bob");
    EXPECT_EQ(call("music_play_song", {{"song", "\" & (do shell script \"touch /tmp/x\") & \""}}),
              "Song not found: \" & (do shell script \"touch /tmp/x\") & \"");
    EXPECT_EQ(call("music_play_playlist", {{"playlist", "road trip"}, {"shuffle", true}}),
              "Playing playlist: Road Trip");
    EXPECT_EQ(call("music_play_playlist", {{"playlist", "Road Trip"}}), "Playing playlist: Road Trip");
    EXPECT_EQ(call("music_play_playlist", {{"playlist", "Road"}}), "Playlist not found: Road");
    EXPECT_EQ(player.calls(), (std::vector<std::string>{
                                  "OpenUri " + base + "/Rock/blue.wav", "Play",
                                  "OpenUri " + base + "/Jazz%20Caf%C3%A9/hi%20%231.wav", "Play",
                                  "Shuffle true", "OpenUri " + base + "/Road%20Trip.m3u", "Play",
                                  "Shuffle false", "OpenUri " + base + "/Road%20Trip.m3u", "Play",
                              }));
    // Handing a player an empty playlist would report success while nothing plays.
    expectToolError([&] { call("music_play_playlist", {{"playlist", "Empty"}}); },
                    {"MusicTool", 500, "AppleScript Error: The playlist \"Empty\" has no tracks to play."});
}

TEST_F(MusicFamilyTest, ShuffleUnsupportedIsAnErrorNotNotFound) {
    FakePlayer player("plain", "Playing", /*canShuffle=*/false);
    expectToolError([&] { call("music_play_playlist", {{"playlist", "Road Trip"}, {"shuffle", true}}); },
                    {"MusicTool", 500, "AppleScript Error: The media player plain does not support shuffle."});
    EXPECT_TRUE(player.calls().empty());
    EXPECT_EQ(call("music_play_playlist", {{"playlist", "Road Trip"}}), "Playing playlist: Road Trip");
    EXPECT_EQ(player.calls().size(), 2u);
}

// A player that stops answering fails the call once, within one deadline:
// its state is asked for once, not again after the first wait ran out.
TEST_F(MusicFamilyTest, AFrozenPlayerIsWaitedForOnce) {
    FakePlayer player("frozen", "Playing");
    player.setFrozen(true);
    const auto error = testing::thrownToolError([&] { call("music_get_current_track"); });
    player.setFrozen(false);
    platform::SessionMediaPlayers().status("org.mpris.MediaPlayer2.frozen",
                                           std::chrono::steady_clock::now() + std::chrono::seconds(10));
    EXPECT_EQ(player.statusReads(), 2);  // the frozen read and the one just above
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->message().starts_with("AppleScript Error: cannot read the state of org.mpris.MediaPlayer2.frozen"))
        << error->message();
}

// Debian's mpv with its MPRIS bridge, paused and idle on the private bus:
// what the family says plays does play, and a list mpv refuses is no success.
TEST_F(MusicFamilyTest, MpvPlaysWhatTheFamilySaysItPlays) {
    using namespace std::chrono_literals;
    for (const char* tool : {"/usr/bin/mpv", "/usr/lib/mpv-mpris/mpris.so", "/usr/bin/playerctl"})
        ASSERT_EQ(::access(tool, R_OK), 0) << "missing " << tool << " (packages mpv, mpv-mpris, playerctl)";
    testsupport::ChildProcess mpv({"/usr/bin/mpv", "--no-config", "--idle=yes", "--pause", "--ao=null", "--vo=null",
                                   "--no-terminal", "--loop-file=inf", "--script=/usr/lib/mpv-mpris/mpris.so"},
                                  testsupport::environmentWith({}));
    // mpv's state as playerctl reads it, once it is `want` (any, when empty; bounded wait).
    const auto status = [](const std::string& want) {
        std::string seen;
        for (int i = 0; i < 100; ++i, std::this_thread::sleep_for(50ms)) {
            testsupport::ChildProcess playerctl({"/usr/bin/playerctl", "--player=mpv", "status"},
                                                testsupport::environmentWith({}), true);
            seen = playerctl.readLine().value_or("");
            if (!seen.empty() && (want.empty() || seen == want)) break;
        }
        return seen;
    };
    ASSERT_NE(status(""), "") << "mpv did not come up on the bus";
    EXPECT_EQ(call("music_play_song", {{"song", "skies"}}), "Playing: Blue Skies by The Quotes");
    EXPECT_EQ(status("Playing"), "Playing");
    EXPECT_EQ(call("music_pause"), "Success");
    EXPECT_EQ(status("Paused"), "Paused");
    // mpv names it by a file:// URL with its blanks, accent and '#' encoded.
    EXPECT_EQ(call("music_play_song", {{"song", "beep"}}), "Playing: Say \"Hi\" & beep by Ann, Bob");
    EXPECT_EQ(status("Playing"), "Playing");
    EXPECT_EQ(call("music_play_playlist", {{"playlist", "Road Trip"}}), "Playing playlist: Road Trip");
    EXPECT_EQ(status("Playing"), "Playing");

    // Without #EXTM3U and this short, mpv does not take it for a playlist.
    testsupport::writeFile(music + "/Refused.m3u", "\xEF\xBB\xBFx.wav\r\n");
    expectToolError([&] { call("music_play_playlist", {{"playlist", "Refused"}}); },
                    {"MusicTool", 500, "AppleScript Error: The media player mpv did not start playing the playlist \"Refused\"."});
    EXPECT_EQ(status("Stopped"), "Stopped");
}

// Two of Debian's mpv players with the MPRIS bridge, as playerctl sees them:
// after pause, play resumes the one that was playing, not the other one
// whose name comes first; an idle mpv with an empty playlist plays nothing,
// and play says so.
TEST_F(MusicFamilyTest, MpvPauseThenPlayResumesTheSamePlayer) {
    using namespace std::chrono_literals;
    for (const char* tool : {"/usr/bin/mpv", "/usr/lib/mpv-mpris/mpris.so", "/usr/bin/playerctl"})
        ASSERT_EQ(::access(tool, R_OK), 0) << "missing " << tool << " (packages mpv, mpv-mpris, playerctl)";
    const auto mpv = [&](std::vector<std::string> options) {
        std::vector<std::string> argv{"/usr/bin/mpv", "--no-config", "--idle=yes", "--ao=null", "--vo=null",
                                      "--no-terminal", "--loop-file=inf", "--script=/usr/lib/mpv-mpris/mpris.so"};
        argv.insert(argv.end(), options.begin(), options.end());
        return std::make_unique<testsupport::ChildProcess>(argv, testsupport::environmentWith({}));
    };
    // A player's state as playerctl reads it, once it is `want` (any, when empty; bounded wait).
    const auto status = [](const std::string& player, const std::string& want) {
        std::string seen;
        for (int i = 0; i < 100; ++i, std::this_thread::sleep_for(50ms)) {
            testsupport::ChildProcess playerctl({"/usr/bin/playerctl", "--player=" + player, "status"},
                                                testsupport::environmentWith({}), true);
            seen = playerctl.readLine().value_or("");
            if (!seen.empty() && (want.empty() || seen == want)) break;
        }
        return seen;
    };
    {
        // Idle mpv says "Stopped" or, as it comes up, "Paused": with no track either way.
        auto idle = mpv({"--pause"});
        ASSERT_NE(status("mpv", ""), "") << "mpv did not come up on the bus";
        expectToolError([&] { call("music_play"); },
                        {"MusicTool", 500, "AppleScript Error: Nothing could be played: the media player mpv has no track to play."});
    }
    // Gone from the bus before the next mpv takes the name "mpv".
    for (int i = 0; i < 100; ++i, std::this_thread::sleep_for(50ms)) {
        testsupport::ChildProcess list({"/usr/bin/playerctl", "--list-all"}, testsupport::environmentWith({}), true);
        if (!list.readLine()) break;
    }
    const std::string track = music + "/Rock/blue.wav";
    auto first = mpv({"--pause", track});
    ASSERT_EQ(status("mpv", "Paused"), "Paused");
    auto second = mpv({track});
    const std::string secondName = "mpv.instance" + std::to_string(second->pid());
    ASSERT_EQ(status(secondName, "Playing"), "Playing");
    EXPECT_EQ(call("music_pause"), "Success");
    EXPECT_EQ(status(secondName, "Paused"), "Paused");
    EXPECT_EQ(call("music_play"), "Success");
    EXPECT_EQ(status(secondName, "Playing"), "Playing");
    EXPECT_EQ(status("mpv", "Paused"), "Paused");
}

}  // namespace
}  // namespace app::tools
