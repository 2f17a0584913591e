// The video analysis on a short video the test writes: sampling by frame
// index, the per-frame results, and the features it refuses.
#include "vision_test_support.hpp"

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>


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
