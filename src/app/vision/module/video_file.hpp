// Inside the analysis module: a video file read with FFmpeg, frame by frame.
#pragma once

#include "app/vision/vision_engine.hpp"

#include <memory>
#include <string>

namespace app::vision::module {

// The video in the regular file at the path, if one of the containers videos
// come in holds it (MP4 and QuickTime, AVI, Matroska, WebM) and its video
// stream can be decoded; null otherwise.
std::shared_ptr<VisionVideo> openVideoFile(const std::string& path);

}  // namespace app::vision::module
