// Face crops: the rectangle around a detected face, and its whole-pixel cut.
#pragma once

#include "app/vision/vision_engine.hpp"

#include <cmath>
#include <cstdint>
#include <optional>

namespace app::vision {

// A face's print with the detector's normalised box (not the crop).
struct FaceFeature {
    FacePrint observation;
    NormalizedBox box;
};

// A roll counts as large above this many radians (about 14.9 degrees).
inline constexpr double kLargeRoll = 0.26;
inline bool isLargeRoll(const std::optional<double>& roll) { return roll && std::abs(*roll) > kLargeRoll; }

// In pixels, top-left origin; may reach outside the image.
struct CropRect {
    double left = 0, top = 0, width = 0, height = 0;
};

// The face's box widened by a fifth of its width on either side and a fifth
// of its height above and below, for an image of width x height pixels. A
// negative (or NaN) left or top becomes 0; width and height are limited by
// the unclamped left and top.
CropRect faceCropRect(double width, double height, const NormalizedBox& box);

// The rectangle rounded outward to whole pixels and clipped to the image;
// absent when nothing of it remains or it is not a number.
std::optional<PixelRect> pixelCrop(const CropRect& rect, int width, int height);

// The source frame shown at sample index/30 s of a video running at fps,
// in exact arithmetic (fps taken as the nearest ratio over 1, 1001, 1000 or
// 100, else over 10^6).
std::int64_t sourceFrameIndex(std::int64_t index, double fps);
// How many samples of the 30-per-second grid fall before the end of a video
// of frameCount frames at fps; absent when that count is no finite number
// within 64 bits.
std::optional<std::int64_t> gridFrameCount(std::int64_t frameCount, double fps);

}  // namespace app::vision
