// The searches' bookkeeping on a made-up engine whose faces lie at chosen
// distances from the target: batches of frames, which faces match, order.
#include "vision_test_support.hpp"

#include <map>
#include <stdexcept>

namespace app::vision {
namespace {

using namespace testing;

// An image known by a number; a crop also knows which face it holds.
struct FakeImage : VisionImage {
    FakeImage(int id, int face = -1) : id(id), face(face) {}
    int width() const override { return 1000; }
    int height() const override { return 1000; }
    int id, face;
};

int idOf(const VisionImage& image) { return static_cast<const FakeImage&>(image).id; }

// A print at distance d (a multiple of 1/8) from kTarget, exactly: its
// length is 8 and its first feature 8 (1 - d), the rest four whole numbers
// whose squares make up the length.
FacePrint printAt(float d) {
    const int first = static_cast<int>(8 * (1 - d)), rest = 64 - first * first;
    for (int a = 0; a <= 8; ++a)
        for (int b = 0; b <= a; ++b)
            for (int c = 0; c <= b; ++c)
                for (int e = 0; e <= c; ++e)
                    if (a * a + b * b + c * c + e * e == rest) return FacePrint{{float(first), float(a), float(b), float(c), float(e)}};
    throw std::logic_error("no print at that distance");
}
const FacePrint kTarget = printAt(0);

class FakeEngine : public VisionEngine {
public:
    std::map<int, std::vector<float>> faces;  // image id -> each face's distance
    std::map<std::string, int> files;         // file name -> image id; others do not decode
    std::int64_t frameCount = 0;
    std::pair<std::int64_t, std::int64_t> timeBase{1, 30};  // seconds per tick
    std::int64_t frameTicks = 1;
    std::vector<std::int64_t> frameStarts;  // when given, frames start there (the last lasts one tick)
    std::vector<std::string> log;

