// The learned models of the analysis module: an object detector (people,
// cats, dogs), a body-joint model, a hand-joint model and a face-description
// model, read from the TensorFlow.js files that scripts/setup installs beside
// the module. Each is loaded on first use and kept; a missing or damaged file
// is a ToolError naming it, and only the analyses that need that model fail.
#pragma once

#include <opencv2/core.hpp>

#include <array>
#include <string>
#include <vector>

namespace app::vision::module {

// COCO classes as the detector numbers them.
inline constexpr int kPersonClass = 0, kCatClass = 15, kDogClass = 16;

struct DetectedObject {
    int classIndex = 0;
    float score = 0;
    cv::Rect2d box;  // pixels, top-left origin, inside the picture
};

struct Joint {
    cv::Point2d at;  // pixels, top-left origin
    float score = 0;
};

// The 17 body joints in the body model's order (nose, eyes, ears,
// shoulders, elbows, wrists, hips, knees, ankles; left before right, the
// person's own).
using BodyJoints = std::array<Joint, 17>;

struct HandJoints {
    float score = 0;              // how sure the model is that this is a hand
    std::array<cv::Point2d, 21> at;  // wrist, then each finger from base to tip
};

// The folder the models are read from: brisolet-models beside the module,
// else share/brisolet/models under the prefix the module is installed in.
std::string modelFolder();

// Objects of the detector's classes scoring at least minScore, the best
// first, overlapping finds of one class merged.
std::vector<DetectedObject> detectObjects(const cv::Mat& bgr, float minScore);

// The joints of the one person in the box (pixels), looked for in a crop
// turned by the angle (radians, counter-clockwise); the boxes of the other
// people in the picture are hidden from the model.
BodyJoints bodyJoints(const cv::Mat& bgr, const cv::Rect2d& person, double angle, const std::vector<cv::Rect2d>& others);

// The joints of a hand in a square crop given by its centre, side (pixels)
// and the angle (radians, counter-clockwise) that turns it fingers-up.
HandJoints handJoints(const cv::Mat& bgr, cv::Point2d centre, double side, double angle);

// What the face-description model makes of a face crop: 1,024 features,
// none negative.
std::vector<float> faceDescription(const cv::Mat& bgr);

}  // namespace app::vision::module
