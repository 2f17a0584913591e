#include "app/platform/music_library.hpp"

#include <gtest/gtest.h>

#include "app/platform/media_players.hpp"
#include "app/platform/music_module.hpp"
#include "app/platform/scratch_dir.hpp"
#include "app/tools/music/music_stand_in.hpp"
#include "app/tools/music/music_test_support.hpp"
#include "runtime/runtime.hpp"
#include "support/child_process.hpp"
#include "support/fifo_trap.hpp"

#include <filesystem>
#include <sys/stat.h>

namespace app::platform {
namespace {

TEST(MusicLibraryText, M3uEntries) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"#EXTM3U\n#EXTINF:12,A - B\na.mp3\n/x/b.flac\nhttp://h/s.mp3\n", {"/m/a.mp3", "/x/b.flac", "http://h/s.mp3"}},
        {"\xEF\xBB\xBF  one.mp3 \r\n\r\ntwo.mp3\rthree.mp3", {"/m/one.mp3", "/m/two.mp3", "/m/three.mp3"}},
        {"file:///a%20b/c%C3%A9.mp3\nfile://localhost/d.mp3\nfile:/e.mp3\nfile:///bad%zz",
         {"/a b/cé.mp3", "/d.mp3", "/e.mp3", "/bad%zz"}},
        {"C:\\x.mp3\n1://y\n# note\n", {"/m/C:\\x.mp3", "1://y"}},
        {"a\xFF.mp3", {"/m/a\xEF\xBF\xBD.mp3"}},
        {"", {}},
        {"file://host\nfile:///a.mp3", {"/a.mp3"}},
    };
    for (const auto& [text, entries] : cases) EXPECT_EQ(parseM3u(text, "/m"), entries) << text;
}

TEST(MusicLibraryText, MusicFolderFromUserDirs) {
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"XDG_DESKTOP_DIR=\"$HOME/Desktop\"\nXDG_MUSIC_DIR=\"$HOME/Musik\"\n", "/home/u/Musik"},
        {"# comment\nXDG_MUSIC_DIR=\"/srv/audio/\"", "/srv/audio"},
        {"XDG_MUSIC_DIR=\"$HOME/My \\\"Tunes\\\"\"", "/home/u/My \"Tunes\""},
        {"XDG_MUSIC_DIR=\"$HOMEx/a\"\nXDG_MUSIC_DIR=\"relative/a\"\nXDG_MUSIC_DIR=$HOME/Music", std::nullopt},
    };
    for (const auto& [text, folder] : cases) EXPECT_EQ(musicDirectoryFromUserDirs(text, "/home/u"), folder) << text;
}

TEST(MusicPlayers, TrackFromMetadata) {
    // Lists, URLs and integer lengths are read on the bus in the family's tests.
    const std::pair<MprisMetadata, TrackInfo> cases[] = {
        {{{"xesam:artist", std::vector<std::string>{"A", "", "B"}}, {"mpris:length", 2e6}}, {"", "A, B", "", 2.0}},
        {{{"xesam:artist", "Solo"}, {"mpris:length", std::int64_t{-1}}}, {"", "Solo", "", {}}},
        {{{"xesam:url", "file:///a/b%20c.ogg?x=1"}}, {"b c.ogg", "", "", {}}},
        {{{"xesam:title", std::int64_t{3}}, {"mpris:length", "5"}, {"xesam:album", true}}, {}},
    };
    for (const auto& [metadata, track] : cases) EXPECT_EQ(trackFromMetadata(metadata), track);
}

