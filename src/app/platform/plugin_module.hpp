// The plug-in modules (desktop control, music, vision) keep their heavy
// libraries out of the program: each is a shared object of ours, loaded on
// first use and kept for the life of the process. One loader serves all
// three: where to look, dlopen, the interface version, the entry point.
//
// A module exports two C functions: `int <versionSymbol>()`, the interface
// version it was built with, and `T* <entrySymbol>()`, its one object.
#pragma once

#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace app::platform {

struct PluginModuleSpec {
    const char* fileName;       // "brisolet-vision.so"
    const char* kind;           // "vision module", in "<path> is not a vision module"
    const char* versionSymbol;  // extern "C" int ()
    int version;                // what this program was built against
    const char* entrySymbol;    // extern "C" T* ()
    const char* object;         // "engine", in "<path> gave no engine"
};

// Why a module could not be loaded; what() is the cause alone, each caller
// words the failure.
class PluginLoadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Beside the running program (where the build and an installation put the
// modules), then the build tree's copy when given (for programs elsewhere,
// such as the tests).
std::vector<std::string> pluginModuleCandidates(const std::string& fileName, const std::string& buildPath);

// Opens the first candidate that is a regular file (never a later one: the
// module beside the program is the one used), checks its version and
// returns the address of its entry point. Throws PluginLoadError.
void* openPluginModule(const PluginModuleSpec& info, const std::vector<std::string>& candidates,
                       std::string& path);

// The module's object. Throws PluginLoadError.
template <class T>
T& loadPluginModule(const PluginModuleSpec& info, const std::vector<std::string>& candidates) {
    std::string path;
    auto entry = reinterpret_cast<T* (*)()>(openPluginModule(info, candidates, path));
    T* object = entry();
    if (!object) throw PluginLoadError(path + " gave no " + info.object);
    return *object;
}

// The module's object, loaded at the first get() and kept; a failed load is
// tried again at the next.
template <class T>
class PluginModule {
public:
    PluginModule(const PluginModuleSpec& info, std::vector<std::string> candidates)
        : spec_(info), candidates_(std::move(candidates)) {}
    T& get() {
        std::lock_guard lock(mutex_);
        if (!object_) object_ = &loadPluginModule<T>(spec_, candidates_);
        return *object_;
    }

private:
    const PluginModuleSpec& spec_;
    const std::vector<std::string> candidates_;
    std::mutex mutex_;
    T* object_ = nullptr;
};

}  // namespace app::platform
