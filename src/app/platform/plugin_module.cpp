#include "app/platform/plugin_module.hpp"

#include <dlfcn.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app::platform {

std::vector<std::string> pluginModuleCandidates(const std::string& fileName, const std::string& buildPath) {
    std::vector<std::string> candidates;
    char exe[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        const std::string path(exe, static_cast<std::size_t>(n));
        candidates.push_back(path.substr(0, path.rfind('/') + 1) + fileName);
    }
    if (!buildPath.empty()) candidates.push_back(buildPath);
    return candidates;
}

void* openPluginModule(const PluginModuleSpec& info, const std::vector<std::string>& candidates, std::string& path) {
    path.clear();
    for (const std::string& candidate : candidates) {
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            path = candidate;
            break;
        }
    }
    if (path.empty()) {
        std::string looked;
        for (const std::string& c : candidates) looked += (looked.empty() ? "" : ", ") + c;
        throw PluginLoadError(std::string(info.fileName) + " not found (looked in: " + looked + ")");
    }
    // Never closed: the module's objects, and the threads of its libraries,
    // may outlive any caller.
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = ::dlerror();
        throw PluginLoadError(why ? why : path + " cannot be opened");
    }
    auto version = reinterpret_cast<int (*)()>(::dlsym(handle, info.versionSymbol));
    void* entry = ::dlsym(handle, info.entrySymbol);
    if (!version || !entry) throw PluginLoadError(path + " is not a " + info.kind);
    if (const int found = version(); found != info.version) {
        throw PluginLoadError(path + " has interface version " + std::to_string(found) + ", the program needs " +
                              std::to_string(info.version));
    }
    return entry;
}

}  // namespace app::platform