TEST(MusicPlayers, PlayerChoice) {
    const std::pair<std::map<std::string, std::string>, std::optional<std::string>> cases[] = {
        {{}, std::nullopt},
        {{{"b", "Stopped"}, {"a", "Stopped"}}, "a"},
        {{{"a", "Stopped"}, {"c", "Paused"}, {"b", "Paused"}}, "b"},
        {{{"a", "Paused"}, {"d", "Playing"}, {"c", "Playing"}}, "c"},
        {{{"a", ""}, {"b", "Paused"}}, "b"},
    };
    for (const auto& [statuses, chosen] : cases) {
        std::vector<std::string> names;  // in reverse, so the choice must sort them
        for (auto it = statuses.rbegin(); it != statuses.rend(); ++it) names.push_back(it->first);
        EXPECT_EQ(tools::choosePlayer(names, [&statuses = statuses](const std::string& n) { return statuses.at(n); }), chosen);
    }
}

// The player last active through the tools is kept to while none plays; one
// that plays now wins, and one that does not answer is not kept to.
TEST(MusicPlayers, PlayerChoiceKeepsToTheLastActive) {
    const std::tuple<std::map<std::string, std::string>, std::string, std::optional<std::string>> cases[] = {
        {{{"a", "Paused"}, {"b", "Paused"}}, "b", "b"},
        {{{"a", "Paused"}, {"b", "Stopped"}}, "b", "b"},
        {{{"a", "Playing"}, {"b", "Paused"}}, "b", "a"},
        {{{"a", "Playing"}, {"b", "Playing"}}, "b", "b"},
        {{{"a", "Paused"}, {"b", ""}}, "b", "a"},
        {{{"a", "Stopped"}, {"c", "Paused"}}, "gone", "c"},
    };
    for (const auto& [statuses, preferred, chosen] : cases) {
        std::vector<std::string> names;
        for (const auto& entry : statuses) names.push_back(entry.first);
        EXPECT_EQ(tools::choosePlayer(names, [&statuses = statuses](const std::string& n) { return statuses.at(n); },
                                      preferred),
                  chosen)
            << preferred;
    }
}

