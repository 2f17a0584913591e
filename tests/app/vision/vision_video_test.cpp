// The video analysis on a short video the test writes: sampling by frame
// index, the per-frame results, and the features it refuses.
#include "vision_test_support.hpp"

#include "runtime/runtime.hpp"

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <atomic>
#include <fstream>

namespace app::vision {
namespace {

using tools::AnyList;
using tools::ToolError;
using namespace testing;

// Three seconds at 10 frames a second: "ALPHA", then "BRAVO", then blank.
std::string writeVideo(const TempDir& dir) {
    const std::string path = dir.file("clip.avi");
    cv::VideoWriter writer(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 10, cv::Size(480, 160));
    EXPECT_TRUE(writer.isOpened());
    for (int i = 0; i < 30; ++i) {
        cv::Mat frame(160, 480, CV_8UC3, cv::Scalar::all(255));
        if (i < 20) cv::putText(frame, i < 10 ? "ALPHA" : "BRAVO", {40, 110}, cv::FONT_HERSHEY_SIMPLEX, 2.5, cv::Scalar::all(0), 6);
        writer.write(frame);
    }
    return path;
}

TEST(VisionVideo, SampledFramesWithTheirTimesAndText) {
    TempDir dir;
    const std::string video = writeVideo(dir);
    json::Value result = callToolJson("vision_analyze_video",
                                      {{"video_path", video}, {"sample_interval", 10}, {"features", AnyList{"text"}}});
    EXPECT_EQ(member(result, "duration"), 3.0);
    const auto& frames = result.find("frames")->asArray();
    ASSERT_EQ(frames.size(), 3u);
    const char* texts[] = {"ALPHA", "BRAVO", ""};
    for (std::size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(member(frames[i], "time"), static_cast<double>(i));
        EXPECT_EQ(frames[i].find("text")->find("full_text")->asString(), texts[i]);
        EXPECT_EQ(frames[i].find("faces"), nullptr);
    }
}

// Frames with alpha are read on white, as pictures are: black text on
// nothing in the codecs of screen recordings and animations.
TEST(VisionVideo, TransparentFramesAreReadOnWhite) {
    TempDir dir;
    cv::Mat text(160, 480, CV_8UC4, cv::Scalar::all(0));
    cv::putText(text, "ALPHA", {40, 110}, cv::FONT_HERSHEY_SIMPLEX, 2.5, cv::Scalar(0, 0, 0, 255), 6);
    ASSERT_TRUE(cv::imwrite(dir.file("text.png"), text));
    for (const char* codec : {"qtrle", "png", "ffv1"}) {
        SCOPED_TRACE(codec);
        const std::string clip = dir.file(std::string(codec) + ".mov");
        runProgram({"ffmpeg", "-v", "error", "-y", "-loop", "1", "-i", dir.file("text.png"), "-t", "1", "-r", "2", "-c:v", codec,
                    "-pix_fmt", std::string(codec) == "qtrle" ? "argb" : std::string(codec) == "png" ? "rgba" : "yuva420p", clip});
        const json::Value result = callToolJson("vision_analyze_video", {{"video_path", clip}, {"features", AnyList{"text"}}});
        ASSERT_FALSE(result.find("frames")->asArray().empty());
        EXPECT_EQ(result.find("frames")->asArray()[0].find("text")->find("full_text")->asString(), "ALPHA");
    }
}

TEST(VisionVideo, IntervalsBelowOneAndHuge) {
    TempDir dir;
    const std::string video = writeVideo(dir);
    struct Row {
        tools::AnyValue interval;
        std::size_t frames;
        double lastTime;
    };
    for (const Row& row : std::vector<Row>{{0, 30, 2.9}, {-5, 30, 2.9}, {7, 5, 2.8}, {INT64_MAX, 1, 0.0}}) {
        json::Value result = callToolJson("vision_analyze_video",
                                          {{"video_path", video}, {"sample_interval", row.interval}, {"features", AnyList{}}});
        const auto& frames = result.find("frames")->asArray();
        ASSERT_EQ(frames.size(), row.frames);
        EXPECT_DOUBLE_EQ(member(frames.back(), "time"), row.lastTime);
    }
}

// Found by fuzzing: an AVI whose header describes frames unlike those it
// holds. Only what decodes is answered, at its own size.
TEST(VisionVideo, HeaderUnlikeItsFrames) {
    const json::Value result = callToolJson(
        "vision_analyze_video", {{"video_path", std::string(BRISOLET_VISION_TEST_DATA) + "/header_unlike_frames.avi"},
                                 {"sample_interval", 1},
                                 {"features", AnyList{}}});
    EXPECT_EQ(json::write(*result.find("frames")), R"([{"time":0.2}])");
}

// Phones keep portrait video sideways with a display matrix: every frame is
// turned as shown before it is searched or analysed. The astronaut is stored
// turned, and FFmpeg's rotate tag (counter-clockwise for display) turns her
// back; no option writes a mirror image: that matrix is written by hand.
TEST(VisionVideo, TurnedClipsAreAnalysedAsShown) {
    TempDir dir;
    const std::string face = photo("astronaut.png"), plain = dir.file("plain.mp4"), clip = dir.file("clip.mp4");
    constexpr int kMirrored = -1, kAsIs = -2;
    for (auto [tag, stored] : std::vector<std::pair<int, int>>{{0, kAsIs}, {90, cv::ROTATE_90_CLOCKWISE},
                                                               {180, cv::ROTATE_180}, {270, cv::ROTATE_90_COUNTERCLOCKWISE}, {0, kMirrored}}) {
        SCOPED_TRACE(tag + 1000 * stored);
        cv::Mat picture = cv::imread(face);
        if (stored == kMirrored) cv::flip(picture, picture, 1);
        if (stored >= 0) cv::rotate(picture, picture, stored);
        ASSERT_TRUE(cv::imwrite(dir.file("stored.png"), picture));
        runProgram({"ffmpeg", "-v", "error", "-y", "-loop", "1", "-i", dir.file("stored.png"), "-t", "1", "-c:v", "mpeg4", "-q:v", "2", plain});
        runProgram({"ffmpeg", "-v", "error", "-y", "-i", plain, "-c", "copy", "-metadata:s:v:0", "rotate=" + std::to_string(tag), clip});
        if (stored == kMirrored) {  // the track header's matrix: x' = -x + 512
            std::fstream file(clip, std::ios::in | std::ios::out | std::ios::binary);
            const std::size_t tkhd = std::string(std::istreambuf_iterator<char>(file), {}).find("tkhd");
            for (auto [at, bytes] : {std::pair(tkhd + 44, "\xFF\xFF\0\0"), std::pair(tkhd + 68, "\x02\0\0\0")})
                file.seekp(static_cast<std::streamoff>(at)).write(bytes, 4);
        }
        // The same face shown the same way reads well above 0.75; its mirror
        // image about 0.63, and a face on its side or head is not found.
        const json::Value search = callToolJson("vision_search_face", {{"target_image_path", face}, {"search_path", clip},
                                                                       {"search_type", "video"}, {"threshold", 0.75}});
        EXPECT_EQ(member(*search.find("summary"), "total_matches"), 1);
        const json::Value analysis = callToolJson("vision_analyze_video", {{"video_path", clip}, {"features", AnyList{"body_pose"}}});
        EXPECT_EQ(analysis.find("frames")->asArray().at(0).find("body_pose")->find("count")->asInt(), 1);
    }
}

// The real module's videos, counted: how many frames are read and looked
// at, and the size of what the analyses get. Past a bound it throws, so that
// a search that would run for minutes fails at once.
class CountingEngine : public VisionEngine {
public:
    struct Counts {
        std::atomic<int> read = 0, looked = 0, largestSide = 0;
        std::function<void()> onPicture;
    };
    explicit CountingEngine(VisionEngine& real) : real_(real) {}
    Counts counts;

