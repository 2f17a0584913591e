// The result maps of the single-image analyses, built from what a detector
// observed. Every map holds "success": true; a failure is thrown, never
// reported here. Results that are absent, or hold one observation of another
// kind, give the analysis's empty map.
#pragma once

#include "app/vision/vision_observations.hpp"
#include "json/value.hpp"

#include <array>
#include <string_view>

namespace app::vision {

// The joints a pose entry may name, in the order they are visited. Left and
// right are the person's own (a left eye looking at the camera is on the
// image's right).
inline constexpr std::array<std::string_view, 18> kBodyJoints = {
    "nose",           "left_eye",    "right_eye",   "left_ear",    "right_ear",  "left_shoulder",
    "right_shoulder", "neck",        "left_elbow",  "right_elbow", "left_wrist", "right_wrist",
    "left_hip",       "right_hip",   "left_knee",   "right_knee",  "left_ankle", "right_ankle"};

inline constexpr std::array<std::string_view, 21> kHandJoints = {
    "wrist",      "thumb_tip",  "thumb_ip",   "thumb_mp",   "thumb_cmc",  "index_tip",  "index_dip",
    "index_pip",  "index_mcp",  "middle_tip", "middle_dip", "middle_pip", "middle_mcp", "ring_tip",
    "ring_dip",   "ring_pip",   "ring_mcp",   "little_tip", "little_dip", "little_pip", "little_mcp"};

// A single-precision confidence as the shortest text that reads back as that
// float (0.3f is written 0.3, not 0.30000001192092896); NaN and infinities
// are written 0.
json::Value confidenceNumber(float confidence);
// {"x", "y", "width", "height"}, non-finite members written 0.
json::Value boxRecord(const NormalizedBox& box);

json::Value textResult(const Results<TextObservation>& results);
json::Value faceResult(const Results<FaceObservation>& results);
json::Value barcodeResult(const Results<BarcodeObservation>& results);
json::Value animalResult(const Results<AnimalObservation>& results);
json::Value bodyPoseResult(const Results<PoseObservation>& results);
json::Value handPoseResult(const Results<PoseObservation>& results);
json::Value saliencyResult(const Results<SaliencyObservation>& results);

}  // namespace app::vision
