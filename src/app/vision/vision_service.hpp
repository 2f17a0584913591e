// The analyses one vision tool call runs: a new VisionService per call, over
// the loaded engine, returning the result maps the tools write out.
#pragma once

#include "app/vision/vision_engine.hpp"
#include "json/value.hpp"

#include <stop_token>
#include <string>
#include <vector>

namespace app::vision {

// The analyses the video analysis can run on each sampled frame.
enum class VideoFeature { Text, Faces, Animals, BodyPose, HandPose };

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

    // The video file at path, made absolute. ToolError "VisionService": 404
    // "Video file not found at path: <path>", 400 "Failed to load video from
    // path: <path>" for anything but a regular file that opens, 400 "Invalid
    // video duration" when frame count and rate give no positive duration.
    std::shared_ptr<VisionVideo> loadVideo(const std::string& path);

    // Frames 0, interval, 2 x interval, ... (an interval below 1 counts as
    // 1): for each its time in seconds and the result maps of the features,
    // with the default text recognition. A frame that does not decode is
    // skipped; thirty in a row end the sampling.
    json::Value analyzeVideo(const std::string& path, std::int64_t sampleInterval,
                             const std::vector<VideoFeature>& features);

private:
    void checkStop() const;

    VisionEngine& engine_;
    std::stop_token stop_;
};

}  // namespace app::vision
