#include "app/vision/module/face_landmarks.hpp"

#include <opencv2/imgproc.hpp>

#include <dlib/image_processing.h>
#include <dlib/image_processing/frontal_face_detector.h>

#include <algorithm>
#include <mutex>
#include <stdexcept>

namespace app::vision::module {

namespace {

constexpr const char* kLandmarkModel = "/usr/share/dlib/shape_predictor_68_face_landmarks.dat";

struct Models {
    dlib::frontal_face_detector detector = dlib::get_frontal_face_detector();
    dlib::shape_predictor landmarks;
    Models() {
        try {
            dlib::deserialize(kLandmarkModel) >> landmarks;
        } catch (const std::exception& e) {
            throw std::runtime_error(std::string("cannot read the face landmark model ") + kLandmarkModel + ": " +
                                     e.what());
        }
    }
};

// The detector finds faces from about 80 pixels up: small pictures are
// enlarged, large ones reduced to keep the time bounded.
double workingScale(const cv::Mat& gray) {
    const int side = std::max(gray.cols, gray.rows);
    if (side < 800) return 2.0;
    if (side > 1600) return 1600.0 / side;
    return 1.0;
}

}  // namespace

std::vector<LandmarkedFace> detectLandmarkedFaces(const cv::Mat& gray, std::stop_token stop) {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    static Models models;

    const double scale = workingScale(gray);
    cv::Mat work;
    cv::resize(gray, work, cv::Size(), scale, scale, scale > 1 ? cv::INTER_LINEAR : cv::INTER_AREA);
    dlib::array2d<unsigned char> image(work.rows, work.cols);
    for (int y = 0; y < work.rows; ++y) std::copy_n(work.ptr<unsigned char>(y), work.cols, &image[y][0]);

    std::vector<dlib::rect_detection> detections;
    models.detector(image, detections, 0.0);
    std::vector<LandmarkedFace> faces;
    for (const auto& detection : detections) {
        if (stop.stop_requested()) break;
        const dlib::rectangle& r = detection.rect;
        dlib::full_object_detection shape = models.landmarks(image, r);
        LandmarkedFace face;
        face.box = cv::Rect2d(r.left() / scale, r.top() / scale, r.width() / scale, r.height() / scale);
        face.score = detection.detection_confidence;
        for (unsigned i = 0; i < shape.num_parts() && i < face.points.size(); ++i) {
            face.points[i] = cv::Point2d(shape.part(i).x() / scale, shape.part(i).y() / scale);
        }
        faces.push_back(face);
    }
    return faces;
}

}  // namespace app::vision::module