    std::shared_ptr<VisionVideo> openVideo(const std::string& path) override {
        return std::make_shared<Video>(real_.openVideo(path), counts);
    }
    ImageRef loadImage(const std::string& path, std::stop_token stop) override { return real_.loadImage(path, stop); }
    ImageRef rotateImage(const VisionImage& image, double radians) override { return real_.rotateImage(image, radians); }
    ImageRef cropImage(const VisionImage& image, PixelRect rect) override { return real_.cropImage(image, rect); }
    std::optional<FacePrint> facePrint(const VisionImage& face) override { return real_.facePrint(face); }
    std::optional<ImagePrint> imagePrint(const VisionImage& image) override { return real_.imagePrint(image); }
    Results<TextObservation> recognizeText(const VisionImage& image, const TextRequest& request, std::stop_token stop) override {
        return real_.recognizeText(image, request, stop);
    }
    Results<FaceObservation> detectFaces(const VisionImage& image, std::stop_token stop) override { return real_.detectFaces(image, stop); }
    Results<BarcodeObservation> detectBarcodes(const VisionImage& image, std::stop_token stop) override {
        return real_.detectBarcodes(image, stop);
    }
    Results<AnimalObservation> recognizeAnimals(const VisionImage& image, std::stop_token stop) override {
        return real_.recognizeAnimals(image, stop);
    }
    Results<PoseObservation> detectBodyPose(const VisionImage& image, std::stop_token stop) override {
        return real_.detectBodyPose(image, stop);
    }
    Results<PoseObservation> detectHandPose(const VisionImage& image, std::stop_token stop) override {
        return real_.detectHandPose(image, stop);
    }
    Results<SaliencyObservation> analyzeSaliency(const VisionImage& image, SaliencyKind kind, std::stop_token stop) override {
        return real_.analyzeSaliency(image, kind, stop);
    }

private:
    static constexpr int kMostFrames = 200;
    struct Video : VisionVideo {
        Video(std::shared_ptr<VisionVideo> real, Counts& counts) : real(std::move(real)), counts(counts) {}
        std::pair<std::int64_t, std::int64_t> timeBase() const override { return real->timeBase(); }
        std::optional<FrameSpan> nextFrame(std::stop_token stop) override {
            if (++counts.read > kMostFrames) throw std::runtime_error("read on past the frames the file holds");
            return real->nextFrame(stop);
        }
        ImageRef picture(int maxSide) override {
            if (++counts.looked > kMostFrames) throw std::runtime_error("looked at more frames than the file holds");
            if (counts.onPicture) counts.onPicture();
            ImageRef image = real->picture(maxSide);
            if (image) counts.largestSide = std::max({counts.largestSide.load(), image->width(), image->height()});
            return image;
        }
        std::shared_ptr<VisionVideo> real;
        Counts& counts;
    };
    VisionEngine& real_;
};

std::string searchVideo(CountingEngine& engine, const std::string& face, const std::string& clip, std::int64_t interval,
                        double threshold = 0.7) {
    return handleVisionTool("vision_search_face",
                            {{"target_image_path", face}, {"search_path", clip}, {"search_type", "video"},
                             {"threshold", threshold}, {"sample_interval", interval}},
                            kHome, [&]() -> VisionEngine& { return engine; }, {});
}

// An MP4 of 30 small frames whose movie and media headers claim 2^32 - 1
// seconds at one tick a second: sampling follows the frames that decode and
// ends with the stream, in both video tools; a stop ends it at once.
TEST(VisionVideo, HeaderClaimingALengthItDoesNotHold) {
    TempDir dir;
    const std::string face = photo("astronaut.png"), clip = dir.file("claims.mp4");
    runProgram({"ffmpeg", "-v", "error", "-y", "-loop", "1", "-i", face, "-t", "1", "-r", "30", "-vf", "scale=128:128",
                "-c:v", "mpeg4", clip});
    {
        std::fstream file(clip, std::ios::in | std::ios::out | std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(file), {}};
        for (const char* header : {"mvhd", "mdhd"}) {
            const std::size_t at = bytes.find(header);
            ASSERT_NE(at, std::string::npos);
            ASSERT_EQ(bytes[at + 4], 0);  // version 0: 32-bit times; time scale at 12, duration at 16
            file.seekp(static_cast<std::streamoff>(at + 16)).write("\0\0\0\x01\xFF\xFF\xFF\xFF", 8);
        }
    }
    CountingEngine engine(loadVisionEngine());
    for (std::int64_t interval : {1, 30}) {
        SCOPED_TRACE(interval);
        engine.counts.read = engine.counts.looked = 0;
        const json::Value result = json::parse(searchVideo(engine, face, clip, interval));
        EXPECT_LE(engine.counts.read, 31);
        EXPECT_GE(engine.counts.looked, 1);
        const double duration = member(*result.find("summary"), "video_duration");
        EXPECT_TRUE(duration > 0 && duration < 1e5) << duration;
    }
    engine.counts.read = engine.counts.looked = 0;
    const json::Value analysis = json::parse(handleVisionTool(
        "vision_analyze_video", {{"video_path", clip}, {"sample_interval", 1}, {"features", AnyList{}}}, kHome,
        [&]() -> VisionEngine& { return engine; }, {}));
    EXPECT_EQ(member(analysis, "frame_count"), engine.counts.read - 1);
    EXPECT_EQ(member(analysis, "frames_analyzed"), engine.counts.looked);

    // Stopped while the second frame is read: no frame is read after it.
    std::stop_source stop;
    engine.counts.read = engine.counts.looked = 0;
    engine.counts.onPicture = [&] {
        if (engine.counts.looked == 2) stop.request_stop();
    };
    const std::optional<FacePrint> target =
        VisionService(engine, {}).extractTargetFaceFeature(*engine.loadImage(face, {}));
    ASSERT_TRUE(target);
    EXPECT_THROW(VisionService(engine, stop.get_token()).searchFaceInVideo(*target, clip, 0.7, 1), rt::Cancelled);
    EXPECT_EQ(engine.counts.looked, 2);
    EXPECT_EQ(engine.counts.read, 2);
}

// Frames of any size up to the picture limit are searched, handed to the
// analyses reduced to the face detector's side and never enlarged; a video
// whose pictures are above the limit is refused like such a picture.
TEST(VisionVideo, FramesOfAnySizeUpToThePictureLimit) {
    TempDir dir;
    const std::string face = photo("astronaut.png");
    struct Row {
        int width, height;
        int side;  // the largest side the analyses get; 0: refused
    };
    const std::vector<Row> rows = {{640, 360, 640}, {4096, 2304, 1600}, {7056, 7056, 1600}, {7072, 7072, 0}, {8192, 8192, 0}};
    CountingEngine engine(loadVisionEngine());
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.width) + " x " + std::to_string(row.height));
        const std::string clip = dir.file("clip.avi");
        const std::string size = std::to_string(row.width) + ":" + std::to_string(row.height);
        runProgram({"ffmpeg", "-v", "error", "-y", "-loop", "1", "-i", face, "-frames:v", "2", "-r", "30", "-vf",
                    "scale=" + size + ":force_original_aspect_ratio=decrease,pad=" + size, "-c:v", "mjpeg", "-q:v", "3", clip});
        engine.counts.largestSide = 0;
        if (row.side == 0) {
            tools::testing::expectToolError([&] { searchVideo(engine, face, clip, 1); },
                                            ToolError("VisionService", 400, "Failed to load video from path: " + clip));
            continue;
        }
        const json::Value result = json::parse(searchVideo(engine, face, clip, 1, 0.6));
        EXPECT_EQ(engine.counts.largestSide, row.side);
        // The same face, the frame's height (about 0.7 when that is 360): found in both frames.
        EXPECT_EQ(member(*result.find("summary"), "total_matches"), 2) << json::write(result);
    }
}

// The files a video search refuses are refused here too (one loader, tested
// with the face search); an unknown feature is this tool's own refusal.
TEST(VisionVideo, UnknownFeatureRefused) {
    TempDir dir;
    tools::testing::expectToolError(
        [&] { callTool("vision_analyze_video", {{"video_path", writeVideo(dir)}, {"features", AnyList{"text", "colour"}}}); },
        ToolError("VisionTool", 400, "Unknown feature: colour"));
}

}  // namespace
}  // namespace app::vision
