#include "app/vision/module/prints.hpp"

#include "app/vision/module/models.hpp"

#include <opencv2/img_hash.hpp>
#include <opencv2/imgproc.hpp>

namespace app::vision::module {

std::optional<FacePrint> modelFacePrint(const cv::Mat& bgr) {
    if (bgr.cols < 8 || bgr.rows < 8) return std::nullopt;
    return FacePrint{faceDescription(bgr)};
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
