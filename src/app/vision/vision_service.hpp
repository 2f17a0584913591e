// The analyses one vision tool call runs: a new VisionService per call, over
// the loaded engine, returning the result maps the tools write out.
#pragma once

#include "app/vision/vision_engine.hpp"
#include "json/value.hpp"

#include <stop_token>
#include <string>
#include <vector>

namespace app::vision {

class VisionService {
public:
    // Every analysis throws rt::Cancelled once stop is requested.
    VisionService(VisionEngine& engine, std::stop_token stop) : engine_(engine), stop_(std::move(stop)) {}

    // The image at path (already tilde-expanded). ToolError "VisionService":
    // 404 "Image file not found at path: <path>" when nothing is there, 400
    // "Failed to load image from path: <path>" for anything but a regular
    // file that decodes.
    ImageRef loadCGImage(const std::string& path);
    // See VisionEngine::rotateImage.
    ImageRef rotateImage(const VisionImage& image, double radians);

    // Fast recognition only for the level word "fast" exactly.
    json::Value recognizeText(const VisionImage& image, const std::string& recognitionLevel,
                              const std::vector<std::string>& languages);
    json::Value detectFaces(const VisionImage& image);
    // The symbology list is not applied: every supported kind is looked for.
    json::Value detectBarcodes(const std::string& imagePath, const std::vector<std::string>& symbologies);
    json::Value recognizeAnimals(const VisionImage& image);
    json::Value detectBodyPose(const VisionImage& image);
    // No packaged library detects hands: always the empty result.
    json::Value detectHandPose(const VisionImage& image);
    // Objectness for the type word "objectness" exactly, attention otherwise.
    json::Value analyzeSaliency(const std::string& imagePath, const std::string& type);

private:
    void checkStop() const;

    VisionEngine& engine_;
    std::stop_token stop_;
};

}  // namespace app::vision
