#include "app/tools/music/music_stand_in.hpp"

#include <gtest/gtest.h>

#include "app/platform/access_prompter.hpp"
#include "app/platform/music_module.hpp"
#include "app/platform/scratch_dir.hpp"
#include "app/tools/music/music_tools.hpp"
#include "app/tools/music/music_test_support.hpp"
#include "app/tools/tool_test_support.hpp"

#include <filesystem>

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
        namespace fs = std::filesystem;
        fs::create_directories(music + "/Rock");
        fs::create_directories(music + "/Jazz Café");
        musictest::writeTaggedWav(music + "/Rock/blue.wav",
                                  {{"TITLE", {"Blue Skies"}}, {"ARTIST", {"The Quotes"}}, {"ALBUM", {"Open Air"}}});
        musictest::writeTaggedWav(music + "/Jazz Café/hi #1.wav", {{"TITLE", {"Say \"Hi\" & beep"}},
                                                                    {"ARTIST", {"Ann", "Bob"}},
                                                                    {"ALBUM", {"Night Blue"}}});
        musictest::writeTaggedWav(music + "/untagged track.wav", {});
        testsupport::writeFile(music + "/Road Trip.m3u", "#EXTM3U\n#EXTINF:1,The Quotes - Blue Skies\nRock/blue.wav\n");
        testsupport::writeFile(music + "/Empty.m3u8", "#EXTM3U\n");
        testsupport::writeFile(music + "/cover.txt", "not music");

        auto host = std::make_shared<platform::TemplateScriptHost>(std::make_shared<platform::FakeAccessPrompter>());
        auto library = std::make_shared<platform::FolderMusicLibrary>(
            [folder = music] { return folder; }, std::make_shared<platform::ModuleAudioTagReader>());
        registerMusicScripts(*host, std::make_shared<MusicStandIn>(std::make_shared<platform::SessionMediaPlayers>(),
                                                                   library));
        family = std::make_unique<MusicToolFamily>(host);
    }

    std::string call(const std::string& tool, const Arguments& arguments = {}) {
        return family->handle(tool, arguments, {});
    }

    musictest::PrivateBus bus;
    testsupport::ScratchDir scratch;
    std::string music = scratch.file("Music");
    std::unique_ptr<MusicToolFamily> family;
};

TEST_F(MusicFamilyTest, CommandsGoToThePlayingPlayer) {
    FakePlayer stopped("a", "Stopped"), paused("b", "Paused"), playing("c", "Playing");
    struct Case {
        std::string tool;
        Arguments arguments;
        std::string received;
    };
    const Case cases[] = {
        {"music_play", {}, "Play"},
        {"music_pause", {}, "Pause"},
        {"music_next", {}, "Next"},
        {"music_prev", {}, "Previous"},
        {"music_set_volume", {{"level", std::int64_t{42}}}, "Volume 0.420000"},
        {"music_set_volume", {{"level", std::int64_t{150}}}, "Volume 1.000000"},
        {"music_set_volume", {{"level", std::int64_t{-5}}}, "Volume 0.000000"},
    };
    std::vector<std::string> expected;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.received);
        EXPECT_EQ(call(c.tool, c.arguments), "Success");
        expected.push_back(c.received);
    }
    EXPECT_EQ(playing.calls(), expected);
    EXPECT_TRUE(paused.calls().empty());
    EXPECT_TRUE(stopped.calls().empty());
}

TEST_F(MusicFamilyTest, APausedPlayerComesBeforeTheFirstName) {
    FakePlayer first("a", "Stopped"), paused("z", "Paused");
    EXPECT_EQ(call("music_pause"), "Success");
    EXPECT_EQ(paused.calls(), std::vector<std::string>{"Pause"});
    EXPECT_TRUE(first.calls().empty());
}

TEST_F(MusicFamilyTest, CurrentTrackReply) {
    struct Case {
        std::string label, status;
        std::map<std::string, sdbus::Variant> metadata;
        std::int64_t position;
        std::string reply;
    };
    const Case cases[] = {
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
        {"a title holding the separator", "Playing", {{"xesam:title", sdbus::Variant(std::string("a|||b"))}}, 0,
         "Playing: a\nArtist: b\nAlbum: \nDuration: s\nPosition: 0s\nState: 0"},
        {"stopped", "Stopped", {{"xesam:title", sdbus::Variant(std::string("T"))}}, 0,
         "No track is currently playing."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        FakePlayer player("p", c.status);
        player.setTrack(c.metadata, c.position);
        EXPECT_EQ(call("music_get_current_track"), c.reply);
    }
}

TEST_F(MusicFamilyTest, NoPlayerRunning) {
    EXPECT_EQ(call("music_get_current_track"), "No track is currently playing.");
    for (const char* tool : {"music_play", "music_pause", "music_next", "music_prev"}) {
        SCOPED_TRACE(tool);
        expectToolError([&] { call(tool); }, {"MusicTool", 500, kNoPlayer});
    }
    expectToolError([&] { call("music_set_volume", {{"level", std::int64_t{5}}}); }, {"MusicTool", 500, kNoPlayer});
    expectToolError([&] { call("music_play_song", {{"song", "blue"}}); }, {"MusicTool", 500, kNoPlayer});
    expectToolError([&] { call("music_play_playlist", {{"playlist", "Road Trip"}}); }, {"MusicTool", 500, kNoPlayer});
    // The library needs no player.
    EXPECT_EQ(call("music_play_song", {{"song", "nothing like it"}}), "Song not found: nothing like it");
    EXPECT_EQ(call("music_get_library_stats"), "Library: 3 tracks, 2 playlists.");
}

TEST_F(MusicFamilyTest, LibraryStatisticsListingAndSearch) {
    struct Case {
        std::string tool;
        Arguments arguments;
        std::string reply;
    };
    const Case cases[] = {
        {"music_get_library_stats", {}, "Library: 3 tracks, 2 playlists."},
        {"music_list_playlists", {}, "Empty, Road Trip"},
        {"music_list_playlists", {{"limit", std::int64_t{1}}}, "Empty"},
        {"music_list_playlists", {{"limit", std::int64_t{-1}}}, ""},
        {"music_search", {{"query", "BLUE"}}, "Say \"Hi\" & beep - Ann, Bob (Night Blue)\nBlue Skies - The Quotes (Open Air)"},
        {"music_search", {{"query", "blue"}, {"limit", std::int64_t{1}}}, "Say \"Hi\" & beep - Ann, Bob (Night Blue)"},
        {"music_search", {{"query", "quotes"}}, "Blue Skies - The Quotes (Open Air)"},
        {"music_search", {{"query", "night"}}, "Say \"Hi\" & beep - Ann, Bob (Night Blue)"},
        {"music_search", {{"query", "untagged"}}, "untagged track -  ()"},
        {"music_search", {{"query", "blue"}, {"limit", std::int64_t{-2}}}, "No songs found."},
        {"music_search", {{"query", "zzz"}}, "No songs found."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tool);
        EXPECT_EQ(call(c.tool, c.arguments), c.reply);
    }
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
                                  "OpenUri " + base + "/Rock/blue.wav",
                                  "OpenUri " + base + "/Jazz%20Caf%C3%A9/hi%20%231.wav",
                                  "Shuffle true",
                                  "OpenUri " + base + "/Road%20Trip.m3u",
                                  "Shuffle false",
                                  "OpenUri " + base + "/Road%20Trip.m3u",
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
    EXPECT_EQ(player.calls().size(), 1u);
}

}  // namespace
}  // namespace app::tools
