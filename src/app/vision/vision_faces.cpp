#include "app/vision/vision_faces.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace app::vision {

namespace {

constexpr double kMargin = 0.2;
constexpr std::int64_t kGridRate = 30;

__extension__ typedef __int128 Wide;

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

FrameSampler::FrameSampler(std::int64_t step, std::pair<std::int64_t, std::int64_t> timeBase)
    : step_(std::max<std::int64_t>(1, step)), num_(timeBase.first), den_(timeBase.second) {}

bool FrameSampler::takes(const FrameSpan& span) {
    // Sample n is at n x step / 30 s; the span ends at end x num / den s.
    const Wide end = static_cast<Wide>(span.end) * num_ * kGridRate;
    if (!(next_ * step_ * den_ < end)) return false;
    // The first sample at or after the end, by rounding up.
    next_ = std::max(next_ + 1, (end + step_ * den_ - 1) / (step_ * den_));
    return true;
}

double secondsOf(std::int64_t ticks, std::pair<std::int64_t, std::int64_t> timeBase) {
    // One rounding where the product is exact: 29 ticks of 1/10 s are 2.9 s.
    const Wide product = static_cast<Wide>(ticks) * timeBase.first;
    if (product >= -(Wide{1} << 53) && product <= (Wide{1} << 53)) {
        return static_cast<double>(product) / static_cast<double>(timeBase.second);
    }
    return static_cast<double>(ticks) * (static_cast<double>(timeBase.first) / static_cast<double>(timeBase.second));
}

}  // namespace app::vision
