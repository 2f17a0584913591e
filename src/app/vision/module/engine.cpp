// The analysis module's engine: image loading (picture_file.cpp) and
// rotation, and the detectors on OpenCV, zxing-cpp, dlib (face_landmarks.cpp)
// and Tesseract (text_recognition.cpp).
#include "app/tools/registry/tool_error.hpp"
#include "app/vision/module/abandonable.hpp"
#include "app/vision/module/face_landmarks.hpp"
#include "app/vision/module/module_image.hpp"
#include "app/vision/module/picture_file.hpp"
#include "app/vision/module/prints.hpp"
#include "app/vision/module/text_recognition.hpp"
#include "app/vision/module/video_file.hpp"
#include "app/vision/vision_engine.hpp"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/saliency.hpp>

#include <ZXing/ReadBarcode.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <numeric>

namespace app::vision::module {

namespace {

using tools::ToolError;

// The detector's scores, measured on the test photos: cats and dogs
// 0.41-0.64, the best cat or dog score on the photos of neither 0.14; people
// 0.55-0.67, the best person score on the photos without people 0.26.
constexpr float kLeastObjectScore = 0.1f;
constexpr float kLeastAnimalScore = 0.3f;
constexpr float kLeastPersonScore = 0.35f;
// A person the detector is unsure of (0.15-0.35: a soldier half hidden in
// a row scored 0.23) counts when the body model reads a person in the box,
// its joints' mean score at least kLeastUnsurePersonPose (such people on
// the photos 0.42-0.54; a horse 0.32).
constexpr float kLeastUnsurePersonScore = 0.15f;
constexpr float kLeastUnsurePersonPose = 0.4f;
constexpr float kLeastJointScore = 0.2f;
constexpr float kLeastHandScore = 0.5f;

// The body model's joints, in its order; left and right are the person's own.
constexpr std::array<const char*, 17> kBodyModelJoints = {
    "nose",       "left_eye",    "right_eye", "left_ear",  "right_ear",  "left_shoulder",
    "right_shoulder", "left_elbow", "right_elbow", "left_wrist", "right_wrist", "left_hip",
    "right_hip",  "left_knee",   "right_knee", "left_ankle", "right_ankle"};
// The hand model's joints: the wrist, then each finger from its base to its tip.
constexpr std::array<const char*, 21> kHandModelJoints = {
    "wrist",      "thumb_cmc",  "thumb_mp",   "thumb_ip",   "thumb_tip",  "index_mcp",  "index_pip",
    "index_dip",  "index_tip",  "middle_mcp", "middle_pip", "middle_dip", "middle_tip", "ring_mcp",
    "ring_pip",   "ring_dip",   "ring_tip",   "little_mcp", "little_pip", "little_dip", "little_tip"};

cv::Mat grayOf(const cv::Mat& bgr) {
    cv::Mat gray;
    cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
    return gray;
}

cv::Point2d meanOf(const std::array<cv::Point2d, 68>& points, int first, int last) {
    cv::Point2d sum(0, 0);
    for (int i = first; i <= last; ++i) sum += points[i];
    return sum * (1.0 / (last - first + 1));
}

// Counter-clockwise tilt of the line between the eyes: rotating the image by
// minus this angle makes the eyes level.
double rollOf(const LandmarkedFace& face) {
    const cv::Point2d left = meanOf(face.points, 36, 41), right = meanOf(face.points, 42, 47);
    return std::atan2(-(right.y - left.y), right.x - left.x);
}

// Turn of the head about the vertical axis, from a generic 3-D face model
// fitted to six landmarks; absent when the fit fails.
std::optional<double> yawOf(const LandmarkedFace& face, cv::Size image) {
    static const std::vector<cv::Point3d> model = {{0, 0, 0},          {0, -330, -65},     {-225, 170, -135},
                                                   {225, 170, -135},   {-150, -150, -125}, {150, -150, -125}};
    const std::vector<cv::Point2d> seen = {face.points[30], face.points[8],  face.points[36],
                                           face.points[45], face.points[48], face.points[54]};
    const double focal = image.width;
    cv::Matx33d camera(focal, 0, image.width / 2.0, 0, focal, image.height / 2.0, 0, 0, 1);
    cv::Mat rotation, translation;
    if (!cv::solvePnP(model, seen, camera, cv::noArray(), rotation, translation)) return std::nullopt;
    cv::Matx33d r;
    cv::Rodrigues(rotation, r);
    return std::atan2(-r(2, 0), std::hypot(r(2, 1), r(2, 2)));
}

std::vector<SalientObject> salientRegions(const cv::Mat& bgr, SaliencyKind kind) {
    // Maps are made on a reduced copy: the regions are fractions anyway.
    cv::Mat small;
    const double scale = std::min(1.0, 256.0 / std::max(bgr.cols, bgr.rows));
    cv::resize(bgr, small, cv::Size(), scale, scale, cv::INTER_AREA);
    cv::Mat map;
    if (kind == SaliencyKind::Objectness) {
        auto saliency = cv::saliency::StaticSaliencyFineGrained::create();
        saliency->computeSaliency(small, map);
    } else {
        auto saliency = cv::saliency::StaticSaliencySpectralResidual::create();
        saliency->computeSaliency(small, map);
        cv::GaussianBlur(map, map, cv::Size(0, 0), 3);
    }
    cv::Mat map8;
    cv::normalize(map, map8, 0, 255, cv::NORM_MINMAX, CV_8U);
    cv::Mat mask, labels, stats, centroids;
    cv::threshold(map8, mask, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
    const int count = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8);

    struct Region {
        cv::Rect box;
        int area;
        float confidence;
    };
    std::vector<Region> regions;
    const int minArea = std::max(1, map8.rows * map8.cols / 200);
    for (int label = 1; label < count; ++label) {
        const int area = stats.at<int>(label, cv::CC_STAT_AREA);
        if (area < minArea) continue;
        cv::Rect box(stats.at<int>(label, cv::CC_STAT_LEFT), stats.at<int>(label, cv::CC_STAT_TOP),
                     stats.at<int>(label, cv::CC_STAT_WIDTH), stats.at<int>(label, cv::CC_STAT_HEIGHT));
        const double mean = cv::mean(map8(box), labels(box) == label)[0];
        regions.push_back({box, area, static_cast<float>(mean / 255.0)});
    }
    std::sort(regions.begin(), regions.end(), [](const Region& a, const Region& b) { return a.area > b.area; });
    if (regions.size() > 16) regions.resize(16);
    std::vector<SalientObject> objects;
    for (const Region& region : regions) {
        objects.push_back({region.confidence, normalizedBox(region.box, map8.size())});
    }
    return objects;
}

// The box of a decoded code in the original picture. turnedFrom: the
// decoded picture was the original turned clockwise by 90 degrees, and this
// is the original's height.
cv::Rect codeBox(const ZXing::Result& result, cv::Size original, int turnedFrom) {
    const auto& p = result.position();
    std::vector<cv::Point> corners;
    for (const auto& corner : {p.topLeft(), p.topRight(), p.bottomRight(), p.bottomLeft()}) {
        corners.push_back(turnedFrom ? cv::Point(corner.y, turnedFrom - 1 - corner.x) : cv::Point(corner.x, corner.y));
    }
    return cv::boundingRect(corners) & cv::Rect(cv::Point(0, 0), original);
}

// Appends a code unless one of the same kind and payload is there already.
void addCode(const ZXing::Result& result, cv::Size original, int turnedFrom,
             std::vector<std::optional<BarcodeObservation>>& codes) {
    BarcodeObservation code;
    code.symbology = ZXing::ToString(result.format());
    if (result.contentType() != ZXing::ContentType::Binary) code.payload = result.text();
    const bool known = std::any_of(codes.begin(), codes.end(), [&](const auto& c) {
        return c->symbology == code.symbology && c->payload == code.payload;
    });
    if (known) return;
    code.box = normalizedBox(codeBox(result, original, turnedFrom), original);
    codes.emplace_back(std::move(code));
}

ZXing::ImageView viewOf(const cv::Mat& gray) {
    return {gray.data, gray.cols, gray.rows, ZXing::ImageFormat::Lum, static_cast<int>(gray.step)};
}

// Matrix codes, any number, in any orientation.
void readMatrixCodes(const cv::Mat& gray, std::vector<std::optional<BarcodeObservation>>& codes) {
    ZXing::DecodeHints hints;
    hints.setFormats(ZXing::BarcodeFormat::MatrixCodes).setTryHarder(true).setTryRotate(true);
    for (const ZXing::Result& result : ZXing::ReadBarcodes(viewOf(gray), hints)) {
        if (result.isValid()) addCode(result, gray.size(), 0, codes);
    }
}

// Linear codes one at a time, each blanked out before the next read: asking
// zxing-cpp 1.4 for several linear codes at once aborts the process on a
// failed assertion when a code spans several rows.
void readLinearCodes(cv::Mat gray, std::vector<std::optional<BarcodeObservation>>& codes, int turnedFrom,
                     std::stop_token stop) {
    const cv::Size original = turnedFrom ? cv::Size(gray.rows, gray.cols) : gray.size();
    ZXing::DecodeHints hints;
    hints.setFormats(ZXing::BarcodeFormat::LinearCodes).setTryHarder(true).setTryRotate(false);
    for (int round = 0; round < 8 && !stop.stop_requested(); ++round) {
        ZXing::Result result = ZXing::ReadBarcode(viewOf(gray), hints);
        if (!result.isValid()) return;
        addCode(result, original, turnedFrom, codes);
        cv::Rect seen = codeBox(result, gray.size(), 0);
        seen = cv::Rect(seen.x - 8, seen.y - 8, seen.width + 16, seen.height + 16) & cv::Rect(cv::Point(0, 0), gray.size());
        if (seen.area() == 0) return;
        gray(seen).setTo(255);
    }
}

// A joint the models place beyond the picture's edge is not seen.
bool inside(const cv::Point2d& p, cv::Size picture) {
    return p.x >= 0 && p.y >= 0 && p.x <= picture.width && p.y <= picture.height;
}

float meanScore(const BodyJoints& body) {
    float total = 0;
    for (const Joint& j : body) total += j.score;
    return total / static_cast<float>(body.size());
}

// Two readings of one person: of the joints both are sure of, at least
// three and at least half lie together (within a tenth of the person's
// size). People side by side share no joints.
bool samePerson(const BodyJoints& a, const BodyJoints& b) {
    std::vector<cv::Point2f> seen;
    for (const BodyJoints* body : {&a, &b}) {
        for (const Joint& j : *body) {
            if (j.score >= kLeastJointScore) seen.emplace_back(static_cast<float>(j.at.x), static_cast<float>(j.at.y));
        }
    }
    if (seen.empty()) return false;
    const cv::Rect extent = cv::boundingRect(seen);
    const double near = 0.1 * std::max(extent.width, extent.height);
    int both = 0, together = 0;
    for (std::size_t k = 0; k < a.size(); ++k) {
        if (a[k].score < kLeastJointScore || b[k].score < kLeastJointScore) continue;
        ++both;
        if (cv::norm(a[k].at - b[k].at) <= near) ++together;
    }
    return both >= 3 && 2 * together >= both;
}

// One reading per person of the detector's finds in the picture, the
// surest box first; a reading whose joints lie on an earlier one's is the
// same person again (the detector's boxes of one person overlap).
std::vector<BodyJoints> peopleIn(const cv::Mat& bgr, const std::vector<DetectedObject>& objects) {
    std::vector<cv::Rect2d> people;
    for (const DetectedObject& object : objects) {
        if (object.classIndex == kPersonClass && object.score >= kLeastUnsurePersonScore) people.push_back(object.box);
    }
    std::vector<BodyJoints> bodies;
    double upright = 0;
    for (const DetectedObject& object : objects) {
        if (object.classIndex != kPersonClass || object.score < kLeastUnsurePersonScore) continue;
        std::vector<cv::Rect2d> others;
        std::copy_if(people.begin(), people.end(), std::back_inserter(others), [&](const cv::Rect2d& p) { return p != object.box; });
        // The model wants people upright: the first person is also looked
        // at turned a quarter either way, and the turn that reads best is
        // the picture's (a photo taken sideways).
        const std::vector<double> angles =
            bodies.empty() ? std::vector<double>{0, CV_PI / 2, -CV_PI / 2} : std::vector<double>{upright};
        BodyJoints best;
        float bestScore = -1;
        double bestAngle = 0;
        for (double angle : angles) {
            const BodyJoints joints = bodyJoints(bgr, object.box, angle, others);
            const float score = meanScore(joints);
            if (score > bestScore) best = joints, bestScore = score, bestAngle = angle;
        }
        if (object.score < kLeastPersonScore && bestScore < kLeastUnsurePersonPose) continue;
        if (std::any_of(bodies.begin(), bodies.end(), [&](const BodyJoints& b) { return samePerson(b, best); })) continue;
        bodies.push_back(best);
        upright = bestAngle;
    }
    return bodies;
}

class Engine : public VisionEngine {
public:
    std::shared_ptr<VisionVideo> openVideo(const std::string& path) override {
        const ToolError unreadable("VisionService", 400, "Failed to load video from path: " + path);
        if (path.empty() || path[0] != '/') throw unreadable;
        std::shared_ptr<VisionVideo> video = openVideoFile(path);
        if (!video) throw unreadable;
        return video;
    }

