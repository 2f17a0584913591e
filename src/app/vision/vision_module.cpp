#include "app/vision/vision_module.hpp"

#include "app/platform/plugin_module.hpp"
#include "app/tools/registry/tool_error.hpp"

#include <cstdlib>

namespace app::vision {

namespace {

const platform::PluginModuleSpec kVisionModule{kVisionModuleFile, "vision module",
                                               "brisolet_vision_interface_version", kVisionInterfaceVersion,
                                               "brisolet_vision_engine", "engine"};

}  // namespace

std::vector<std::string> visionModuleCandidates() {
    return platform::pluginModuleCandidates(kVisionModuleFile, BRISOLET_VISION_MODULE_BUILD_PATH);
}

VisionEngine& loadVisionEngineFrom(const std::vector<std::string>& candidates) {
    // The decoders read their pixel limit when the module initialises.
    ::setenv("OPENCV_IO_MAX_IMAGE_PIXELS", kMaxImagePixels, 1);
    // Text recognition's OpenMP threads spin while they wait; on a busy
    // machine that made a small page take a minute instead of a second.
    ::setenv("OMP_THREAD_LIMIT", "1", 0);
    try {
        return platform::loadPluginModule<VisionEngine>(kVisionModule, candidates);
    } catch (const platform::PluginLoadError& e) {
        throw tools::ToolError("VisionService", 500, std::string("Failed to load the vision module: ") + e.what());
    }
}

VisionEngine& loadVisionEngine() {
    static std::mutex mutex;
    static VisionEngine* engine = nullptr;
    std::lock_guard lock(mutex);
    if (!engine) engine = &loadVisionEngineFrom(visionModuleCandidates());
    return *engine;
}

}  // namespace app::vision
