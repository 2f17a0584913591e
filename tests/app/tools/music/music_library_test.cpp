#include "app/platform/music_library.hpp"

#include <gtest/gtest.h>

#include "app/platform/media_players.hpp"
#include "app/platform/music_module.hpp"
#include "app/platform/scratch_dir.hpp"
#include "app/tools/music/music_stand_in.hpp"

#include <filesystem>
#include <sys/stat.h>

namespace app::platform {
namespace {

TEST(MusicLibraryText, M3uEntries) {
    struct Case {
        std::string label, text;
        std::vector<std::string> entries;
    };
    const Case cases[] = {
        {"relative, absolute, URIs", "#EXTM3U\n#EXTINF:12,A - B\na.mp3\n/x/b.flac\nhttp://h/s.mp3\n",
         {"/m/a.mp3", "/x/b.flac", "http://h/s.mp3"}},
        {"line ends, blanks, BOM", "\xEF\xBB\xBF  one.mp3 \r\n\r\ntwo.mp3\rthree.mp3", {"/m/one.mp3", "/m/two.mp3", "/m/three.mp3"}},
        {"file URIs decoded", "file:///a%20b/c%C3%A9.mp3\nfile://localhost/d.mp3\nfile:/e.mp3\nfile:///bad%zz",
         {"/a b/cé.mp3", "/d.mp3", "/e.mp3", "/bad%zz"}},
        {"comments only", "#EXTM3U\n# note\n", {}},
        {"not a scheme", "C:\\x.mp3\n1://y", {"/m/C:\\x.mp3", "1://y"}},
        {"invalid UTF-8 repaired", "a\xFF.mp3", {"/m/a\xEF\xBF\xBD.mp3"}},
        {"empty", "", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(parseM3u(c.text, "/m"), c.entries);
    }
}

TEST(MusicLibraryText, FileUrisRoundTrip) {
    const std::pair<std::string, std::string> cases[] = {
        {"/m/a b.mp3", "file:///m/a%20b.mp3"},
        {"/m/Café/#1?%.wav", "file:///m/Caf%C3%A9/%231%3F%25.wav"},
        {"/A-z_0.9~/x", "file:///A-z_0.9~/x"},
        {"/q\"&'\\", "file:///q%22%26%27%5C"},
    };
    for (const auto& [path, uri] : cases) {
        EXPECT_EQ(fileUri(path), uri);
        EXPECT_EQ(percentDecoded(uri.substr(7)), path);
    }
    EXPECT_EQ(percentDecoded("100%"), "100%");
    EXPECT_EQ(percentDecoded("%4"), "%4");
    EXPECT_EQ(percentDecoded("%+1x"), "%+1x");
}

TEST(MusicLibraryText, MusicFolderFromUserDirs) {
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"XDG_DESKTOP_DIR=\"$HOME/Desktop\"\nXDG_MUSIC_DIR=\"$HOME/Musik\"\n", "/home/u/Musik"},
        {"# comment\nXDG_MUSIC_DIR=\"/srv/audio/\"", "/srv/audio"},
        {"XDG_MUSIC_DIR=\"$HOME/My \\\"Tunes\\\"\"", "/home/u/My \"Tunes\""},
        {"XDG_MUSIC_DIR=\"$HOME/\"", "/home/u"},
        {"XDG_MUSIC_DIR=\"$HOMEx/a\"", std::nullopt},
        {"XDG_MUSIC_DIR=\"relative/a\"", std::nullopt},
        {"XDG_MUSIC_DIR=$HOME/Music", std::nullopt},
        {"XDG_MUSIC_DIRS=\"/a\"", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [text, folder] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(musicDirectoryFromUserDirs(text, "/home/u"), folder);
    }
}

TEST(MusicPlayers, TrackFromMetadata) {
    using Strings = std::vector<std::string>;
    struct Case {
        std::string label;
        MprisMetadata metadata;
        TrackInfo track;
    };
    const Case cases[] = {
        {"full", {{"xesam:title", "T"}, {"xesam:artist", Strings{"A", "", "B"}}, {"xesam:album", "L"},
                  {"mpris:length", std::int64_t{1500000}}},
         {"T", "A, B", "L", 1.5}},
        {"artist as one text, length as double", {{"xesam:artist", "Solo"}, {"mpris:length", 2e6}}, {"", "Solo", "", 2.0}},
        {"negative length unknown", {{"xesam:title", "T"}, {"mpris:length", std::int64_t{-1}}}, {"T", "", "", {}}},
        {"title from URL", {{"xesam:url", "file:///a/b%20c.ogg?x=1"}}, {"b c.ogg", "", "", {}}},
        {"wrong types ignored", {{"xesam:title", std::int64_t{3}}, {"mpris:length", "5"}, {"xesam:album", true}},
         {"", "", "", {}}},
        {"empty", {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(trackFromMetadata(c.metadata), c.track);
    }
}

TEST(MusicPlayers, SecondsInShortestText) {
    const std::pair<double, std::string> cases[] = {{215.5, "215.5"}, {3, "3"}, {0.1, "0.1"}, {0, "0"}, {1e-6, "1e-06"}};
    for (const auto& [seconds, text] : cases) EXPECT_EQ(secondsText(seconds), text);
}

TEST(MusicPlayers, PlayerChoice) {
    struct Case {
        std::map<std::string, std::string> statuses;
        std::optional<std::string> chosen;
    };
    const Case cases[] = {
        {{}, std::nullopt},
        {{{"b", "Stopped"}, {"a", "Stopped"}}, "a"},
        {{{"a", "Stopped"}, {"c", "Paused"}, {"b", "Paused"}}, "b"},
        {{{"a", "Paused"}, {"d", "Playing"}, {"c", "Playing"}}, "c"},
        {{{"a", ""}, {"b", "Paused"}}, "b"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> names;
        for (auto it = c.statuses.rbegin(); it != c.statuses.rend(); ++it) names.push_back(it->first);
        EXPECT_EQ(tools::choosePlayer(names, [&](const std::string& n) { return c.statuses.at(n); }), c.chosen);
    }
}

// Counts the files the library asks to read.
class CountingReader : public AudioTagReader {
public:
    std::optional<AudioTags> read(const std::string& path) override {
        paths.push_back(path);
        if (path.find("broken") != std::string::npos) return std::nullopt;
        return AudioTags{path.find("named") != std::string::npos ? "Named" : "", "", ""};
    }
    std::vector<std::string> paths;
};

TEST(FolderMusicLibrary, WalksRegularFilesOnceAndRereadsOnlyChangedOnes) {
    namespace fs = std::filesystem;
    testsupport::ScratchDir scratch;
    const std::string root = scratch.file("m");
    fs::create_directories(root + "/sub");
    testsupport::writeFile(root + "/named.mp3", "x");
    testsupport::writeFile(root + "/sub/plain.flac", "x");
    testsupport::writeFile(root + "/broken.ogg", "x");
    testsupport::writeFile(root + "/notes.txt", "x");
    testsupport::writeFile(root + "/list.m3u8", "named.mp3\n");
    ASSERT_EQ(::mkfifo((root + "/pipe.mp3").c_str(), 0600), 0);  // opening it would block
    fs::create_directory_symlink(root, root + "/sub/loop");
    fs::create_symlink(root + "/gone.mp3", root + "/dangling.mp3");

    auto reader = std::make_shared<CountingReader>();
    FolderMusicLibrary library([&] { return root; }, reader);
    auto first = library.contents();
    ASSERT_EQ(first->tracks.size(), 2u);
    EXPECT_EQ(first->tracks[0], (LibraryTrack{root + "/named.mp3", "Named", "", ""}));
    EXPECT_EQ(first->tracks[1], (LibraryTrack{root + "/sub/plain.flac", "plain", "", ""}));
    ASSERT_EQ(first->playlists.size(), 1u);
    EXPECT_EQ(first->playlists[0], (LibraryPlaylist{"list", root + "/list.m3u8", {root + "/named.mp3"}}));
    EXPECT_EQ(reader->paths.size(), 3u);  // named, plain, broken: each once, the loop not entered

    reader->paths.clear();
    EXPECT_EQ(library.contents()->tracks, first->tracks);
    EXPECT_TRUE(reader->paths.empty());

    testsupport::writeFile(root + "/sub/plain.flac", "longer");
    fs::remove(root + "/named.mp3");
    testsupport::writeFile(root + "/two.m3u", "sub/plain.flac");
    auto second = library.contents();
    EXPECT_EQ(reader->paths, std::vector<std::string>{root + "/sub/plain.flac"});
    ASSERT_EQ(second->tracks.size(), 1u);
    EXPECT_EQ(second->playlists.size(), 2u);
}

TEST(FolderMusicLibrary, AMissingFolderIsAnEmptyLibrary) {
    FolderMusicLibrary library([] { return std::string("/nonexistent/brisolet/music"); },
                               std::make_shared<CountingReader>());
    auto contents = library.contents();
    EXPECT_TRUE(contents->tracks.empty());
    EXPECT_TRUE(contents->playlists.empty());
}

}  // namespace
}  // namespace app::platform