    ImageRef loadImage(const std::string& path, std::stop_token stop) override {
        // The decoders' own statics are made here first, not on the thread
        // that may be left running at exit.
        static std::once_flag warm;
        std::call_once(warm, [] {
            std::vector<unsigned char> bmp;
            cv::imencode(".bmp", cv::Mat(1, 1, CV_8UC3, cv::Scalar::all(255)), bmp);
        });
        // One picture is decoded at a time, a stopped call's included: its
        // memory is bounded once, not once for each call left running.
        static std::mutex decoding;
        std::optional<cv::Mat> picture = untilStopped(stop, [path, stop] {
            std::lock_guard lock(decoding);
            return stop.stop_requested() ? cv::Mat() : readPicture(path);
        });
        if (!picture || picture->empty()) return nullptr;
        return std::make_shared<MatImage>(std::move(*picture));
    }

    ImageRef rotateImage(const VisionImage& image, double radians) override {
        return guarded([&]() -> ImageRef {
            const cv::Mat& src = pixels(image);
            const double c = std::abs(std::cos(radians)), s = std::abs(std::sin(radians));
            const double w = src.cols * c + src.rows * s, h = src.cols * s + src.rows * c;
            if (!(w >= 1 && h >= 1 && w < 1 << 15 && h < 1 << 15)) return nullptr;
            const cv::Size canvas(static_cast<int>(w), static_cast<int>(h));
            cv::Mat m = cv::getRotationMatrix2D(cv::Point2f(src.cols / 2.0f, src.rows / 2.0f),
                                                radians * 180.0 / CV_PI, 1.0);
            m.at<double>(0, 2) += canvas.width / 2.0 - src.cols / 2.0;
            m.at<double>(1, 2) += canvas.height / 2.0 - src.rows / 2.0;
            cv::Mat out;
            cv::warpAffine(src, out, m, canvas, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar::all(0));
            return std::make_shared<MatImage>(std::move(out));
        });
    }

