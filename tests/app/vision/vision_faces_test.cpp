// Face crop arithmetic, the 30-per-second sampling grid, and the print
// distances and their words, on numbers alone.
#include "app/vision/vision_faces.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace app::vision {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(VisionFaces, CropRectangleWithMarginsClippingAndOutwardRounding) {
    struct Row {
        const char* name;
        double w, h;
        NormalizedBox box;
        CropRect rect;
        std::optional<PixelRect> pixels;
    };
    // Fractions with exact binary forms, so that the rounding seen is the
    // crop's own.
    const std::vector<Row> rows = {
        // 332.8..691.2 x 166.4..345.6 grows to whole pixels 332..692 x 166..346.
        {"inside", 1024, 512, {0.375, 0.375, 0.25, 0.25}, {332.8, 166.4, 358.4, 179.2}, PixelRect{332, 166, 360, 180}},
        // The left edge goes to 0; the width is still limited by the unclamped left.
        {"left edge", 1024, 512, {1.0 / 64, 0.375, 0.25, 0.25}, {0, 166.4, 358.4, 179.2}, PixelRect{0, 166, 359, 180}},
        {"right edge", 1024, 512, {0.875, 0.375, 0.125, 0.25}, {870.4, 166.4, 153.6, 179.2}, PixelRect{870, 166, 154, 180}},
        {"bottom edge", 1024, 512, {0.375, 0, 0.25, 0.25}, {332.8, 358.4, 358.4, 153.6}, PixelRect{332, 358, 360, 154}},
        {"top edge", 1024, 512, {0.375, 0.75, 0.25, 0.25}, {332.8, 0, 358.4, 179.2}, PixelRect{332, 0, 360, 180}},
        {"outside", 1024, 512, {1.5, 0.375, 0.25, 0.25}, {1484.8, 166.4, -460.8, 179.2}, std::nullopt},
        {"left not a number", 1024, 512, {kNaN, 0.375, 0.25, 0.25}, {0, 166.4, 358.4, 179.2}, PixelRect{0, 166, 359, 180}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const CropRect rect = faceCropRect(row.w, row.h, row.box);
        EXPECT_NEAR(rect.left, row.rect.left, 1e-9);
        EXPECT_NEAR(rect.top, row.rect.top, 1e-9);
        EXPECT_NEAR(rect.width, row.rect.width, 1e-9);
        EXPECT_NEAR(rect.height, row.rect.height, 1e-9);
        const auto pixels = pixelCrop(rect, static_cast<int>(row.w), static_cast<int>(row.h));
        ASSERT_EQ(pixels.has_value(), row.pixels.has_value());
        if (!pixels) continue;
        EXPECT_EQ(std::tie(pixels->x, pixels->y, pixels->width, pixels->height),
                  std::tie(row.pixels->x, row.pixels->y, row.pixels->width, row.pixels->height));
    }
}

TEST(VisionFaces, LargeRollIsStrictlyAboveTheLimit) {
    struct Row {
        std::optional<double> roll;
        bool large;
    };
    for (const Row& row : std::vector<Row>{{std::nullopt, false}, {0.26, false}, {-0.26, false}, {-0.3, true},
                                           {0.2601, true}, {kNaN, false}}) {
        SCOPED_TRACE(row.roll.value_or(-99));
        EXPECT_EQ(isLargeRoll(row.roll), row.large);
    }
}

TEST(VisionFaces, SampleGridMapsToSourceFramesExactly) {
    // At 30 frames a second every sample is its own frame: index / 30.0 x 30
    // truncated would land on the previous frame for many of these.
    for (std::int64_t index = 0; index < 100000; ++index) {
        if (sourceFrameIndex(index, 30.0) != index) FAIL() << "index " << index;
    }
    struct Row {
        double fps;
        std::int64_t index, frame;
    };
    const std::vector<Row> rows = {{10, 2, 0},     {10, 3, 1},     {60, 7, 14}, {25, 6, 5}, {30000.0 / 1001, 1001, 1000},
                                   {30000.0 / 1001, 1000, 999}, {24000.0 / 1001, 30, 23}, {kNaN, 5, 0}, {0, 5, 0}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.fps) + " fps, sample " + std::to_string(row.index));
        EXPECT_EQ(sourceFrameIndex(row.index, row.fps), row.frame);
    }
}

TEST(VisionFaces, GridCountFromFramesAndRate) {
    struct Row {
        std::int64_t frames;
        double fps;
        std::optional<std::int64_t> samples;
    };
    const std::vector<Row> rows = {
        {90, 10, 270},      {300, 30, 300},         {300, 30000.0 / 1001, 300}, {1, 60, 0},
        {0, 30, std::nullopt}, {10, kNaN, std::nullopt}, {10, 0, std::nullopt},  {10, -30, std::nullopt},
        {std::numeric_limits<std::int64_t>::max(), 1, std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.frames) + " frames at " + std::to_string(row.fps));
        EXPECT_EQ(gridFrameCount(row.frames, row.fps), row.samples);
    }
}

TEST(VisionFaces, ComparisonWordsAtTheBandEdges) {
    struct Row {
        float distance;
        const char* word;
    };
    const std::vector<Row> rows = {
        {0.0f, "Identical"},     {-0.0f, "Identical"},      {std::numeric_limits<float>::denorm_min(), "Very Similar"},
        {4.9f, "Very Similar"},  {5.0f, "Similar"},         {std::nextafter(15.0f, 0.0f), "Similar"},
        {15.0f, "Different"},    {1e30f, "Different"},      {std::numeric_limits<float>::quiet_NaN(), "Different"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.distance);
        EXPECT_EQ(similarityDescription(row.distance), row.word);
    }
}

TEST(VisionFaces, PrintDistances) {
    ImagePrint plain{0, std::vector<float>(256, 100.0f), 7};
    struct Row {
        const char* name;
        ImagePrint other;
        float distance;
    };
    const std::vector<Row> rows = {
        {"same pixels", plain, 0.0f},
        {"other pixels, same look", {0, std::vector<float>(256, 100.0f), 8}, 0.01f},
        {"three hash bits", {0b10101, std::vector<float>(256, 100.0f), 8}, 3.0f},
        {"thumbnail ten levels lighter", {0, std::vector<float>(256, 110.0f), 8}, 1.0f},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_FLOAT_EQ(imageDistance(plain, row.other), row.distance);
    }

    FacePrint face{std::vector<float>(2 * 59, 0.0f)};
    face.cells[0] = face.cells[59] = 1.0f;
    FacePrint moved = face;
    moved.cells[0] = 0.5f, moved.cells[1] = 0.5f;  // half of one cell of two
    EXPECT_FLOAT_EQ(faceDistance(face, face), 0.0f);
    EXPECT_FLOAT_EQ(faceDistance(face, moved), 0.25f);
    EXPECT_TRUE(std::isnan(faceDistance(face, FacePrint{std::vector<float>(59, 0.0f)})));
}

}  // namespace
}  // namespace app::vision
