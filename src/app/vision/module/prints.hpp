// The descriptors behind FacePrint and ImagePrint.
#pragma once

#include "app/vision/vision_prints.hpp"

#include <opencv2/core.hpp>

#include <optional>

namespace app::vision::module {

// Throws the model's ToolError when its file is missing or damaged.
std::optional<FacePrint> modelFacePrint(const cv::Mat& bgr);
std::optional<ImagePrint> hashImagePrint(const cv::Mat& bgr);

}  // namespace app::vision::module