    ImageRef cropImage(const VisionImage& image, PixelRect rect) override {
        const cv::Mat& src = pixels(image);
        const cv::Rect inside = cv::Rect(rect.x, rect.y, rect.width, rect.height) & cv::Rect(0, 0, src.cols, src.rows);
        if (inside.empty()) return nullptr;
        return std::make_shared<MatImage>(src(inside).clone());
    }

    std::optional<FacePrint> facePrint(const VisionImage& face) override {
        return guarded([&] { return modelFacePrint(pixels(face)); });
    }

    std::optional<ImagePrint> imagePrint(const VisionImage& image) override {
        return guarded([&] { return hashImagePrint(pixels(image)); });
    }

    Results<TextObservation> recognizeText(const VisionImage& image, const TextRequest& request,
                                           std::stop_token stop) override {
        return guarded([&] { return recognizeTextLines(pixels(image), request, stop); });
    }

    Results<FaceObservation> detectFaces(const VisionImage& image, std::stop_token stop) override {
        return guarded([&]() -> Results<FaceObservation> {
            const cv::Mat& bgr = pixels(image);
            std::vector<std::optional<FaceObservation>> faces;
            for (const LandmarkedFace& face : matImage(image).faces(stop)) {
                FaceObservation observation;
                observation.box = normalizedBox(clipped(face.box, bgr.size()), bgr.size());
                observation.roll = rollOf(face);
                observation.yaw = yawOf(face, bgr.size());
                // The 68-point layout: eyes 36-41 and 42-47, nose 27-35, outer lips 48-59.
                observation.landmarks = FaceLandmarkCounts{6, 6, 9, 12};
                faces.emplace_back(observation);
            }
            return faces;
        });
    }

