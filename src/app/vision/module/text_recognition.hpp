// Text lines with Tesseract.
#pragma once

#include "app/vision/vision_engine.hpp"

#include <opencv2/core.hpp>

#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace app::vision::module {

// The Tesseract language of a BCP 47 code ("en-US" -> "eng", "zh-Hans" ->
// "chi_sim"); absent for a language it has no name for.
std::optional<std::string> tesseractLanguage(const std::string& code);

// Throws ToolError "VisionService" 400 "Unsupported language: <code>" for a
// code whose language data is not installed.
Results<TextObservation> recognizeTextLines(const cv::Mat& bgr, const TextRequest& request, std::stop_token stop);

}  // namespace app::vision::module