// Counts the files the library asks to read.
class CountingReader : public AudioTagReader {
public:
    std::optional<AudioTags> read(int, const std::string& path, std::stop_token) override {
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
    for (const char* name : {"/named.mp3", "/sub/plain.flac", "/broken.ogg", "/notes.txt"})
        testsupport::writeFile(root + name, "x");
    testsupport::writeFile(root + "/list.m3u8", "named.mp3\n");
    ASSERT_EQ(::mkfifo((root + "/pipe.mp3").c_str(), 0600), 0);  // opening it would block
    fs::create_directory_symlink(root, root + "/sub/loop");
    fs::create_symlink(root + "/gone.mp3", root + "/dangling.mp3");

    auto reader = std::make_shared<CountingReader>();
    FolderMusicLibrary library([&] { return root; }, reader);
    auto first = library.contents();
    EXPECT_EQ(first->tracks, (std::vector<LibraryTrack>{{root + "/named.mp3", "Named", "", ""},
                                                         {root + "/sub/plain.flac", "plain", "", ""}}));
    EXPECT_EQ(first->playlists, (std::vector<LibraryPlaylist>{{"list", root + "/list.m3u8", {root + "/named.mp3"}}}));
    EXPECT_EQ(reader->paths.size(), 3u);  // named, plain, broken: each once, the loop not entered
    reader->paths.clear();
    EXPECT_EQ(library.contents()->tracks, first->tracks);
    EXPECT_TRUE(reader->paths.empty());

    testsupport::writeFile(root + "/sub/plain.flac", "longer");
    fs::remove(root + "/named.mp3");
    testsupport::writeFile(root + "/two.m3u", "sub/plain.flac");
    auto second = library.contents();
    EXPECT_EQ(reader->paths, std::vector<std::string>{root + "/sub/plain.flac"});
    EXPECT_TRUE(second->tracks.size() == 1 && second->playlists.size() == 2);
}

// A sync tool (or anyone) may swap a FIFO in for a file the walk saw: here
// every other track becomes one as the first is read. Tags are read from
// the descriptor checked, so no FIFO is waited on and the swapped files drop out.
TEST(FolderMusicLibrary, AFileSwappedForAFifoAfterTheWalkIsNeverWaitedOn) {
    testsupport::ScratchDir scratch;
    const std::string root = scratch.file("m");
    std::filesystem::create_directories(root);
    const std::vector<std::string> names = {"/a.mp3", "/b.flac", "/c.ogg"};
    for (const auto& name : names) testsupport::writeFile(root + name, "not audio");
    testsupport::FifoTrap trap("ID3");
    struct SwappingReader : AudioTagReader {
        std::optional<AudioTags> read(int fd, const std::string& path, std::stop_token stop) override {
            if (paths.empty()) {
                for (const auto& name : names)
                    if (root + name != path) std::filesystem::remove(root + name), trap.plant(root + name);
            }
            paths.push_back(path);
            return tagLib.read(fd, path, stop);
        }
        std::string root;
        std::vector<std::string> names;
        testsupport::FifoTrap& trap;
        ModuleAudioTagReader tagLib;
        std::vector<std::string> paths;
        SwappingReader(std::string r, std::vector<std::string> n, testsupport::FifoTrap& t)
            : root(std::move(r)), names(std::move(n)), trap(t) {}
    };
    auto reader = std::make_shared<SwappingReader>(root, names, trap);
    FolderMusicLibrary library([&] { return root; }, reader);
    const auto contents = trap.run([&] { return library.contents(); });
    EXPECT_FALSE(trap.sprung) << "a FIFO was opened blocking";
    EXPECT_EQ(reader->paths.size(), 1u);
    EXPECT_TRUE(contents->tracks.empty());
}

// TagLib's reader, and what each file cost it to read.
class MeasuringReader : public AudioTagReader {
public:
    std::optional<AudioTags> read(int fd, const std::string& path, std::stop_token stop) override {
        if (onRead) onRead();
        const std::uint64_t before = musictest::bytesReadSoFar();
        auto tags = tagLib.read(fd, path, stop);
        bytesRead[path] = musictest::bytesReadSoFar() - before;
        return tags;
    }
    ModuleAudioTagReader tagLib;
    std::function<void()> onRead;
    std::map<std::string, std::uint64_t> bytesRead;
};

// Files as ffmpeg tags them, at the start and at the end, read as before;
// files of zeros (preallocated downloads), which TagLib searches to the end
// for a tag, cost a bounded read whatever their size.
TEST(FolderMusicLibrary, TagsAtEitherEndAreReadAndZerosCostABoundedRead) {
    ASSERT_TRUE(testsupport::onPath("ffmpeg")) << "ffmpeg missing (scripts/setup installs it)";
    testsupport::ScratchDir scratch;
    const std::string root = scratch.file("m"), cover = scratch.file("cover.png");
    std::filesystem::create_directories(root);
    const auto ffmpeg = [](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"ffmpeg", "-v", "error", "-y"});
        testsupport::ChildProcess child(arguments, testsupport::environmentWith({}));
        child.closeInput();
        return child.wait(std::chrono::seconds(60));
    };
    // Noise: a picture of 1.4 MB, more than any search may read.
    ASSERT_EQ(ffmpeg({"-f", "lavfi", "-i", "nullsrc=s=1024x1024,geq=random(1)*255:128:128", "-frames:v", "1", cover}), 0);
    const std::vector<std::string> withCover = {"-i", cover, "-map", "0", "-map", "1", "-c:v", "copy",
                                                "-disposition:v", "attached_pic"};
    constexpr off_t GiB = off_t{1} << 30;
    struct Row {
        std::string name;
        std::vector<std::string> encoding;  // ffmpeg's options; none for "zeros": a sparse file
        std::optional<LibraryTrack> track;
    };
    const LibraryTrack plain{"", "Blue Skies", "The Quotes", "Open Air"}, accented{"", "Café Nuit", "Zoë", "Été"};
    const Row rows[] = {
        {"id3v2.mp3", {}, accented},
        {"id3v1 at the end.mp3", {"-write_id3v2", "0", "-write_id3v1", "1"}, plain},
        {"ape at the end.mp3", {"-write_id3v2", "0", "-write_apetag", "1"}, plain},
        {"cover.mp3", withCover, accented},
        {"cover.flac", withCover, accented},
        {"vorbis.ogg", {"-c:a", "libvorbis"}, accented},
        {"opus.opus", {"-c:a", "libopus"}, accented},
        {"aac.m4a", {"-c:a", "aac"}, accented},
        {"zeros.mp3", {}, LibraryTrack{"", "zeros", "", ""}},  // MPEG to TagLib, untagged
        {"zeros.flac", {}, std::nullopt},
        {"zeros.ogg", {}, std::nullopt},
    };
    std::vector<LibraryTrack> expected;
    for (const auto& row : rows) {
        const std::string path = root + "/" + row.name;
        if (row.name.starts_with("zeros")) {
            musictest::writeSparseFile(path, 4 * GiB);
        } else {
            const LibraryTrack& tags = *row.track;
            std::vector<std::string> arguments = {"-f", "lavfi", "-i", "sine=frequency=440:duration=1"};
            arguments.insert(arguments.end(), row.encoding.begin(), row.encoding.end());
            arguments.insert(arguments.end(), {"-metadata", "title=" + tags.title, "-metadata", "artist=" + tags.artist,
                                               "-metadata", "album=" + tags.album, path});
            ASSERT_EQ(ffmpeg(arguments), 0) << row.name;
        }
        if (row.track) expected.push_back({path, row.track->title, row.track->artist, row.track->album});
    }
    std::sort(expected.begin(), expected.end(), [](const auto& a, const auto& b) { return a.path < b.path; });

    auto reader = std::make_shared<MeasuringReader>();
    FolderMusicLibrary library([&] { return root; }, reader);
    EXPECT_EQ(library.contents()->tracks, expected);
    // 4 GiB of zeros: 1 MiB; a tag holding the picture: 1.4 MB.
    for (const auto& row : rows) EXPECT_LT(reader->bytesRead[root + "/" + row.name], 2u << 20) << row.name;
}

