#include "app/vision/vision_service.hpp"

#include "app/tools/registry/tool_error.hpp"
#include "app/vision/vision_paths.hpp"
#include "app/vision/vision_results.hpp"
#include "runtime/runtime.hpp"

namespace app::vision {

void VisionService::checkStop() const {
    if (stop_.stop_requested()) throw rt::Cancelled();
}

ImageRef VisionService::loadCGImage(const std::string& path) {
    switch (pathKind(path)) {
        case PathKind::Missing:
            throw tools::ToolError("VisionService", 404, "Image file not found at path: " + path);
        case PathKind::Other:
            throw tools::ToolError("VisionService", 400, "Failed to load image from path: " + path);
        case PathKind::RegularFile:
            break;
    }
    return engine_.loadImage(path);
}

ImageRef VisionService::rotateImage(const VisionImage& image, double radians) {
    return engine_.rotateImage(image, radians);
}

json::Value VisionService::recognizeText(const VisionImage& image, const std::string& recognitionLevel,
                                         const std::vector<std::string>& languages) {
    TextRequest request{.fast = recognitionLevel == "fast", .languages = languages};
    auto results = engine_.recognizeText(image, request, stop_);
    checkStop();
    return textResult(results);
}

json::Value VisionService::detectFaces(const VisionImage& image) {
    auto results = engine_.detectFaces(image, stop_);
    checkStop();
    return faceResult(results);
}

json::Value VisionService::detectBarcodes(const std::string& imagePath, const std::vector<std::string>&) {
    ImageRef image = loadCGImage(imagePath);
    auto results = engine_.detectBarcodes(*image, stop_);
    checkStop();
    return barcodeResult(results);
}

json::Value VisionService::recognizeAnimals(const VisionImage& image) {
    auto results = engine_.recognizeAnimals(image, stop_);
    checkStop();
    return animalResult(results);
}

json::Value VisionService::detectBodyPose(const VisionImage& image) {
    auto results = engine_.detectBodyPose(image, stop_);
    checkStop();
    return bodyPoseResult(results);
}

json::Value VisionService::detectHandPose(const VisionImage&) {
    checkStop();
    return handPoseResult(std::nullopt);
}

json::Value VisionService::analyzeSaliency(const std::string& imagePath, const std::string& type) {
    ImageRef image = loadCGImage(imagePath);
    auto kind = type == "objectness" ? SaliencyKind::Objectness : SaliencyKind::Attention;
    auto results = engine_.analyzeSaliency(*image, kind, stop_);
    checkStop();
    return saliencyResult(results);
}

}  // namespace app::vision
