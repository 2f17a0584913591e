// Frontal faces with their 68 landmarks (the only file that sees dlib).
#pragma once

#include <opencv2/core.hpp>

#include <array>
#include <stop_token>
#include <vector>

namespace app::vision::module {

struct LandmarkedFace {
    cv::Rect2d box;        // pixels, top-left origin
    double score = 0;      // the detector's raw score
    std::array<cv::Point2d, 68> points;  // the iBUG 300-W layout
};

// Faces in an 8-bit grey image, in the detector's order. The models are read
// once per process; a missing model file throws std::runtime_error.
std::vector<LandmarkedFace> detectLandmarkedFaces(const cv::Mat& gray, std::stop_token stop);

}  // namespace app::vision::module
