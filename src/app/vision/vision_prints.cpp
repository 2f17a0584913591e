#include "app/vision/vision_prints.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace app::vision {

namespace {

// Image distance = differing hash bits x kHashWeight + mean thumbnail
// difference (grey levels) x kThumbnailWeight. Measured on the test photos:
// JPEG copies (quality 75-95) 0.01-1.01, 3% cut from every side 6-11,
// unrelated photos 39-64. The hash bits keep a cut of a plain picture (sky)
// as far as one of a busy one.
constexpr float kHashWeight = 1.0f;
constexpr float kThumbnailWeight = 0.1f;
// Different pixels never read as identical, however close their prints.
constexpr float kLeastDifference = 0.01f;

}  // namespace

float faceDistance(const FacePrint& a, const FacePrint& b) {
    if (a.features.size() != b.features.size() || a.features.empty()) return std::numeric_limits<float>::quiet_NaN();
    double dot = 0, aa = 0, bb = 0;
    for (std::size_t i = 0; i < a.features.size(); ++i) {
        dot += double(a.features[i]) * b.features[i];
        aa += double(a.features[i]) * a.features[i];
        bb += double(b.features[i]) * b.features[i];
    }
    if (!(aa > 0 && bb > 0)) return std::numeric_limits<float>::quiet_NaN();
    return static_cast<float>(std::clamp(1.0 - dot / std::sqrt(aa * bb), 0.0, 2.0));
}

float imageDistance(const ImagePrint& a, const ImagePrint& b) {
    if (a.thumbnail.size() != b.thumbnail.size() || a.thumbnail.empty()) return std::numeric_limits<float>::quiet_NaN();
    double diff = 0;
    for (std::size_t i = 0; i < a.thumbnail.size(); ++i) diff += std::abs(a.thumbnail[i] - b.thumbnail[i]);
    const int bits = std::popcount(a.perceptualHash ^ b.perceptualHash);
    float d = bits * kHashWeight + static_cast<float>(diff / a.thumbnail.size()) * kThumbnailWeight;
    if (a.pixelDigest != b.pixelDigest) d = std::max(d, kLeastDifference);
    return d;
}

std::string similarityDescription(float distance) {
    if (distance == 0.0f) return "Identical";
    if (distance < 5.0f) return "Very Similar";
    if (distance < 15.0f) return "Similar";
    return "Different";
}

}  // namespace app::vision
