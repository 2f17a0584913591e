#include "app/vision/vision_faces.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace app::vision {

namespace {

constexpr double kMargin = 0.2;
constexpr std::int64_t kGridRate = 30;

// Products of a 64-bit index and a rate ratio need more than 64 bits.
__extension__ typedef __int128 Wide;

struct Ratio {
    Wide numerator, denominator;
};

// The frame rate as an exact ratio: 29.97 is 30000/1001, not 29.97.
std::optional<Ratio> rateRatio(double fps) {
    if (!std::isfinite(fps) || !(fps > 0) || fps > 1e9) return std::nullopt;
    for (double denominator : {1.0, 1001.0, 1000.0, 100.0}) {
        const double scaled = fps * denominator;
        if (std::abs(scaled - std::round(scaled)) < 1e-6 * denominator && std::round(scaled) >= 1) {
            return Ratio{static_cast<Wide>(std::llround(scaled)), static_cast<Wide>(denominator)};
        }
    }
    const double scaled = std::round(fps * 1e6);
    if (scaled < 1) return std::nullopt;
    return Ratio{static_cast<Wide>(scaled), 1000000};
}

}  // namespace

CropRect faceCropRect(double width, double height, const NormalizedBox& box) {
    const double x = box.x * width, y = (1 - (box.y + box.height)) * height;
    const double w = box.width * width, h = box.height * height;
    const double mx = kMargin * w, my = kMargin * h;
    auto clamped = [](double v) { return std::isnan(v) || v < 0 ? 0.0 : v; };
    return {clamped(x - mx), clamped(y - my), std::min(w + 2 * mx, width - x + mx), std::min(h + 2 * my, height - y + my)};
}

std::optional<PixelRect> pixelCrop(const CropRect& rect, int width, int height) {
    double left = rect.left, top = rect.top, w = rect.width, h = rect.height;
    if (!std::isfinite(left) || !std::isfinite(top) || !std::isfinite(w) || !std::isfinite(h)) return std::nullopt;
    // A negative size extends the other way.
    if (w < 0) left += w, w = -w;
    if (h < 0) top += h, h = -h;
    if (w == 0 || h == 0) return std::nullopt;
    const double x0 = std::max(0.0, std::floor(left)), y0 = std::max(0.0, std::floor(top));
    const double x1 = std::min<double>(width, std::ceil(left + w)), y1 = std::min<double>(height, std::ceil(top + h));
    if (!(x1 > x0 && y1 > y0)) return std::nullopt;
    return PixelRect{static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1 - x0), static_cast<int>(y1 - y0)};
}

std::int64_t sourceFrameIndex(std::int64_t index, double fps) {
    const std::optional<Ratio> rate = rateRatio(fps);
    if (!rate || index <= 0) return 0;
    const Wide frame = static_cast<Wide>(index) * rate->numerator / (kGridRate * rate->denominator);
    return frame > std::numeric_limits<std::int64_t>::max() ? std::numeric_limits<std::int64_t>::max()
                                                              : static_cast<std::int64_t>(frame);
}

std::optional<std::int64_t> gridFrameCount(std::int64_t frameCount, double fps) {
    const std::optional<Ratio> rate = rateRatio(fps);
    if (!rate || frameCount <= 0) return std::nullopt;
    // frameCount / fps seconds, times 30, truncated.
    const Wide count = static_cast<Wide>(frameCount) * kGridRate * rate->denominator / rate->numerator;
    if (count > std::numeric_limits<std::int64_t>::max()) return std::nullopt;
    return static_cast<std::int64_t>(count);
}

}  // namespace app::vision
