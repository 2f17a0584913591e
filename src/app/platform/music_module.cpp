#include "app/platform/music_module.hpp"

#include <dlfcn.h>

#include <mutex>
#include <stdexcept>
#include <unistd.h>

namespace app::platform {

namespace {

// Where the build put the module; otherwise beside the program.
std::string modulePath() {
#ifdef BRISOLET_MUSIC_MODULE_PATH
    if (::access(BRISOLET_MUSIC_MODULE_PATH, R_OK) == 0) return BRISOLET_MUSIC_MODULE_PATH;
#endif
    char self[4096];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string();
    dir = dir.substr(0, dir.find_last_of('/') + 1);
    return dir + "libbrisolet_music.so";
}

const MusicModuleApi& load() {
    std::string path = modulePath();
    // Kept loaded for the life of the process: its objects may outlive any caller.
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = ::dlerror();
        throw std::runtime_error("cannot load the music module " + path + ": " + (why ? why : "unknown error"));
    }
    using Entry = const MusicModuleApi* (*)();
    auto entry = reinterpret_cast<Entry>(::dlsym(handle, musicModuleEntry));
    const MusicModuleApi* api = entry ? entry() : nullptr;
    if (!api || api->version != musicModuleApiVersion)
        throw std::runtime_error("the music module " + path + " does not match this program");
    return *api;
}

}  // namespace

const MusicModuleApi& musicModule() {
    static std::mutex mutex;
    static const MusicModuleApi* api = nullptr;
    std::lock_guard lock(mutex);
    if (!api) api = &load();  // a failure is tried again at the next call
    return *api;
}

std::optional<AudioTags> ModuleAudioTagReader::read(const std::string& path) {
    if (!reader_) reader_ = musicModule().makeAudioTagReader();
    return reader_->read(path);
}

}  // namespace app::platform
