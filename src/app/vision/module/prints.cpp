#include "app/vision/module/prints.hpp"

#include <opencv2/img_hash.hpp>
#include <opencv2/imgproc.hpp>

#include <array>
#include <bit>

namespace app::vision::module {

namespace {

// The crop is brought to this side before its codes are counted, in a grid
// of kGrid x kGrid cells.
constexpr int kFaceSide = 64;
constexpr int kGrid = 4;
constexpr int kBins = 59;  // 58 uniform patterns and one for all others

// Bin of each 8-bit pattern: uniform patterns (at most two changes around
// the circle) have one each.
const std::array<unsigned char, 256>& uniformBins() {
    static const std::array<unsigned char, 256> bins = [] {
        std::array<unsigned char, 256> table{};
        int next = 0;
        for (int code = 0; code < 256; ++code) {
            const unsigned rotated = ((code >> 1) | ((code & 1) << 7)) & 0xff;
            table[code] = std::popcount(static_cast<unsigned>(code) ^ rotated) <= 2 ? next++ : kBins - 1;
        }
        return table;
    }();
    return bins;
}

}  // namespace

std::optional<FacePrint> lbpFacePrint(const cv::Mat& bgr) {
    if (bgr.cols < 8 || bgr.rows < 8) return std::nullopt;
    // The crop holds the face with a fifth of its size around it: the print
    // looks at the face alone, so that background and margins weigh nothing.
    const int w = std::max(1, cvRound(bgr.cols / 1.4)), h = std::max(1, cvRound(bgr.rows / 1.4));
    cv::Mat gray, face;
    cv::cvtColor(bgr(cv::Rect((bgr.cols - w) / 2, (bgr.rows - h) / 2, w, h)), gray, cv::COLOR_BGR2GRAY);
    cv::resize(gray, face, cv::Size(kFaceSide + 2, kFaceSide + 2), 0, 0, cv::INTER_AREA);
    cv::GaussianBlur(face, face, cv::Size(3, 3), 0);
    cv::equalizeHist(face, face);
    const auto& bins = uniformBins();
    static constexpr int dy[8] = {-1, -1, -1, 0, 1, 1, 1, 0}, dx[8] = {-1, 0, 1, 1, 1, 0, -1, -1};
    constexpr int cell = kFaceSide / kGrid;
    FacePrint print;
    print.cells.assign(kGrid * kGrid * kBins, 0.0f);
    for (int y = 0; y < kFaceSide; ++y) {
        for (int x = 0; x < kFaceSide; ++x) {
            const unsigned char centre = face.at<unsigned char>(y + 1, x + 1);
            unsigned code = 0;
            for (int k = 0; k < 8; ++k) code |= unsigned(face.at<unsigned char>(y + 1 + dy[k], x + 1 + dx[k]) >= centre) << k;
            print.cells[((y / cell) * kGrid + x / cell) * kBins + bins[code]] += 1.0f / (cell * cell);
        }
    }
    return print;
}

std::optional<ImagePrint> hashImagePrint(const cv::Mat& bgr) {
    if (bgr.empty()) return std::nullopt;
    ImagePrint print;
    cv::Mat hash;
    cv::img_hash::PHash::create()->compute(bgr, hash);
    if (hash.total() != 8) return std::nullopt;
    for (int i = 0; i < 8; ++i) print.perceptualHash |= std::uint64_t{hash.at<unsigned char>(0, i)} << (8 * i);
    cv::Mat gray, grayFloat, thumb;
    cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
    gray.convertTo(grayFloat, CV_32F);
    cv::resize(grayFloat, thumb, cv::Size(16, 16), 0, 0, cv::INTER_AREA);
    print.thumbnail.assign(thumb.begin<float>(), thumb.end<float>());
    // FNV-1a over the size and every byte of the colour pixels.
    std::uint64_t digest = 1469598103934665603ull;
    auto mix = [&](unsigned char byte) { digest = (digest ^ byte) * 1099511628211ull; };
    for (int v : {bgr.cols, bgr.rows}) {
        for (int i = 0; i < 4; ++i) mix(static_cast<unsigned char>(v >> (8 * i)));
    }
    for (int y = 0; y < bgr.rows; ++y) {
        const unsigned char* row = bgr.ptr<unsigned char>(y);
        for (std::size_t i = 0; i < bgr.cols * bgr.elemSize(); ++i) mix(row[i]);
    }
    print.pixelDigest = digest;
    return print;
}

}  // namespace app::vision::module
