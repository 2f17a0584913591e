// What the detectors report, before any result map is built: plain records
// that cross from the analysis module into the program unchanged. Boxes and
// points are fractions of the image's width and height with the origin at
// the lower-left corner.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace app::vision {

struct NormalizedBox {
    double x = 0, y = 0, width = 0, height = 0;
};

// Absent when the detector gave no results at all; an entry is absent when it
// is an observation of another kind than the analysis reads (one such entry
// empties the whole result).
template <class T>
using Results = std::optional<std::vector<std::optional<T>>>;

struct TextCandidate {
    std::string text;
    float confidence = 0;
};

struct TextObservation {
    std::optional<TextCandidate> topCandidate;  // absent: the line is skipped
    NormalizedBox box;
};

// Point counts of the landmark regions; a region the face lacks is absent.
struct FaceLandmarkCounts {
    std::optional<int> leftEye, rightEye, nose, outerLips;
};

struct FaceObservation {
    NormalizedBox box;
    std::optional<double> roll, yaw;  // radians; absent when not reported
    std::optional<FaceLandmarkCounts> landmarks;
};

struct BarcodeObservation {
    std::string symbology;
    std::optional<std::string> payload;  // absent when not text
    NormalizedBox box;
};

struct ClassificationLabel {
    std::string identifier;
    float confidence = 0;
};

struct AnimalObservation {
    std::vector<ClassificationLabel> labels;
    NormalizedBox box;
};

struct PosePoint {
    double x = 0, y = 0;
    float confidence = 0;
};

// The joints a pose detector located, by joint name; a joint it could not
// look up is missing from the map.
struct PoseObservation {
    float confidence = 0;
    std::map<std::string, PosePoint> joints;
};

struct SalientObject {
    float confidence = 0;
    NormalizedBox box;
};

struct SaliencyObservation {
    std::vector<SalientObject> salientObjects;
};

}  // namespace app::vision
