// The result maps on made-up observations: the edge cases a detector rarely
// produces on demand.
#include "app/vision/vision_results.hpp"
#include "json/json.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace app::vision {
namespace {

constexpr json::WriteOptions kCompact{.sortedKeys = true};

std::string compact(const json::Value& v) { return json::write(v, kCompact); }

TextObservation line(std::optional<std::string> text) {
    TextObservation o;
    if (text) o.topCandidate = TextCandidate{*text, 0.5f};
    return o;
}

TEST(VisionResults, TextJoinsCandidatesAndSkipsLinesWithout) {
    struct Row {
        const char* name;
        Results<TextObservation> results;
        std::string fullText;
        std::size_t blocks;
    };
    const std::vector<Row> rows = {
        {"empty text between", std::vector<std::optional<TextObservation>>{line("a"), line(""), line("b")}, "a\n\nb", 3},
        {"empty text first", std::vector<std::optional<TextObservation>>{line(""), line("a")}, "a", 2},
        {"line without candidate", std::vector<std::optional<TextObservation>>{line("a"), line(std::nullopt), line("b")},
         "a\nb", 2},
        {"one of another kind", std::vector<std::optional<TextObservation>>{line("a"), std::nullopt}, "", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        json::Value result = textResult(row.results);
        EXPECT_EQ(result.asObject().find("full_text")->asString(), row.fullText);
        EXPECT_EQ(result.asObject().find("text_blocks")->asArray().size(), row.blocks);
    }
}

TEST(VisionResults, FaceAnglesAndLandmarkRegions) {
    FaceObservation full{{0.1, 0.2, 0.3, 0.4}, -0.25, 0.5, FaceLandmarkCounts{6, 6, 9, 12}};
    FaceObservation noLips{{}, std::nullopt, std::numeric_limits<double>::quiet_NaN(), FaceLandmarkCounts{6, 6, 9, {}}};
    FaceObservation noLandmarks{{}, 0.0, 0.0, std::nullopt};
    json::Value result = faceResult(std::vector<std::optional<FaceObservation>>{full, noLips, noLandmarks});
    EXPECT_EQ(compact(result),
              R"({"face_count":3,"faces":[)"
              R"({"bounding_box":{"height":0.4,"width":0.3,"x":0.1,"y":0.2},"landmarks_summary":{"left_eye_count":6,)"
              R"("mouth_point_count":12,"nose_point_count":9,"right_eye_count":6},"roll":-0.25,"yaw":0.5},)"
              R"({"bounding_box":{"height":0,"width":0,"x":0,"y":0},"landmarks_summary":{"left_eye_count":6,)"
              R"("nose_point_count":9,"right_eye_count":6},"roll":0,"yaw":0},)"
              R"({"bounding_box":{"height":0,"width":0,"x":0,"y":0},"roll":0,"yaw":0}],"success":true})");
    EXPECT_EQ(compact(faceResult(std::nullopt)), R"({"face_count":0,"faces":[],"success":true})");
}

TEST(VisionResults, EmptyResultsOfEveryAnalysis) {
    const std::vector<std::pair<json::Value, const char*>> rows = {
        {barcodeResult(std::nullopt), R"({"barcodes":[],"count":0,"success":true})"},
        {animalResult(std::vector<std::optional<AnimalObservation>>{AnimalObservation{}, std::nullopt}),
         R"({"animals":[],"count":0,"success":true})"},
        {bodyPoseResult(std::nullopt), R"({"count":0,"poses":[],"success":true})"},
        {handPoseResult(std::vector<std::optional<PoseObservation>>{}), R"({"count":0,"hands":[],"success":true})"},
        {saliencyResult(std::vector<std::optional<SaliencyObservation>>{std::nullopt}),
         R"({"count":0,"regions":[],"success":true})"},
        {textResult(std::nullopt), R"({"full_text":"","success":true,"text_blocks":[]})"},
    };
    for (const auto& [result, expected] : rows) EXPECT_EQ(compact(result), expected);
}

TEST(VisionResults, PosePointsNeedPositiveConfidenceAndAKnownJoint) {
    PoseObservation unsure{0.8f, {{"nose", {0.5, 0.5, 0.0f}}, {"left_eye", {0.4, 0.6, 0.0f}}}};
    PoseObservation seen{0.9f, {{"nose", {0.5, 0.75, 0.25f}}, {"wrist", {0.1, 0.1, 1.0f}}, {"neck", {0.5, 0.5, NAN}}}};
    auto both = std::vector<std::optional<PoseObservation>>{unsure, seen};
    EXPECT_EQ(compact(bodyPoseResult(both)),
              R"({"count":2,"poses":[{"confidence":0.8,"points":{}},)"
              R"({"confidence":0.9,"points":{"nose":{"confidence":0.25,"x":0.5,"y":0.75}}}],"success":true})");
    EXPECT_EQ(compact(handPoseResult(both)),
              R"({"count":2,"hands":[{"confidence":0.8,"points":{}},)"
              R"({"confidence":0.9,"points":{"wrist":{"confidence":1,"x":0.1,"y":0.1}}}],"success":true})");
}

TEST(VisionResults, SaliencyRegionsOfAllObservationsInOneList) {
    auto object = [](float c) { return SalientObject{c, {0.25, 0.25, 0.5, 0.5}}; };
    json::Value result = saliencyResult(std::vector<std::optional<SaliencyObservation>>{
        SaliencyObservation{{object(0.1f), object(0.2f)}}, SaliencyObservation{},
        SaliencyObservation{{object(0.3f), object(0.4f), object(0.5f)}}});
    EXPECT_EQ(result.asObject().find("count")->asInt(), 5);
    const auto& regions = result.asObject().find("regions")->asArray();
    ASSERT_EQ(regions.size(), 5u);
    EXPECT_EQ(compact(regions[4]), R"({"bounding_box":{"height":0.5,"width":0.5,"x":0.25,"y":0.25},"confidence":0.5})");
}

TEST(VisionResults, ConfidencesWriteTheirShortestSinglePrecisionText) {
    struct Row {
        float value;
        const char* text;
    };
    const float inf = std::numeric_limits<float>::infinity();
    for (const Row& row : std::vector<Row>{{0.3f, "0.3"}, {0.1f, "0.1"}, {0.95f, "0.95"}, {1.0f, "1"},
                                           {1e-7f, "1e-07"}, {NAN, "0"}, {inf, "0"}, {-inf, "0"}}) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(json::write(confidenceNumber(row.value)), row.text);
    }
    EXPECT_EQ(compact(boxRecord({NAN, 0.5, INFINITY, -INFINITY})), R"({"height":0,"width":0,"x":0,"y":0.5})");
}

// The whole text a tool returns: keys sorted, pretty, slashes escaped.
TEST(VisionResults, BarcodeResultByteExact) {
    BarcodeObservation url{"QRCode", "https://example.org/a", {0.125, 0.5, 0.25, 0.375}};
    json::Value result = barcodeResult(std::vector<std::optional<BarcodeObservation>>{url});
    EXPECT_EQ(json::write(result, {.sortedKeys = true, .escapeSlashes = true, .pretty = true}),
              "{\n  \"barcodes\" : [\n    {\n      \"bounding_box\" : {\n        \"height\" : 0.375,\n        \"width\" : 0.25,\n        \"x\" : 0.125,\n        \"y\" : 0.5\n      },\n"
              "      \"payload\" : \"https:\\/\\/example.org\\/a\",\n      \"symbology\" : \"QRCode\"\n    }\n"
              "  ],\n  \"count\" : 1,\n  \"success\" : true\n}");
    BarcodeObservation binary{"DataMatrix", std::nullopt, {}};
    EXPECT_EQ(barcodeResult(std::vector<std::optional<BarcodeObservation>>{binary}).find("barcodes")->asArray()[0].find("payload")->asString(), "");
}

}  // namespace
}  // namespace app::vision
