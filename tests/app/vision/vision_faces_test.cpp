// Face crop arithmetic, the 30-per-second sampling grid and the comparison
// words, on numbers alone.
#include "app/vision/vision_faces.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace app::vision {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(VisionFaces, CropRectangleWithMarginsClippingAndOutwardRounding) {
    struct Row {
        const char* name;
        NormalizedBox box;
        CropRect rect;
        std::optional<std::array<int, 4>> pixels;
    };
    // A 1024 x 512 picture; fractions with exact binary forms, so that the
    // rounding seen is the crop's own.
    const std::vector<Row> rows = {
        {"inside", {0.375, 0.375, 0.25, 0.25}, {332.8, 166.4, 358.4, 179.2}, {{332, 166, 360, 180}}},
        // Left goes to 0; the width is still limited by the unclamped left.
        {"left edge", {1.0 / 64, 0.375, 0.25, 0.25}, {0, 166.4, 358.4, 179.2}, {{0, 166, 359, 180}}},
        {"wide face at the left edge", {1.0 / 64, 0.375, 0.9375, 0.25}, {0, 166.4, 1200, 179.2}, {{0, 166, 1024, 180}}},
        {"right edge", {0.875, 0.375, 0.125, 0.25}, {870.4, 166.4, 153.6, 179.2}, {{870, 166, 154, 180}}},
        {"bottom edge", {0.375, 0, 0.25, 0.25}, {332.8, 358.4, 358.4, 153.6}, {{332, 358, 360, 154}}},
        {"top edge", {0.375, 0.75, 0.25, 0.25}, {332.8, 0, 358.4, 179.2}, {{332, 0, 360, 180}}},
        {"outside", {1.5, 0.375, 0.25, 0.25}, {1484.8, 166.4, -460.8, 179.2}, std::nullopt},
        {"left not a number", {kNaN, 0.375, 0.25, 0.25}, {0, 166.4, 358.4, 179.2}, {{0, 166, 359, 180}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const CropRect rect = faceCropRect(1024, 512, row.box);
        const double got[] = {rect.left, rect.top, rect.width, rect.height};
        const double want[] = {row.rect.left, row.rect.top, row.rect.width, row.rect.height};
        for (int i = 0; i < 4; ++i) EXPECT_NEAR(got[i], want[i], 1e-9) << i;
        const auto pixels = pixelCrop(rect, 1024, 512);
        ASSERT_EQ(pixels.has_value(), row.pixels.has_value());
        if (pixels) EXPECT_EQ((std::array{pixels->x, pixels->y, pixels->width, pixels->height}), *row.pixels);
    }
}

// The frames a sampler takes of count frames, each one tick of timeBase long.
std::vector<std::int64_t> framesTaken(std::int64_t step, std::pair<std::int64_t, std::int64_t> timeBase,
                                      std::int64_t count) {
    FrameSampler sampler(step, timeBase);
    std::vector<std::int64_t> taken;
    for (std::int64_t frame = 0; frame < count; ++frame)
        if (sampler.takes({frame, frame + 1})) taken.push_back(frame);
    return taken;
}

TEST(VisionFaces, SampleGridInExactArithmetic) {
    // At 30 frames a second every sample is its own frame (index / 30.0 x 30
    // truncated lands on the previous frame for many of these).
    const std::vector<std::int64_t> all = framesTaken(1, {1, 30}, 100000);
    for (std::int64_t index = 0; index < 100000; ++index)
        if (all.at(static_cast<std::size_t>(index)) != index) FAIL() << "index " << index;
    const std::pair<std::int64_t, std::int64_t> ntsc{1001, 30000};
    struct Row {
        std::pair<std::int64_t, std::int64_t> timeBase;
        std::int64_t sample, frame;  // the frame shown at that sample
        std::int64_t frames, taken;  // of so many frames, so many are looked at, sampling every frame
    };
    const std::vector<Row> rows = {
        {{1, 10}, 3, 1, 90, 90},    {{1, 60}, 7, 14, 1, 1},    {{1, 25}, 6, 5, 0, 0},
        {ntsc, 1001, 1000, 300, 300}, {ntsc, 1000, 999, 30, 30}, {{1, 60}, 1, 2, 600, 300},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.timeBase.second) + " ticks a second, sample " + std::to_string(row.sample));
        // Sampling every row.sample samples: the second frame taken is the one shown at that sample.
        EXPECT_EQ(framesTaken(row.sample, row.timeBase, row.frame + 2).at(1), row.frame);
        EXPECT_EQ(framesTaken(1, row.timeBase, row.frames).size(), static_cast<std::size_t>(row.taken));
    }
    // Times at the ends of 64 bits and time bases at the ends of 32: no
    // overflow, and nothing taken twice.
    constexpr std::int64_t kLast = std::numeric_limits<std::int64_t>::max();
    for (auto timeBase : {ntsc, std::pair<std::int64_t, std::int64_t>{2147483647, 1}, std::pair<std::int64_t, std::int64_t>{1, 2147483647}}) {
        FrameSampler sampler(std::numeric_limits<std::int64_t>::max(), timeBase);
        EXPECT_TRUE(sampler.takes({kLast - 1, kLast}));
        EXPECT_FALSE(sampler.takes({kLast - 1, kLast}));
        FrameSampler everySample(1, timeBase);
        EXPECT_FALSE(everySample.takes({-5, -1}));  // ends before the video starts
        EXPECT_TRUE(everySample.takes({kLast - 1, kLast}));
        EXPECT_FALSE(everySample.takes({kLast, kLast}));
    }
}

TEST(VisionFaces, ComparisonWordsAndDistances) {
    struct Row {
        float distance;
        const char* word;
    };
    const std::vector<Row> rows = {
        {0.0f, "Identical"}, {std::numeric_limits<float>::denorm_min(), "Very Similar"}, {4.9f, "Very Similar"},
        {5.0f, "Similar"},   {std::nextafter(15.0f, 0.0f), "Similar"},                {15.0f, "Different"},
        {std::numeric_limits<float>::quiet_NaN(), "Different"},
    };
    for (const Row& row : rows) EXPECT_EQ(similarityDescription(row.distance), row.word) << row.distance;

    const ImagePrint plain{0, std::vector<float>(256, 100.0f), 7};
    EXPECT_EQ(imageDistance(plain, plain), 0.0f);
    EXPECT_FLOAT_EQ(imageDistance(plain, {0, plain.thumbnail, 8}), 0.01f);  // other pixels never read 0
    EXPECT_FLOAT_EQ(imageDistance(plain, {0b10101, std::vector<float>(256, 110.0f), 8}), 4.0f);
}

}  // namespace
}  // namespace app::vision
