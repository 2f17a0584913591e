// A music call over a folder that holds a 4 GiB .mp3 of zeros, as a download
// tool preallocates it (target: well under a second). The file's time is
// changed before each call, so that the library reads it again.
#include "app/platform/media_players.hpp"
#include "app/platform/music_library.hpp"
#include "app/platform/music_module.hpp"
#include "app/platform/script_host.hpp"
#include "app/tools/music/music_stand_in.hpp"
#include "app/tools/music/music_tools.hpp"
#include "support/fake_access_prompter.hpp"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace app;

void BM_LibraryStatsWithAPreallocatedMp3(benchmark::State& state) {
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/brisolet-bench-music-XXXXXX";
    if (!::mkdtemp(folder.data())) return state.SkipWithError("mkdtemp failed");
    const std::string file = folder + "/preallocated.mp3";
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ::ftruncate(fd, off_t{4} << 30) != 0) {
        if (fd >= 0) ::close(fd);
        std::filesystem::remove_all(folder);
        return state.SkipWithError("cannot make the 4 GiB file");
    }
    auto host = std::make_shared<platform::TemplateScriptHost>(std::make_shared<platform::FakeAccessPrompter>());
    auto library = std::make_shared<platform::FolderMusicLibrary>(
        [folder] { return folder; }, std::make_shared<platform::ModuleAudioTagReader>());
    tools::registerMusicScripts(
        *host, std::make_shared<tools::MusicStandIn>(std::make_shared<platform::SessionMediaPlayers>(), library));
    tools::MusicToolFamily family(host);
    family.handle("music_get_library_stats", {});  // loads the music module
    for (auto _ : state) {
        ::futimens(fd, nullptr);
        benchmark::DoNotOptimize(family.handle("music_get_library_stats", {}));
    }
    ::close(fd);
    std::filesystem::remove_all(folder);
}
BENCHMARK(BM_LibraryStatsWithAPreallocatedMp3)->Unit(benchmark::kMillisecond);

}  // namespace