    Results<BarcodeObservation> detectBarcodes(const VisionImage& image, std::stop_token stop) override {
        return guarded([&]() -> Results<BarcodeObservation> {
            const cv::Mat gray = grayOf(pixels(image));
            std::vector<std::optional<BarcodeObservation>> codes;
            // Linear codes upright, then turned a quarter.
            readMatrixCodes(gray, codes);
            readLinearCodes(gray.clone(), codes, 0, stop);
            cv::Mat turned;
            cv::rotate(gray, turned, cv::ROTATE_90_CLOCKWISE);
            readLinearCodes(turned, codes, gray.rows, stop);
            return codes;
        });
    }

    Results<AnimalObservation> recognizeAnimals(const VisionImage& image, std::stop_token stop) override {
        return guarded([&]() -> Results<AnimalObservation> {
            std::vector<std::optional<AnimalObservation>> animals;
            if (stop.stop_requested()) return animals;
            const cv::Size size = pixels(image).size();
            const std::vector<DetectedObject> objects = matImage(image).objects(kLeastObjectScore);
            const auto labelOf = [](const DetectedObject& o) -> const char* {
                return o.classIndex == kCatClass ? "Cat" : o.classIndex == kDogClass ? "Dog" : nullptr;
            };
            // One animal per place: the detector scores each kind separately,
            // so a cat and a dog found where the other is are one animal whose
            // labels are the kinds it was seen as, the surest first (the
            // finds come best first).
            std::vector<cv::Rect2d> taken;
            for (const DetectedObject& object : objects) {
                if (!labelOf(object) || object.score < kLeastAnimalScore) continue;
                const auto here = [&](const cv::Rect2d& box) { return sameObject(box, object.box); };
                if (std::any_of(taken.begin(), taken.end(), here)) continue;
                taken.push_back(object.box);
                AnimalObservation animal;
                for (const DetectedObject& seen : objects) {
                    const char* label = labelOf(seen);
                    if (!label || !here(seen.box)) continue;
                    const bool labelled = std::any_of(animal.labels.begin(), animal.labels.end(),
                                                      [&](const ClassificationLabel& l) { return l.identifier == label; });
                    if (!labelled) animal.labels.push_back({label, seen.score});
                }
                animal.box = normalizedBox(object.box, size);
                animals.emplace_back(std::move(animal));
            }
            return animals;
        });
    }

