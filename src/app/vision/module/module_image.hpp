// Inside the analysis module: the bitmap behind a VisionImage, and the
// conversion of pixel rectangles to the normalised lower-left convention.
#pragma once

#include "app/vision/module/face_landmarks.hpp"
#include "app/vision/module/models.hpp"
#include "app/vision/vision_engine.hpp"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <mutex>
#include <optional>
#include <utility>

namespace app::vision::module {

// An 8-bit, three-channel (BGR) bitmap.
class MatImage : public VisionImage {
public:
    enum class Kind { Picture, VideoFrame };
    explicit MatImage(cv::Mat bgr, Kind kind = Kind::Picture) : bgr_(std::move(bgr)), kind_(kind) {}
    int width() const override { return bgr_.cols; }
    int height() const override { return bgr_.rows; }
    const cv::Mat& bgr() const { return bgr_; }
    Kind kind() const { return kind_; }

    // Its landmarked faces, looked for once: faces, body pose and the face
    // search of a video frame all start from them. A stopped search is not kept.
    std::vector<LandmarkedFace> faces(std::stop_token stop) const {
        std::lock_guard lock(facesMutex_);
        if (faces_) return *faces_;
        cv::Mat gray;
        cv::cvtColor(bgr_, gray, cv::COLOR_BGR2GRAY);
        std::vector<LandmarkedFace> found = detectLandmarkedFaces(gray, stop);
        if (!stop.stop_requested()) faces_ = found;
        return found;
    }

    // People, cats and dogs, looked for once: the animals, the body poses and
    // through them the hands of one frame share one run of the detector.
    std::vector<DetectedObject> objects(float minScore) const {
        std::lock_guard lock(objectsMutex_);
        if (!objects_) objects_ = detectObjects(bgr_, minScore);
        return *objects_;
    }

    // The body joints of each person, found once (the hands start from them).
    template <class Find>
    std::vector<BodyJoints> bodies(Find find) const {
        std::lock_guard lock(bodiesMutex_);
        if (!bodies_) bodies_ = find();
        return *bodies_;
    }

private:
    cv::Mat bgr_;
    Kind kind_;
    mutable std::mutex facesMutex_;
    mutable std::optional<std::vector<LandmarkedFace>> faces_;
    mutable std::mutex objectsMutex_, bodiesMutex_;
    mutable std::optional<std::vector<DetectedObject>> objects_;
    mutable std::optional<std::vector<BodyJoints>> bodies_;
};

// Every image an engine sees was made by this module.
inline const MatImage& matImage(const VisionImage& image) { return static_cast<const MatImage&>(image); }
inline const cv::Mat& pixels(const VisionImage& image) { return matImage(image).bgr(); }

// A rectangle in pixels (top-left origin) of an image of the given size, as
// fractions with the origin at the lower-left corner.
inline NormalizedBox normalizedBox(const cv::Rect2d& r, cv::Size image) {
    const double w = image.width, h = image.height;
    return {r.x / w, (h - r.y - r.height) / h, r.width / w, r.height / h};
}

// A point in pixels as fractions, origin at the lower-left corner.
inline std::pair<double, double> normalizedPoint(const cv::Point2d& p, cv::Size image) {
    return {p.x / image.width, (image.height - p.y) / image.height};
}

}  // namespace app::vision::module
