// The interface of the analysis module (brisolet-vision). The program never
// links the image libraries: it loads the module on the first vision call and
// reaches every detector through VisionEngine. Both sides are built from this
// one header; kVisionInterfaceVersion changes whenever it does.
//
// Failures cross as app::tools::ToolError (domain "VisionService"); no
// library exception leaves the module. A requested stop makes a detector
// return early with whatever it has; the caller checks the token afterwards.
#pragma once

#include "app/vision/vision_observations.hpp"
#include "app/vision/vision_prints.hpp"

#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

namespace app::vision {

inline constexpr int kVisionInterfaceVersion = 6;

// A decoded bitmap, owned by the module.
class VisionImage {
public:
    virtual ~VisionImage() = default;
    virtual int width() const = 0;
    virtual int height() const = 0;
};
using ImageRef = std::shared_ptr<const VisionImage>;

// When a frame is shown: from start until end, in ticks of the video's
// time base. end is where the next frame starts (the last frame's own
// length after it); no later than start in a file whose times go backwards.
struct FrameSpan {
    std::int64_t start = 0, end = 0;
};

// An opened video file, read from its first frame to its last, in the order
// frames are shown. Nothing here trusts the length or frame count the
// container declares: reading ends where the stream does.
class VisionVideo {
public:
    virtual ~VisionVideo() = default;
    // Seconds per tick, as numerator and denominator, both in 1 to 2^31 - 1.
    virtual std::pair<std::int64_t, std::int64_t> timeBase() const = 0;
    // Moves on to the next frame; absent at the end of the stream (or once
    // stop is requested).
    virtual std::optional<FrameSpan> nextFrame(std::stop_token stop) = 0;
    // The picture of the frame nextFrame gave last, as shown, reduced so that
    // neither side exceeds maxSide; absent when it does not decode or holds
    // more than the picture limit's pixels.
    virtual ImageRef picture(int maxSide) = 0;
};

// Whole pixels, top-left origin.
struct PixelRect {
    int x = 0, y = 0, width = 0, height = 0;
};

enum class SaliencyKind { Attention, Objectness };

struct TextRequest {
    bool fast = false;
    // BCP 47 codes; empty means the module's default (English and
    // Simplified Chinese).
    std::vector<std::string> languages;
};

class VisionEngine {
public:
    virtual ~VisionEngine() = default;

    // The image at the path, transparent parts on white, reduced to at most
    // 4096 x 4096 pixels. Throws ToolError "VisionService" 404 when nothing
    // exists there, 400 when it is no regular file or does not decode (also a
    // picture above the decoder's limits). Absent once stop is requested: the
    // decoding, which cannot be interrupted, is left to end by itself.
    virtual ImageRef loadImage(const std::string& path, std::stop_token stop) = 0;

    // The video in the regular file at an absolute path (never a name the
    // decoder would take for a protocol). Throws ToolError "VisionService"
    // 400 "Failed to load video from path: <path>" when it does not open.
    virtual std::shared_ptr<VisionVideo> openVideo(const std::string& path) = 0;

    // The image rotated counter-clockwise by radians around its centre, on a
    // canvas as large as the rotated rectangle's bounds (truncated to whole
    // pixels); absent when such a canvas cannot be made.
    virtual ImageRef rotateImage(const VisionImage& image, double radians) = 0;
    // The pixels of a non-empty rectangle inside the image.
    virtual ImageRef cropImage(const VisionImage& image, PixelRect rect) = 0;

    // Absent when the image is too small to describe.
    virtual std::optional<FacePrint> facePrint(const VisionImage& face) = 0;
    virtual std::optional<ImagePrint> imagePrint(const VisionImage& image) = 0;

    // Text lines in reading order. Throws ToolError "VisionService" 400
    // "Unsupported language: <code>" for a language it cannot read.
    virtual Results<TextObservation> recognizeText(const VisionImage& image, const TextRequest& request,
                                                   std::stop_token stop) = 0;
    virtual Results<FaceObservation> detectFaces(const VisionImage& image, std::stop_token stop) = 0;
    virtual Results<BarcodeObservation> detectBarcodes(const VisionImage& image, std::stop_token stop) = 0;
    virtual Results<AnimalObservation> recognizeAnimals(const VisionImage& image, std::stop_token stop) = 0;
    virtual Results<PoseObservation> detectBodyPose(const VisionImage& image, std::stop_token stop) = 0;
    virtual Results<PoseObservation> detectHandPose(const VisionImage& image, std::stop_token stop) = 0;
    virtual Results<SaliencyObservation> analyzeSaliency(const VisionImage& image, SaliencyKind kind,
                                                         std::stop_token stop) = 0;
};

}  // namespace app::vision

// The module's two entry points, looked up by name after dlopen.
extern "C" {
int brisolet_vision_interface_version();
// The module's one engine; it lives as long as the process.
app::vision::VisionEngine* brisolet_vision_engine();
}