    // One pose per person found; the pose's confidence is the mean score of
    // its 17 joints, and a joint scoring below kLeastJointScore or placed
    // outside the picture is taken as not seen and left out.
    Results<PoseObservation> detectBodyPose(const VisionImage& image, std::stop_token stop) override {
        return guarded([&]() -> Results<PoseObservation> {
            std::vector<std::optional<PoseObservation>> poses;
            if (stop.stop_requested()) return poses;
            const cv::Size size = pixels(image).size();
            for (const BodyJoints& body : bodiesOf(image)) {
                PoseObservation pose;
                for (std::size_t k = 0; k < body.size(); ++k) {
                    if (body[k].score < kLeastJointScore || !inside(body[k].at, size)) continue;
                    auto [x, y] = normalizedPoint(body[k].at, size);
                    pose.joints[kBodyModelJoints[k]] = PosePoint{x, y, body[k].score};
                }
                const Joint &left = body[5], &right = body[6];
                if (pose.joints.count("left_shoulder") && pose.joints.count("right_shoulder")) {
                    auto [x, y] = normalizedPoint((left.at + right.at) * 0.5, size);
                    pose.joints["neck"] = PosePoint{x, y, std::min(left.score, right.score)};
                }
                pose.confidence = meanScore(body);
                poses.emplace_back(std::move(pose));
            }
            return poses;
        });
    }

