// The analyses one vision tool call runs: a new VisionService per call, over
// the loaded engine, returning the result maps the tools write out.
#pragma once

#include "app/platform/diagnostic_sink.hpp"
#include "app/vision/vision_engine.hpp"
#include "app/vision/vision_faces.hpp"
#include "json/value.hpp"

#include <stop_token>
#include <string>
#include <vector>

namespace app::vision {

// The analyses the video analysis can run on each sampled frame.
enum class VideoFeature { Text, Faces, Animals, BodyPose, HandPose };

class VisionService {
public:
    // Every analysis throws rt::Cancelled once stop is requested. Diagnostic
    // lines go to the sink given, standard error without one.
    VisionService(VisionEngine& engine, std::stop_token stop, platform::DiagnosticSink* diagnostics = nullptr);

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
    // path: <path>" for anything but a regular file that opens (also a video
    // whose pictures are above the picture limit).
    std::shared_ptr<VisionVideo> loadVideo(const std::string& path);

    // Frames 0, interval, 2 x interval, ... of the stream (an interval below
    // 1 counts as 1): for each its time in seconds and the result maps of
    // the features, with the default text recognition. A frame that does not
    // decode is skipped; the count and duration are those of the frames read.
    json::Value analyzeVideo(const std::string& path, std::int64_t sampleInterval,
                             const std::vector<VideoFeature>& features);

    // The prints of every face that can be cropped and described, in the
    // detector's order; a face with a large roll is straightened by turning
    // its crop.
    std::vector<FaceFeature> extractAllFaceFeatures(const VisionImage& image);
    // The print of the first face; absent without a face.
    std::optional<FacePrint> extractTargetFaceFeature(const VisionImage& image);
    // The crop of the first face. With allowCorrection and a large roll the
    // whole image is turned upright (announced on the diagnostic sink) and
    // searched once more without correction.
    ImageRef detectAndCropFace(const VisionImage& image, bool allowCorrection);
    std::optional<FacePrint> generateFaceFeature(const VisionImage& crop);

    // The frames shown at the samples of the 30-per-second grid, every
    // sampleInterval samples (see FrameSampler), each looked at once, held
    // at most 20 at a time and reduced; until the stream ends. Errors as
    // loadVideo.
    json::Value searchFaceInVideo(const FacePrint& target, const std::string& path, double threshold,
                                  std::int64_t sampleInterval);
    json::Value searchFaceInImage(const FacePrint& target, const std::string& path, double threshold);
    // The folder's image files (by extension); files that cannot be read
    // count as scanned without faces. ToolError "VisionService" 400 "Failed
    // to read folder: <path>" when it cannot be listed.
    json::Value searchFaceInFolder(const FacePrint& target, const std::string& path, double threshold);

    // ToolError "VisionService" 500 "Failed to generate feature print".
    ImagePrint generateFeaturePrint(const VisionImage& image);
    // Both images loaded (the first failure thrown) before either print.
    json::Value compareImages(const std::string& path1, const std::string& path2);

private:
    void checkStop() const;
    ImageRef centred(ImageRef image, int width, int height);
    // The folder match of the file's best face, and the file's face count.
    std::pair<std::optional<json::Value>, std::int64_t> matchFaceInFile(const std::string& folder,
                                                                        const std::string& name,
                                                                        const FacePrint& target, double threshold);

    VisionEngine& engine_;
    std::stop_token stop_;
    platform::DiagnosticSink& diagnostics_;
};

}  // namespace app::vision
