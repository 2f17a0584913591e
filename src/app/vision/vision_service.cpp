#include "app/vision/vision_service.hpp"

#include "app/tools/registry/tool_error.hpp"
#include "app/vision/vision_paths.hpp"
#include "app/vision/vision_results.hpp"
#include "runtime/runtime.hpp"

#include <cmath>
#include <filesystem>
#include <future>

namespace app::vision {

VisionService::VisionService(VisionEngine& engine, std::stop_token stop, platform::DiagnosticSink* diagnostics)
    : engine_(engine), stop_(std::move(stop)), diagnostics_(diagnostics ? *diagnostics : [&]() -> platform::DiagnosticSink& {
          static platform::StderrDiagnosticSink standardError;
          return standardError;
      }()) {}

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
    ImageRef image = engine_.loadImage(path, stop_);
    checkStop();
    if (!image) throw tools::ToolError("VisionService", 400, "Failed to load image from path: " + path);
    return image;
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

json::Value VisionService::detectHandPose(const VisionImage& image) {
    auto results = engine_.detectHandPose(image, stop_);
    checkStop();
    return handPoseResult(results);
}

json::Value VisionService::analyzeSaliency(const std::string& imagePath, const std::string& type) {
    ImageRef image = loadCGImage(imagePath);
    auto kind = type == "objectness" ? SaliencyKind::Objectness : SaliencyKind::Attention;
    auto results = engine_.analyzeSaliency(*image, kind, stop_);
    checkStop();
    return saliencyResult(results);
}

std::shared_ptr<VisionVideo> VisionService::loadVideo(const std::string& path) {
    switch (pathKind(path)) {
        case PathKind::Missing:
            throw tools::ToolError("VisionService", 404, "Video file not found at path: " + path);
        case PathKind::Other:
            throw tools::ToolError("VisionService", 400, "Failed to load video from path: " + path);
        case PathKind::RegularFile:
            break;
    }
    // Only ever an absolute file name: the decoder would take "pipe:0" or
    // "http:..." for a stream to open.
    std::error_code error;
    std::string absolute = std::filesystem::absolute(path, error).lexically_normal().string();
    if (error) throw tools::ToolError("VisionService", 400, "Failed to load video from path: " + path);
    std::shared_ptr<VisionVideo> video;
    try {
        video = engine_.openVideo(absolute);
    } catch (const tools::ToolError&) {
        throw tools::ToolError("VisionService", 400, "Failed to load video from path: " + path);
    }
    return video;
}

json::Value VisionService::analyzeVideo(const std::string& path, std::int64_t sampleInterval,
                                        const std::vector<VideoFeature>& features) {
    // Text is read best at the size it is shown; no screen shows more than this.
    constexpr int kAnalysedFrameSide = 3840;
    std::shared_ptr<VisionVideo> video = loadVideo(path);
    const auto timeBase = video->timeBase();
    const std::int64_t interval = std::max<std::int64_t>(1, sampleInterval);
    json::Array frames;
    std::int64_t count = 0, streamEnd = 0;
    // The analyses of a frame are independent, each behind its own
    // detector's lock (animals, body and hand poses share one run of the
    // object detector on the frame): they run side by side, so that a frame
    // costs about its slowest one, while the next frame is decoded.
    struct Analysing {
        ImageRef image;
        json::Value time;
        std::vector<std::future<json::Value>> results;
    };
    std::optional<Analysing> analysing;
    const auto collect = [&] {
        if (!analysing) return;
        static constexpr const char* kKeys[] = {"text", "faces", "animals", "body_pose", "hand_pose"};
        json::Object frame{{"time", std::move(analysing->time)}};
        for (std::size_t i = 0; i < features.size(); ++i)
            frame.set(kKeys[static_cast<int>(features[i])], analysing->results[i].get());
        frames.push_back(std::move(frame));
        analysing.reset();
    };
    for (;;) {
        checkStop();
        const std::optional<FrameSpan> span = video->nextFrame(stop_);
        if (!span) break;
        streamEnd = std::max(streamEnd, span->end);
        if (count++ % interval != 0) continue;
        ImageRef image = video->picture(kAnalysedFrameSide);
        if (!image) continue;
        collect();
        analysing.emplace(Analysing{image, secondsOf(span->start, timeBase), {}});
        for (VideoFeature feature : features) {
            analysing->results.push_back(std::async(std::launch::async, [this, feature, &image = *image]() -> json::Value {
                switch (feature) {
                    case VideoFeature::Text: return recognizeText(image, "accurate", {});
                    case VideoFeature::Faces: return detectFaces(image);
                    case VideoFeature::Animals: return recognizeAnimals(image);
                    case VideoFeature::BodyPose: return detectBodyPose(image);
                    case VideoFeature::HandPose: return detectHandPose(image);
                }
                return {};
            }));
        }
    }
    collect();
    checkStop();
    return json::Object{{"success", true},
                        {"video_path", path},
                        {"duration", secondsOf(streamEnd, timeBase)},
                        {"frame_count", static_cast<long long>(count)},
                        {"sample_interval", static_cast<long long>(interval)},
                        {"frames_analyzed", static_cast<long long>(frames.size())},
                        {"frames", std::move(frames)}};
}

}  // namespace app::vision
