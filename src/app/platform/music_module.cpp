#include "app/platform/music_module.hpp"

#include "app/platform/plugin_module.hpp"

#include <stdexcept>

namespace app::platform {

namespace {

const PluginModuleSpec kMusicModule{"libbrisolet_music.so", "music module", "brisolet_music_interface_version",
                                    musicModuleApiVersion, "brisolet_music_module", "entry points"};

}  // namespace

const MusicModuleApi& musicModule() {
    static PluginModule<const MusicModuleApi> module(
        kMusicModule, pluginModuleCandidates(kMusicModule.fileName, BRISOLET_MUSIC_MODULE_BUILD_PATH));
    try {
        return module.get();
    } catch (const PluginLoadError& e) {
        throw std::runtime_error(std::string("cannot load the music module: ") + e.what());
    }
}

std::optional<AudioTags> ModuleAudioTagReader::read(int fd, const std::string& path, std::stop_token stop) {
    if (!reader_) reader_ = musicModule().makeAudioTagReader();
    return reader_->read(fd, path, std::move(stop));
}

}  // namespace app::platform