    ImageRef loadImage(const std::string& path, std::stop_token) override {
        auto found = files.find(std::filesystem::path(path).filename().string());
        if (found == files.end()) throw tools::ToolError("VisionService", 400, "Failed to load image from path: " + path);
        return std::make_shared<FakeImage>(found->second);
    }
    std::shared_ptr<VisionVideo> openVideo(const std::string&) override { return std::make_shared<Video>(*this); }
    ImageRef rotateImage(const VisionImage&, double) override { return nullptr; }
    ImageRef cropImage(const VisionImage& image, PixelRect rect) override {
        return std::make_shared<FakeImage>(idOf(image), (rect.y + 50) / 100 - 1);
    }
    std::optional<FacePrint> facePrint(const VisionImage& crop) override {
        const auto& image = static_cast<const FakeImage&>(crop);
        return printAt(faces.at(image.id).at(image.face));
    }
    std::optional<ImagePrint> imagePrint(const VisionImage&) override { return std::nullopt; }
    Results<FaceObservation> detectFaces(const VisionImage& image, std::stop_token) override {
        log.push_back("faces " + std::to_string(idOf(image)));
        std::vector<std::optional<FaceObservation>> found;
        // Face k in the k-th tenth from the top.
        for (std::size_t k = 0; k < faces[idOf(image)].size(); ++k) {
            FaceObservation face;
            face.box = {0.4, 0.8 - 0.1 * static_cast<double>(k), 0.05, 0.05};
            found.emplace_back(face);
        }
        return found;
    }
    Results<TextObservation> recognizeText(const VisionImage&, const TextRequest&, std::stop_token) override { return {}; }
    Results<BarcodeObservation> detectBarcodes(const VisionImage&, std::stop_token) override { return {}; }
    Results<AnimalObservation> recognizeAnimals(const VisionImage&, std::stop_token) override { return {}; }
    Results<PoseObservation> detectBodyPose(const VisionImage&, std::stop_token) override { return {}; }
    Results<PoseObservation> detectHandPose(const VisionImage&, std::stop_token) override { return {}; }
    Results<SaliencyObservation> analyzeSaliency(const VisionImage&, SaliencyKind, std::stop_token) override { return {}; }

private:
    struct Video : VisionVideo {
        explicit Video(FakeEngine& engine) : engine(engine) {}
        std::pair<std::int64_t, std::int64_t> timeBase() const override { return engine.timeBase; }
        std::optional<FrameSpan> nextFrame(std::stop_token) override {
            if (next == engine.frameCount) return std::nullopt;
            index = next++;
            const auto& starts = engine.frameStarts;
            if (!starts.empty()) {
                const auto at = static_cast<std::size_t>(index);
                return FrameSpan{starts[at], at + 1 < starts.size() ? starts[at + 1] : starts[at] + 1};
            }
            return FrameSpan{index * engine.frameTicks, (index + 1) * engine.frameTicks};
        }
        ImageRef picture(int) override {
            engine.log.push_back("frame " + std::to_string(index));
            return index % 70 == 69 ? nullptr : std::make_shared<FakeImage>(static_cast<int>(index));
        }
        FakeEngine& engine;
        std::int64_t next = 0, index = -1;
    };
};

TEST(VisionSearchOrder, VideoFramesDecodedTwentyAtATime) {
    TempDir dir;
    const std::string video = dir.file("clip.avi");
    writeFile(video, "frames");
    FakeEngine engine;
    engine.frameCount = 300;
    engine.faces[40] = {0.5f, 0.25f};  // one frame, two faces: one matches at 0.75
    engine.faces[250] = {0.25f};
    json::Value result = VisionService(engine, {}).searchFaceInVideo(kTarget, video, 0.75, 10);

    std::vector<std::string> expected;
    for (auto [first, end] : {std::pair{0, 20}, std::pair{20, 30}}) {
        for (int i = first; i < end; ++i) expected.push_back("frame " + std::to_string(i * 10));
        for (int i = first; i < end; ++i) expected.push_back("faces " + std::to_string(i * 10));
    }
    EXPECT_EQ(engine.log, expected);
    EXPECT_EQ(result.find("video_path")->asString(), video);
    std::vector<double> times;
    for (const auto& match : result.find("matches")->asArray()) times.push_back(member(match, "timestamp"));
    EXPECT_EQ(times, (std::vector<double>{40 / 30.0, 250 / 30.0}));
    EXPECT_EQ(json::write(*result.find("summary"), {.sortedKeys = true}),
              R"({"first_appearance":1.3333333333333333,"last_appearance":8.333333333333334,"total_matches":2,"video_duration":10})");

    // Step 1 for an interval below 1; frame 69 does not decode and is left out.
    engine.log.clear();
    engine.frameCount = 75;
    VisionService(engine, {}).searchFaceInVideo(kTarget, video, 0.75, -4);
    EXPECT_EQ(std::count_if(engine.log.begin(), engine.log.end(), [](auto& l) { return l.starts_with("frame"); }), 75);
    EXPECT_EQ(std::count_if(engine.log.begin(), engine.log.end(), [](auto& l) { return l.starts_with("faces"); }), 74);

    // A huge interval samples frame 0 alone.
    engine.log.clear();
    VisionService(engine, {}).searchFaceInVideo(kTarget, video, 0.75, INT64_MAX);
    EXPECT_EQ(engine.log, (std::vector<std::string>{"frame 0", "faces 0"}));
}

// Each sample takes the frame shown at its time, and the match carries that
// frame's own time, whatever the rate; a frame is looked at once however
// many samples fall on it, and sampling ends with the last frame, however
// long each frame lasts.
TEST(VisionSearchOrder, VideoFramesAtTheirOwnTimes) {
    TempDir dir;
    const std::string video = dir.file("clip.mp4");
    writeFile(video, "frames");
    struct Row {
        const char* name;
        std::pair<std::int64_t, std::int64_t> timeBase;
        std::int64_t frameTicks, frameCount, interval;
        std::vector<int> facesAt, looked;
        const char* summary;
        std::vector<std::int64_t> frameStarts = {};
    };
    // One frame held for ten seconds, then a second at 30 frames a second.
    std::vector<std::int64_t> heldThenRunning{0};
    for (std::int64_t tick = 300; tick < 330; ++tick) heldThenRunning.push_back(tick);
    const std::vector<Row> rows = {
        {"25 a second, every third of a second", {1, 25}, 1, 40, 10, {8, 25}, {0, 8, 16, 25, 33},
         R"({"first_appearance":0.32,"last_appearance":1,"total_matches":2,"video_duration":1.6})"},
        {"NTSC, every sample", {1001, 30000}, 1, 4, 1, {3}, {0, 1, 2, 3},
         R"({"first_appearance":0.1001,"last_appearance":0.1001,"total_matches":1,"video_duration":0.13346666666666668})"},
        {"10 a second, every sample", {1, 10}, 1, 5, 1, {4}, {0, 1, 2, 3, 4},
         R"({"first_appearance":0.4,"last_appearance":0.4,"total_matches":1,"video_duration":0.5})"},
        {"60 a second, every sample", {1, 60}, 1, 6, 1, {1, 2}, {0, 2, 4},
         R"({"first_appearance":0.03333333333333333,"last_appearance":0.03333333333333333,"total_matches":1,"video_duration":0.1})"},
        {"frames 512 s long", {1, 1}, 512, 3, 1, {2}, {0, 1, 2},
         R"({"first_appearance":1024,"last_appearance":1024,"total_matches":1,"video_duration":1536})"},
        {"held for ten seconds, then running, every second", {1, 30}, 1, 31, 30, {0, 1}, {0, 1},
         R"({"first_appearance":0,"last_appearance":10,"total_matches":2,"video_duration":11})", heldThenRunning},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeEngine engine;
        engine.timeBase = row.timeBase;
        engine.frameTicks = row.frameTicks;
        engine.frameCount = row.frameCount;
        engine.frameStarts = row.frameStarts;
        for (int frame : row.facesAt) engine.faces[frame] = {0.25f};
        const json::Value result = VisionService(engine, {}).searchFaceInVideo(kTarget, video, 0.75, row.interval);
        std::vector<int> looked;
        for (const std::string& line : engine.log)
            if (line.starts_with("frame ")) looked.push_back(std::stoi(line.substr(6)));
        EXPECT_EQ(looked, row.looked);
        EXPECT_EQ(json::write(*result.find("summary"), {.sortedKeys = true}), row.summary);
    }
}

// Picture names by extension only ("tif" and "webp" are not among them);
// each file's best face, which must reach the threshold and beat 0.
TEST(VisionSearchOrder, FolderKeepsEachFilesBestFaceAboveZero) {
    TempDir folder;
    FakeEngine engine;
    const std::vector<std::pair<const char*, std::vector<float>>> files = {
        {"a.png", {0.5f, 0.125f, 0.25f}}, {"b.JPG", {0.25f}}, {"c.tiff", {1.0f}}, {"d.bmp", {}},
        {"f.webp", {0.0f}},               {"g.tif", {0.0f}},  {"h.txt", {0.0f}},
    };
    for (std::size_t i = 0; i < files.size(); ++i) {
        writeFile(folder.file(files[i].first), "x");
        engine.files[files[i].first] = static_cast<int>(i);
        engine.faces[static_cast<int>(i)] = files[i].second;
    }
    writeFile(folder.file("e.jpeg"), "does not decode");
    const char* both = R"([{"filename":"a.png","similarity":0.875},{"filename":"b.JPG","similarity":0.75}])";
    for (auto [threshold, matches] : std::vector<std::pair<double, const char*>>{
             {0.75, both}, {0.0, both}, {0.8, R"([{"filename":"a.png","similarity":0.875}])"}}) {
        SCOPED_TRACE(threshold);
        json::Value result = VisionService(engine, {}).searchFaceInFolder(kTarget, folder.path(), threshold);
        EXPECT_EQ(json::write(*result.find("matches"), {.sortedKeys = true}), matches);
        EXPECT_EQ(member(*result.find("summary"), "total_faces_detected_in_folder"), 5);
        EXPECT_EQ(member(*result.find("summary"), "total_scanned"), 5);
    }
    // The image search takes a similarity of 0 at a threshold of 0.
    json::Value image = VisionService(engine, {}).searchFaceInImage(kTarget, folder.file("c.tiff"), 0.0);
    EXPECT_EQ(member(*image.find("summary"), "total_matches"), 1);
}

}  // namespace
}  // namespace app::vision
