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

// Which frames a video search looks at: the samples of the 30-per-second
// grid, every step samples (a step below 1 counts as 1), each taking the
// frame shown at its time. Frames come in the order they are shown; a frame
// is taken when the next sample time falls before its end, and every sample
// inside it is used up with it, so a frame is looked at once however many
// samples it covers, and the grid never runs past the last frame. Exact
// arithmetic on the video's time base (seconds per tick, num/den).
class FrameSampler {
public:
    FrameSampler(std::int64_t step, std::pair<std::int64_t, std::int64_t> timeBase);
    bool takes(const FrameSpan& span);

private:
    __extension__ typedef __int128 Wide;
    Wide step_, num_, den_;
    Wide next_ = 0;  // index of the next sample on the grid
};

// Ticks of a time base in seconds.
double secondsOf(std::int64_t ticks, std::pair<std::int64_t, std::int64_t> timeBase);

}  // namespace app::vision
