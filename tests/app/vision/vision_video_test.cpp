// The video analysis on a short video the test writes: sampling by frame
// index, the per-frame results, and the features it refuses.
#include "vision_test_support.hpp"

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

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
