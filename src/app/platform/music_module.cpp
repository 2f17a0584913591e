#include "app/platform/music_module.hpp"

#include "app/platform/plugin_module.hpp"

#include <mutex>
#include <stdexcept>

#ifndef BRISOLET_MUSIC_MODULE_BUILD_PATH
#define BRISOLET_MUSIC_MODULE_BUILD_PATH ""
#endif

namespace app::platform {

namespace {

const PluginModuleSpec kMusicModule{"libbrisolet_music.so", "music module", "brisolet_music_interface_version",
                                    musicModuleApiVersion, "brisolet_music_module", "entry points"};

}  // namespace

const MusicModuleApi& musicModule() {
    static std::mutex mutex;
    static const MusicModuleApi* api = nullptr;
    std::lock_guard lock(mutex);
    if (!api) {  // a failure is tried again at the next call
        try {
            api = &loadPluginModule<const MusicModuleApi>(
                kMusicModule, pluginModuleCandidates(kMusicModule.fileName, BRISOLET_MUSIC_MODULE_BUILD_PATH));
        } catch (const PluginLoadError& e) {
            throw std::runtime_error(std::string("cannot load the music module: ") + e.what());
        }
    }
    return *api;
}

std::optional<AudioTags> ModuleAudioTagReader::read(const std::string& path) {
    if (!reader_) reader_ = musicModule().makeAudioTagReader();
    return reader_->read(path);
}

}  // namespace app::platform