    // Hands are looked for in crops around the wrists of the body poses,
    // turned fingers-up along the forearm, and in the whole picture (a
    // close-up of a hand shows no body); a crop counts as a hand when the
    // hand model is sure of it (kLeastHandScore), and of two finds of one
    // hand the surer stays.
    Results<PoseObservation> detectHandPose(const VisionImage& image, std::stop_token stop) override {
        return guarded([&]() -> Results<PoseObservation> {
            const cv::Mat& bgr = pixels(image);
            struct Crop {
                cv::Point2d centre;
                double side, angle;
            };
            std::vector<Crop> crops;
            for (const BodyJoints& body : bodiesOf(image)) {
                for (auto [elbow, wrist] : {std::pair{7, 9}, std::pair{8, 10}}) {
                    const Joint &e = body[static_cast<std::size_t>(elbow)], &w = body[static_cast<std::size_t>(wrist)];
                    if (e.score < kLeastJointScore || w.score < kLeastJointScore) continue;
                    const cv::Point2d forearm = w.at - e.at;
                    const double length = std::hypot(forearm.x, forearm.y);
                    if (length < 4) continue;
                    // The hand lies beyond the wrist, about as long as half the forearm.
                    crops.push_back({w.at + forearm * 0.4, length * 1.6, std::atan2(forearm.x, -forearm.y)});
                }
            }
            crops.push_back({cv::Point2d(bgr.cols / 2.0, bgr.rows / 2.0), double(std::max(bgr.cols, bgr.rows)), 0});
            struct Found {
                HandJoints hand;
                cv::Rect2d box;
            };
            std::vector<Found> found;
            for (const Crop& crop : crops) {
                if (stop.stop_requested()) break;
                HandJoints hand = handJoints(bgr, crop.centre, crop.side, crop.angle);
                if (hand.score < kLeastHandScore) continue;
                const cv::Rect2d box = cv::boundingRect(std::vector<cv::Point2f>(hand.at.begin(), hand.at.end()));
                found.push_back({hand, box});
            }
            std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.hand.score > b.hand.score; });
            std::vector<std::optional<PoseObservation>> hands;
            std::vector<cv::Rect2d> taken;
            for (const Found& f : found) {
                const bool same = std::any_of(taken.begin(), taken.end(), [&](const cv::Rect2d& t) {
                    const double both = (t & f.box).area();
                    return both > 0.5 * std::min(t.area(), f.box.area());
                });
                if (same) continue;
                taken.push_back(f.box);
                PoseObservation pose;
                pose.confidence = f.hand.score;
                for (std::size_t k = 0; k < f.hand.at.size(); ++k) {
                    if (!inside(f.hand.at[k], bgr.size())) continue;
                    auto [x, y] = normalizedPoint(f.hand.at[k], bgr.size());
                    pose.joints[kHandModelJoints[k]] = PosePoint{x, y, f.hand.score};
                }
                hands.emplace_back(std::move(pose));
            }
            return hands;
        });
    }