// A call stopped while a file is read ends within that file with
// rt::Cancelled, and keeps nothing of it: the next call reads it whole.
TEST(FolderMusicLibrary, AStopEndsTheReadingWithinAFileAndKeepsNothingOfIt) {
    testsupport::ScratchDir scratch;
    const std::pair<std::string, LibraryTrack> rows[] = {
        {"blue.wav", {"", "Blue Skies", "The Quotes", "Open Air"}},
        {"zeros.mp3", {"", "zeros", "", ""}},
    };
    for (const auto& [name, track] : rows) {
        const std::string root = scratch.file(name + ".d"), path = root + "/" + name;
        std::filesystem::create_directories(root);
        if (name.ends_with(".wav"))
            musictest::writeTaggedWav(path, {{"TITLE", {track.title}}, {"ARTIST", {track.artist}}, {"ALBUM", {track.album}}});
        else
            musictest::writeSparseFile(path, off_t{1} << 30);
        auto reader = std::make_shared<MeasuringReader>();
        FolderMusicLibrary library([&] { return root; }, reader);
        std::stop_source stop;
        reader->onRead = [&] { stop.request_stop(); };
        {
            rt::StopScope scope(stop.get_token());
            EXPECT_THROW(library.contents(), rt::Cancelled) << name;
        }
        EXPECT_LT(reader->bytesRead[path], 4096u) << name;
        reader->onRead = nullptr;
        EXPECT_EQ(library.contents()->tracks,
                  (std::vector<LibraryTrack>{{path, track.title, track.artist, track.album}}))
            << name;
    }
}

TEST(FolderMusicLibrary, AMissingFolderIsAnEmptyLibrary) {
    FolderMusicLibrary library([] { return std::string("/nonexistent/m"); }, std::make_shared<CountingReader>());
    EXPECT_TRUE(library.contents()->tracks.empty());
}

}  // namespace
}  // namespace app::platform
