// Face prints and the face search in a video, an image and a folder; the
// image comparison.
#include "app/tools/registry/tool_error.hpp"
#include "app/vision/vision_results.hpp"
#include "app/vision/vision_service.hpp"
#include "json/json.hpp"
#include "runtime/runtime.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>

namespace app::vision {

namespace {

constexpr std::size_t kFrameBatch = 20;
// Frames are kept reduced to this side: the face detector works on pictures
// no larger. A batch also ends once its pictures reach kBatchBytes (nine
// such frames), so that it stays small next to the decoder's own frame.
constexpr int kSearchFrameSide = 1600;
constexpr std::int64_t kBatchBytes = std::int64_t{64} << 20;
constexpr std::array<std::string_view, 6> kImageExtensions = {"jpg", "jpeg", "png", "heic", "bmp", "tiff"};

double similarityOf(const FaceFeature& face, const FacePrint& target) {
    return 1.0 - static_cast<double>(faceDistance(face.observation, target));
}

bool isImageName(const std::string& name) {
    std::string extension = std::filesystem::path(name).extension().string();
    if (extension.empty()) return false;
    extension.erase(0, 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return std::find(kImageExtensions.begin(), kImageExtensions.end(), extension) != kImageExtensions.end();
}

double similarityMember(const json::Value& match) {
    const json::Value* s = match.find("similarity");
    return s && s->isNumber() ? s->asNumber() : 0.0;
}

}  // namespace

// The turned crop's canvas is larger than the crop; the face sits in its
// middle, so the middle at the crop's size is kept, without the corners.
ImageRef VisionService::centred(ImageRef image, int width, int height) {
    const PixelRect middle{std::max(0, (image->width() - width) / 2), std::max(0, (image->height() - height) / 2),
                           std::min(width, image->width()), std::min(height, image->height())};
    ImageRef cut = engine_.cropImage(*image, middle);
    return cut ? cut : image;
}

std::vector<FaceFeature> VisionService::extractAllFaceFeatures(const VisionImage& image) {
    const Results<FaceObservation> results = engine_.detectFaces(image, stop_);
    checkStop();
    std::vector<FaceFeature> features;
    if (!results || std::any_of(results->begin(), results->end(), [](const auto& r) { return !r; })) return features;
    for (const auto& face : *results) {
        checkStop();
        const std::optional<PixelRect> rect =
            pixelCrop(faceCropRect(image.width(), image.height(), face->box), image.width(), image.height());
        if (!rect) continue;
        ImageRef crop = engine_.cropImage(image, *rect);
        if (!crop) continue;
        if (isLargeRoll(face->roll)) {
            if (ImageRef upright = engine_.rotateImage(*crop, -*face->roll)) crop = centred(std::move(upright), rect->width, rect->height);
        }
        if (std::optional<FacePrint> print = engine_.facePrint(*crop)) features.push_back({std::move(*print), face->box});
    }
    return features;
}

ImageRef VisionService::detectAndCropFace(const VisionImage& image, bool allowCorrection) {
    const Results<FaceObservation> results = engine_.detectFaces(image, stop_);
    checkStop();
    if (!results || results->empty() || !results->front()) return nullptr;
    const FaceObservation& face = *results->front();
    if (allowCorrection && isLargeRoll(face.roll)) {
        if (ImageRef upright = engine_.rotateImage(image, -*face.roll)) {
            diagnostics_.write("Face rotation detected (roll: " + json::describeDouble(*face.roll) +
                               "). Correcting image...");
            try {
                return detectAndCropFace(*upright, false);
            } catch (const rt::Cancelled&) {
                throw;
            } catch (const std::exception&) {
                return nullptr;
            }
        }
    }
    const std::optional<PixelRect> rect =
        pixelCrop(faceCropRect(image.width(), image.height(), face.box), image.width(), image.height());
    return rect ? engine_.cropImage(image, *rect) : nullptr;
}

std::optional<FacePrint> VisionService::extractTargetFaceFeature(const VisionImage& image) {
    ImageRef crop = detectAndCropFace(image, true);
    if (!crop) return std::nullopt;
    return generateFaceFeature(*crop);
}

std::optional<FacePrint> VisionService::generateFaceFeature(const VisionImage& crop) { return engine_.facePrint(crop); }

json::Value VisionService::searchFaceInVideo(const FacePrint& target, const std::string& path, double threshold,
                                             std::int64_t sampleInterval) {
    std::shared_ptr<VisionVideo> video = loadVideo(path);
    const auto timeBase = video->timeBase();
    FrameSampler sampler(sampleInterval, timeBase);
    json::Array matches;
    std::vector<double> appearances;
    std::int64_t streamEnd = 0;
    for (bool ended = false; !ended;) {
        // At most one batch of frames is held at a time.
        std::vector<std::pair<double, ImageRef>> frames;
        for (std::int64_t held = 0; frames.size() < kFrameBatch && held < kBatchBytes;) {
            checkStop();
            const std::optional<FrameSpan> span = video->nextFrame(stop_);
            checkStop();
            if (!span) {
                ended = true;
                break;
            }
            streamEnd = std::max(streamEnd, span->end);
            if (!sampler.takes(*span)) continue;
            if (ImageRef image = video->picture(kSearchFrameSide)) {
                held += std::int64_t{3} * image->width() * image->height();
                frames.emplace_back(secondsOf(span->start, timeBase), std::move(image));
            }
        }
        for (const auto& [time, image] : frames) {
            for (const FaceFeature& face : extractAllFaceFeatures(*image)) {
                const double similarity = similarityOf(face, target);
                if (!(similarity >= threshold)) continue;
                matches.push_back(
                    json::Object{{"timestamp", time}, {"similarity", similarity}, {"bounding_box", boxRecord(face.box)}});
                appearances.push_back(time);
            }
        }
    }
    json::Object summary{{"total_matches", static_cast<long long>(matches.size())},
                         {"video_duration", secondsOf(streamEnd, timeBase)}};
    if (!appearances.empty()) {
        summary.set("first_appearance", appearances.front());
        summary.set("last_appearance", appearances.back());
    }
    return json::Object{
        {"search_type", "video"}, {"video_path", path}, {"matches", std::move(matches)}, {"summary", std::move(summary)}};
}

json::Value VisionService::searchFaceInImage(const FacePrint& target, const std::string& path, double threshold) {
    ImageRef image = loadCGImage(path);
    const std::string filename = std::filesystem::path(path).filename().string();
    json::Array matches;
    for (const FaceFeature& face : extractAllFaceFeatures(*image)) {
        const double similarity = similarityOf(face, target);
        if (!(similarity >= threshold)) continue;
        matches.push_back(
            json::Object{{"filename", filename}, {"similarity", similarity}, {"bounding_box", boxRecord(face.box)}});
    }
    const auto total = static_cast<long long>(matches.size());
    return json::Object{{"search_type", "image"},
                        {"image_path", path},
                        {"matches", std::move(matches)},
                        {"summary", json::Object{{"total_matches", total}, {"found", total > 0}}}};
}

std::pair<std::optional<json::Value>, std::int64_t> VisionService::matchFaceInFile(const std::string& folder,
                                                                                   const std::string& name,
                                                                                   const FacePrint& target,
                                                                                   double threshold) {
    std::vector<FaceFeature> faces;
    try {
        ImageRef image = loadCGImage((std::filesystem::path(folder) / name).string());
        faces = VisionService(engine_, stop_, &diagnostics_).extractAllFaceFeatures(*image);
    } catch (const rt::Cancelled&) {
        throw;
    } catch (const std::exception&) {
        return {std::nullopt, 0};
    }
    double best = 0.0;
    std::optional<json::Value> match;
    for (const FaceFeature& face : faces) {
        const double similarity = similarityOf(face, target);
        if (similarity >= threshold && similarity > best) {
            best = similarity;
            match = json::Object{{"filename", name}, {"similarity", similarity}};
        }
    }
    return {std::move(match), static_cast<std::int64_t>(faces.size())};
}

json::Value VisionService::searchFaceInFolder(const FacePrint& target, const std::string& path, double threshold) {
    std::vector<std::string> names;
    // A NUL names no folder: the system would list the name cut there.
    if (path.find('\0') != std::string::npos) throw tools::ToolError("VisionService", 400, "Failed to read folder: " + path);
    std::error_code error;
    for (std::filesystem::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
        checkStop();
        std::string name = it->path().filename().string();
        if (isImageName(name)) names.push_back(std::move(name));
    }
    if (error) throw tools::ToolError("VisionService", 400, "Failed to read folder: " + path);

    json::Array matches;
    long long faces = 0;
    for (const std::string& name : names) {
        checkStop();
        auto [match, count] = matchFaceInFile(path, name, target, threshold);
        if (match) matches.push_back(std::move(*match));
        faces += count;
    }
    std::stable_sort(matches.begin(), matches.end(), [](const json::Value& a, const json::Value& b) {
        return similarityMember(a) > similarityMember(b);
    });
    const auto total = static_cast<long long>(matches.size());
    return json::Object{{"search_type", "folder"},
                        {"folder_path", path},
                        {"matches", std::move(matches)},
                        {"summary", json::Object{{"total_matches", total},
                                                 {"total_scanned", static_cast<long long>(names.size())},
                                                 {"total_faces_detected_in_folder", faces}}}};
}

ImagePrint VisionService::generateFeaturePrint(const VisionImage& image) {
    std::optional<ImagePrint> print = engine_.imagePrint(image);
    checkStop();
    if (!print) throw tools::ToolError("VisionService", 500, "Failed to generate feature print");
    return std::move(*print);
}

json::Value VisionService::compareImages(const std::string& path1, const std::string& path2) {
    ImageRef first = loadCGImage(path1);
    ImageRef second = loadCGImage(path2);
    const ImagePrint print1 = generateFeaturePrint(*first);
    const ImagePrint print2 = generateFeaturePrint(*second);
    const float distance = imageDistance(print1, print2);
    return json::Object{{"success", true},
                        {"distance", confidenceNumber(distance)},
                        {"similarity_description", similarityDescription(distance)}};
}

}  // namespace app::vision
