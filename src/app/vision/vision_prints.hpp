// Feature prints: the descriptors the face search and the image comparison
// compare, made in the analysis module and compared here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace app::vision {

// A face: the face-description model's 1,024 features of the crop (none
// negative).
struct FacePrint {
    std::vector<float> features;
};

// A whole image: a 64-bit perceptual hash, a 16x16 grey thumbnail (0..255)
// and a digest of the exact pixels.
struct ImagePrint {
    std::uint64_t perceptualHash = 0;
    std::vector<float> thumbnail;
    std::uint64_t pixelDigest = 0;
};

// 1 - the cosine of the two feature vectors: 0 for prints pointing the same
// way, at most 1 (the features are not negative). NaN when the prints differ
// in length or one is empty or all zero.
float faceDistance(const FacePrint& a, const FacePrint& b);

// 0 only for the same pixels; a re-encoded copy stays below 5, a slightly
// cropped one below 15, unrelated pictures lie far above. NaN when the
// prints do not have the same layout.
float imageDistance(const ImagePrint& a, const ImagePrint& b);

// "Identical" (0), "Very Similar" (< 5), "Similar" (< 15), "Different"
// (also for NaN), compared in single precision.
std::string similarityDescription(float distance);

}  // namespace app::vision