    Results<SaliencyObservation> analyzeSaliency(const VisionImage& image, SaliencyKind kind,
                                                 std::stop_token) override {
        return guarded([&]() -> Results<SaliencyObservation> {
            return std::vector<std::optional<SaliencyObservation>>{SaliencyObservation{salientRegions(pixels(image), kind)}};
        });
    }

private:
    // No library exception leaves the module.
    template <class F>
    static auto guarded(F work) -> decltype(work()) {
        try {
            return work();
        } catch (const ToolError&) {
            throw;
        } catch (const std::exception& e) {
            throw ToolError("VisionService", 500, std::string("Vision analysis failed: ") + e.what());
        }
    }

    // Two boxes of one object: they overlap by half or more.
    static bool sameObject(const cv::Rect2d& a, const cv::Rect2d& b) {
        const double both = (a & b).area();
        return both >= 0.5 * (a.area() + b.area() - both);
    }

    static cv::Rect2d clipped(const cv::Rect2d& r, cv::Size image) {
        return r & cv::Rect2d(0, 0, image.width, image.height);
    }

    // The body joints of each person found, in the picture as given.
    static std::vector<BodyJoints> bodiesOf(const VisionImage& image) {
        return matImage(image).bodies([&] {
            const cv::Mat& bgr = pixels(image);
            std::vector<BodyJoints> bodies = peopleIn(bgr, matImage(image).objects(kLeastObjectScore));
            // Nobody upright: a photo may have been taken sideways and saved
            // without the tag that says so. The quarter turn whose people
            // read best wins; they count as people upright do (a
            // head-and-shoulders portrait, which the detector is sure of,
            // reads about 0.3: the body model wants whole bodies). A video's
            // frames are shown as its display matrix says, and a video
            // without people would pay for two more detector runs a frame.
            if (!bodies.empty() || matImage(image).kind() == MatImage::Kind::VideoFrame) return bodies;
            float bestTotal = -1;
            for (const auto turn : {cv::ROTATE_90_CLOCKWISE, cv::ROTATE_90_COUNTERCLOCKWISE}) {
                cv::Mat turned;
                cv::rotate(bgr, turned, turn);
                std::vector<BodyJoints> found = peopleIn(turned, detectObjects(turned, kLeastObjectScore));
                float total = 0;
                for (BodyJoints& body : found) {
                    total += meanScore(body);
                    for (Joint& j : body) {
                        j.at = turn == cv::ROTATE_90_CLOCKWISE ? cv::Point2d(j.at.y, bgr.rows - j.at.x)
                                                                : cv::Point2d(bgr.cols - j.at.y, j.at.x);
                    }
                }
                if (!found.empty() && total > bestTotal) bodies = std::move(found), bestTotal = total;
            }
            return bodies;
        });
    }
};

}  // namespace

}  // namespace app::vision::module

extern "C" {

__attribute__((visibility("default"))) int brisolet_vision_interface_version() {
    return app::vision::kVisionInterfaceVersion;
}

__attribute__((visibility("default"))) app::vision::VisionEngine* brisolet_vision_engine() {
    static app::vision::module::Engine engine;
    return &engine;
}
}
