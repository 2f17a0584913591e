// Finding and loading the analysis module (brisolet-vision.so) on the first
// vision call. It is looked for beside the running program, then where the
// build put it. Once loaded it stays for the life of the process; a failed
// load is retried on the next call.
#pragma once

#include "app/vision/vision_engine.hpp"

#include <string>
#include <vector>

namespace app::vision {

inline constexpr const char* kVisionModuleFile = "brisolet-vision.so";
// Images above this many pixels are refused by the decoder instead of
// allocated (a small PNG can claim 16000x16000).
inline constexpr const char* kMaxImagePixels = "50000000";

// Beside /proc/self/exe, then the build tree's copy.
std::vector<std::string> visionModuleCandidates();

// The engine of the first candidate that exists. Throws ToolError
// "VisionService" 500 "Failed to load the vision module: <cause>".
VisionEngine& loadVisionEngineFrom(const std::vector<std::string>& candidates);

// loadVisionEngineFrom(visionModuleCandidates()), loaded once per process.
VisionEngine& loadVisionEngine();

}  // namespace app::vision
