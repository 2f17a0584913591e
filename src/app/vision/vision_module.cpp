#include "app/vision/vision_module.hpp"

#include "app/tools/registry/tool_error.hpp"

#include <cstdlib>
#include <mutex>

#include <dlfcn.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app::vision {

namespace {

[[noreturn]] void fail(const std::string& cause) {
    throw tools::ToolError("VisionService", 500, "Failed to load the vision module: " + cause);
}

bool isFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string dlerrorText() {
    const char* text = ::dlerror();
    return text ? text : "unknown error";
}

}  // namespace

std::vector<std::string> visionModuleCandidates() {
    std::vector<std::string> candidates;
    char exe[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        std::string path(exe, static_cast<std::size_t>(n));
        candidates.push_back(path.substr(0, path.rfind('/') + 1) + kVisionModuleFile);
    }
#ifdef BRISOLET_VISION_MODULE_BUILD_PATH
    candidates.push_back(BRISOLET_VISION_MODULE_BUILD_PATH);
#endif
    return candidates;
}

VisionEngine& loadVisionEngineFrom(const std::vector<std::string>& candidates) {
    std::string path;
    for (const std::string& candidate : candidates) {
        if (isFile(candidate)) {
            path = candidate;
            break;
        }
    }
    if (path.empty()) {
        std::string looked;
        for (const std::string& c : candidates) looked += (looked.empty() ? "" : ", ") + c;
        fail(std::string(kVisionModuleFile) + " not found (looked in: " + looked + ")");
    }
    // The decoders read their pixel limit when the module initialises.
    ::setenv("OPENCV_IO_MAX_IMAGE_PIXELS", kMaxImagePixels, 1);
    // Text recognition's OpenMP threads spin while they wait; on a busy
    // machine that made a small page take a minute instead of a second.
    ::setenv("OMP_THREAD_LIMIT", "1", 0);
    // Never closed: the image libraries keep threads of their own.
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) fail(dlerrorText());
    auto version = reinterpret_cast<int (*)()>(::dlsym(handle, "brisolet_vision_interface_version"));
    auto engine = reinterpret_cast<VisionEngine* (*)()>(::dlsym(handle, "brisolet_vision_engine"));
    if (!version || !engine) fail(path + " is not a vision module");
    if (version() != kVisionInterfaceVersion) {
        fail(path + " has interface version " + std::to_string(version()) + ", the program needs " +
             std::to_string(kVisionInterfaceVersion));
    }
    VisionEngine* loaded = engine();
    if (!loaded) fail(path + " gave no engine");
    return *loaded;
}

VisionEngine& loadVisionEngine() {
    static std::mutex mutex;
    static VisionEngine* engine = nullptr;
    std::lock_guard lock(mutex);
    if (!engine) engine = &loadVisionEngineFrom(visionModuleCandidates());
    return *engine;
}

}  // namespace app::vision
