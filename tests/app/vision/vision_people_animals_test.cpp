// People, hands, cats and dogs on real photos (Debian's opencv-doc and
// scikit-image pictures), and the models' files missing or damaged.
#include "app/tools/registry/tool_error.hpp"
#include "app/vision/vision_results.hpp"
#include "vision_test_support.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>

namespace app::vision {
namespace {

using namespace testing;

std::vector<json::Value> entries(const char* tool, const std::string& path, const char* list) {
    const json::Value result = callToolJson(tool, {{"image_path", path}});
    const auto& items = result.find(list)->asArray();
    EXPECT_EQ(result.find("count")->asInt(), static_cast<std::int64_t>(items.size()));
    return {items.begin(), items.end()};
}

std::optional<cv::Point2d> joint(const json::Value& pose, std::string_view name) {
    const json::Value* p = pose.find("points")->find(std::string(name));
    if (!p) return std::nullopt;
    return cv::Point2d(member(*p, "x"), member(*p, "y"));
}

// The surest pose: the one whose joints the model was most certain of.
const json::Value& surest(const std::vector<json::Value>& poses) {
    return *std::max_element(poses.begin(), poses.end(), [](const json::Value& a, const json::Value& b) {
        return member(a, "confidence") < member(b, "confidence");
    });
}

// Every point is a named joint inside the picture, with a confidence above 0.
template <std::size_t N>
void expectWellFormed(const json::Value& pose, const std::array<std::string_view, N>& names) {
    for (const auto& [name, point] : pose.find("points")->asObject()) {
        EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
        EXPECT_GT(member(point, "confidence"), 0) << name;
        for (const char* axis : {"x", "y"}) {
            EXPECT_GE(member(point, axis), 0) << name;
            EXPECT_LE(member(point, axis), 1) << name;
        }
    }
}

TEST(VisionPeople, BodyJointsOfAPersonFacingTheCamera) {
    TempDir dir;
    const cv::Mat messi = cv::imread(photo("messi5.jpg"));
    cv::Mat turned;
    cv::rotate(messi, turned, cv::ROTATE_90_CLOCKWISE);
    const std::string turnedPath = dir.file("messi-turned.png");
    ASSERT_TRUE(cv::imwrite(turnedPath, turned));

    const std::vector<json::Value> poses = entries("vision_detect_body_pose", photo("messi5.jpg"), "poses");
    ASSERT_FALSE(poses.empty());
    const json::Value& player = surest(poses);
    for (const json::Value& pose : poses) expectWellFormed(pose, kBodyJoints);
    // y grows upwards; the person's left is on the picture's right.
    const auto at = [&](const char* name) {
        auto p = joint(player, name);
        EXPECT_TRUE(p) << name;
        return p.value_or(cv::Point2d(-1, -1));
    };
    EXPECT_GT(at("left_shoulder").x, at("right_shoulder").x);
    EXPECT_GT(at("left_hip").x, at("right_hip").x);
    for (const char* side : {"left", "right"}) {
        SCOPED_TRACE(side);
        const std::string s = side;
        EXPECT_GT(at((s + "_shoulder").c_str()).y, at((s + "_hip").c_str()).y);
        EXPECT_GT(at((s + "_hip").c_str()).y, at((s + "_knee").c_str()).y);
        EXPECT_GT(at((s + "_knee").c_str()).y, at((s + "_ankle").c_str()).y);
    }
    EXPECT_GT(at("nose").y, at("neck").y);
    const cv::Point2d middle = (at("left_shoulder") + at("right_shoulder")) * 0.5;
    EXPECT_NEAR(at("neck").x, middle.x, 1e-9);
    EXPECT_NEAR(at("neck").y, middle.y, 1e-9);

    // Each hand found on the photo has its wrist near a wrist of a body.
    const std::vector<json::Value> hands = entries("vision_detect_hand_pose", photo("messi5.jpg"), "hands");
    ASSERT_FALSE(hands.empty());
    for (const json::Value& hand : hands) {
        const cv::Point2d wrist = *joint(hand, "wrist");
        double nearest = 1;
        for (const json::Value& pose : poses) {
            for (const char* name : {"left_wrist", "right_wrist"}) {
                if (auto w = joint(pose, name)) nearest = std::min(nearest, cv::norm(*w - wrist));
            }
        }
        EXPECT_LT(nearest, 0.08);
    }

    // Turned a quarter clockwise, (x, y) is found at (y, 1 - x).
    const std::vector<json::Value> turnedPoses = entries("vision_detect_body_pose", turnedPath, "poses");
    ASSERT_FALSE(turnedPoses.empty());
    const json::Value& turnedPlayer = surest(turnedPoses);
    // Joints the model is sure of in both (its weaker ones wander).
    const auto sure = [](const json::Value& pose, std::string_view name) {
        const json::Value* p = pose.find("points")->find(std::string(name));
        return p && member(*p, "confidence") >= 0.4;
    };
    int compared = 0;
    for (std::string_view name : kBodyJoints) {
        auto before = joint(player, name), after = joint(turnedPlayer, name);
        if (!sure(player, name) || !sure(turnedPlayer, name)) continue;
        SCOPED_TRACE(name);
        EXPECT_NEAR(after->x, before->y, 0.06);
        EXPECT_NEAR(after->y, 1 - before->x, 0.06);
        ++compared;
    }
    EXPECT_GE(compared, 10);
}

TEST(VisionPeople, EveryPersonOfAGroup) {
    // The picture shows about a dozen people, most of them small; the
    // detector is sure of four.
    const std::vector<json::Value> poses = entries("vision_detect_body_pose", photo("person_multi_det.jpg"), "poses");
    EXPECT_GE(poses.size(), 3u);
    EXPECT_LE(poses.size(), 12u);
    for (const json::Value& pose : poses) {
        expectWellFormed(pose, kBodyJoints);
        auto nose = joint(pose, "nose"), ankle = joint(pose, "left_ankle");
        if (nose && ankle) EXPECT_GT(nose->y, ankle->y);
    }
}

// Where a pose's head is: the mean of its head joints, fractions with the
// top-left origin; absent when none is seen.
std::optional<cv::Point2d> headOf(const json::Value& pose) {
    cv::Point2d sum(0, 0);
    int seen = 0;
    for (const char* name : {"nose", "left_eye", "right_eye", "left_ear", "right_ear"}) {
        if (auto p = joint(pose, name)) sum += *p, ++seen;
    }
    if (seen == 0) return std::nullopt;
    return cv::Point2d(sum.x / seen, 1 - sum.y / seen);
}

// Counted people, none found twice and all or nearly all found: standing in
// a row (gimp-help's five soldiers, the second half hidden behind the
// others, the fourth a step back; the same beside its mirror image, ten in a
// row) and walking apart (opencv-doc's seven people on a campus).
TEST(VisionPeople, OnePosePerPersonOfAGroup) {
    TempDir dir;
    const cv::Mat soldiers = cv::imread(photo("quickie-flip-example-source.jpg"));
    cv::Mat mirrored, row;
    cv::flip(soldiers, mirrored, 1);
    cv::hconcat(soldiers, mirrored, row);
    const std::string rowPath = dir.file("row.png");
    ASSERT_TRUE(cv::imwrite(rowPath, row));
    const std::vector<cv::Point2d> five = {{0.234, 0.25}, {0.385, 0.25}, {0.48, 0.23}, {0.59, 0.15}, {0.69, 0.24}};
    std::vector<cv::Point2d> ten;
    for (const cv::Point2d& h : five) ten.push_back({h.x / 2, h.y});
    for (const cv::Point2d& h : five) ten.push_back({1 - h.x / 2, h.y});

    struct Row {
        std::string photo;
        std::vector<cv::Point2d> heads;  // fractions, top-left origin
        int least;                       // of them found
    };
    const std::vector<Row> rows = {
        {photo("quickie-flip-example-source.jpg"), five, 5},
        {rowPath, ten, 9},
        {photo("Background_Subtraction_Tutorial_frame.jpg"),
         {{0.125, 0.28}, {0.31, 0.35}, {0.656, 0.27}, {0.896, 0.185}, {0.929, 0.185}, {0.816, 0.475}, {0.9375, 0.45}},
         7},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.photo);
        const std::vector<json::Value> poses = entries("vision_detect_body_pose", row.photo, "poses");
        for (const json::Value& pose : poses) expectWellFormed(pose, kBodyJoints);
        // Each pose belongs to the counted head nearest its own, if one is near.
        std::vector<int> found(row.heads.size(), 0);
        for (const json::Value& pose : poses) {
            const auto h = headOf(pose);
            if (!h) continue;
            std::size_t nearest = 0;
            for (std::size_t i = 1; i < row.heads.size(); ++i) {
                if (cv::norm(*h - row.heads[i]) < cv::norm(*h - row.heads[nearest])) nearest = i;
            }
            if (cv::norm(*h - row.heads[nearest]) < 0.06) ++found[nearest];
        }
        for (std::size_t i = 0; i < row.heads.size(); ++i) {
            EXPECT_LE(found[i], 1) << "the person whose head is at " << row.heads[i];
        }
        EXPECT_GE(std::count(found.begin(), found.end(), 1), row.least);
        // Nor is anyone else, counted or not: no two heads together (the
        // closest people here stand 0.03 apart).
        for (std::size_t i = 0; i < poses.size(); ++i) {
            for (std::size_t j = i + 1; j < poses.size(); ++j) {
                const auto a = headOf(poses[i]), b = headOf(poses[j]);
                if (a && b) EXPECT_GT(cv::norm(*a - *b), 0.025) << "two poses with their heads at " << *a;
            }
        }
    }
}

// A photo turned a quarter and saved without an orientation tag: the same
// people are found, their joints where they are in the turned picture.
TEST(VisionPeople, APhotoTurnedAQuarterWithoutItsTag) {
    TempDir dir;
    struct Row {
        const char* name;
        cv::Rect part;  // of the photo; empty: all of it
    };
    // The astronaut's head and shoulders: the detector is sure of her
    // upright only, and her joints read about 0.3.
    const std::vector<Row> rows = {
        {"quickie-flip-example-source.jpg", {}}, {"astronaut.png", {}}, {"astronaut.png", {0, 0, 512, 300}}};
    for (const Row& row : rows) {
        const std::string name = std::string(row.name) + (row.part.empty() ? "" : " (part)");
        const cv::Mat whole = cv::imread(photo(row.name));
        const cv::Mat picture = row.part.empty() ? whole : whole(row.part);
        const std::string uprightPath = dir.file("upright.png");
        ASSERT_TRUE(cv::imwrite(uprightPath, picture));
        const std::vector<json::Value> upright = entries("vision_detect_body_pose", uprightPath, "poses");
        ASSERT_FALSE(upright.empty()) << name;
        for (const auto turn : {cv::ROTATE_90_CLOCKWISE, cv::ROTATE_90_COUNTERCLOCKWISE}) {
            SCOPED_TRACE(name + (turn == cv::ROTATE_90_CLOCKWISE ? " clockwise" : " counter-clockwise"));
            cv::Mat turned;
            cv::rotate(picture, turned, turn);
            const std::string path = dir.file("turned.png");
            ASSERT_TRUE(cv::imwrite(path, turned));
            const std::vector<json::Value> poses = entries("vision_detect_body_pose", path, "poses");
            EXPECT_EQ(poses.size(), upright.size());
            // Turned clockwise, (x, y) is found at (y, 1 - x); the other way at (1 - y, x).
            for (const json::Value& person : upright) {
                const auto nose = joint(person, "nose");
                if (!nose) continue;
                const cv::Point2d expected =
                    turn == cv::ROTATE_90_CLOCKWISE ? cv::Point2d(nose->y, 1 - nose->x) : cv::Point2d(1 - nose->y, nose->x);
                const bool found = std::any_of(poses.begin(), poses.end(), [&](const json::Value& pose) {
                    const auto n = joint(pose, "nose");
                    return n && cv::norm(*n - expected) < 0.03;
                });
                EXPECT_TRUE(found) << "the nose at " << *nose;
            }
            for (const json::Value& pose : poses) expectWellFormed(pose, kBodyJoints);
        }
    }
}

// Joints the model places beyond the picture's edge are left out: people
// cut at the waist (their hips just below the bottom edge) and at the belt
// (their elbows just above the top edge).
TEST(VisionPeople, OnlyJointsInsideThePicture) {
    TempDir dir;
    const cv::Mat soldiers = cv::imread(photo("quickie-flip-example-source.jpg"));
    const int half = soldiers.rows / 2;
    for (const cv::Rect& part : {cv::Rect(0, 0, soldiers.cols, half), cv::Rect(0, half, soldiers.cols, soldiers.rows - half)}) {
        SCOPED_TRACE(part.y == 0 ? "upper half" : "lower half");
        const std::string path = dir.file("part.png");
        ASSERT_TRUE(cv::imwrite(path, soldiers(part)));
        const std::vector<json::Value> poses = entries("vision_detect_body_pose", path, "poses");
        EXPECT_FALSE(poses.empty());
        for (const json::Value& pose : poses) expectWellFormed(pose, kBodyJoints);
    }
}

TEST(VisionPeople, TheJointsOfAHand) {
    const std::vector<json::Value> hands = entries("vision_detect_hand_pose", photo("handSrc.jpg"), "hands");
    ASSERT_EQ(hands.size(), 1u);
    const json::Value& hand = hands[0];
    expectWellFormed(hand, kHandJoints);
    EXPECT_EQ(hand.find("points")->asObject().size(), 21u);
    EXPECT_GT(member(hand, "confidence"), 0.5);
    // Along each finger, from tip to base, the joints come closer to the wrist.
    const cv::Point2d wrist = *joint(hand, "wrist");
    for (std::size_t finger = 0; finger < 5; ++finger) {
        SCOPED_TRACE(kHandJoints[1 + 4 * finger]);
        const cv::Point2d tip = *joint(hand, kHandJoints[1 + 4 * finger]);
        const cv::Point2d base = *joint(hand, kHandJoints[4 + 4 * finger]);
        EXPECT_GT(cv::norm(tip - wrist), cv::norm(base - wrist) + 0.05);
    }
}

TEST(VisionAnimals, CatsAndDogsWithTheirBoxes) {
    struct Row {
        const char* photo;
        const char* label;
        cv::Point2d inside;  // a point of the animal, fractions, lower-left origin
    };
    const std::vector<Row> rows = {
        {"cat_det.jpg", "Cat", {0.5, 0.5}},
        {"chelsea.png", "Cat", {0.65, 0.6}},
        {"Remap_Tutorial_Original_Image.jpg", "Dog", {0.6, 0.5}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.photo);
        const std::vector<json::Value> animals = entries("vision_recognize_animals", photo(row.photo), "animals");
        ASSERT_EQ(animals.size(), 1u);
        const json::Value& label = animals[0].find("labels")->asArray()[0];
        EXPECT_EQ(label.find("identifier")->asString(), row.label);
        EXPECT_GT(member(label, "confidence"), 0.3);
        const json::Value& box = *animals[0].find("bounding_box");
        EXPECT_LT(member(box, "x"), row.inside.x);
        EXPECT_GT(member(box, "x") + member(box, "width"), row.inside.x);
        EXPECT_LT(member(box, "y"), row.inside.y);
        EXPECT_GT(member(box, "y") + member(box, "height"), row.inside.y);
        EXPECT_GT(member(box, "width") * member(box, "height"), 0.3);
    }
}

// Where the detector scores a cat and a dog at one place (Chelsea turned a
// quarter, or her right two thirds: both about 0.3-0.4), that is one animal
// with both labels, the surer first.
TEST(VisionAnimals, OneAnimalWhereBothKindsAreSeen) {
    TempDir dir;
    const cv::Mat chelsea = cv::imread(photo("chelsea.png"));
    cv::Mat turned;
    cv::rotate(chelsea, turned, cv::ROTATE_90_CLOCKWISE);
    const std::vector<cv::Mat> pictures = {turned, chelsea(cv::Rect(chelsea.cols / 3, 0, chelsea.cols * 2 / 3, chelsea.rows))};
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        const std::string path = dir.file("chelsea-" + std::to_string(i) + ".png");
        ASSERT_TRUE(cv::imwrite(path, pictures[i]));
        const std::vector<json::Value> animals = entries("vision_recognize_animals", path, "animals");
        ASSERT_EQ(animals.size(), 1u) << i;
        const auto& labels = animals[0].find("labels")->asArray();
        ASSERT_EQ(labels.size(), 2u) << i;
        EXPECT_NE(labels[0].find("identifier")->asString(), labels[1].find("identifier")->asString());
        EXPECT_GE(member(labels[0], "confidence"), member(labels[1], "confidence"));
        EXPECT_GT(member(labels[1], "confidence"), 0.3);
    }
}

TEST(VisionAnimals, NothingWhereThereIsNothing) {
    struct Row {
        const char* photo;
        bool people;  // whether people are expected (so no empty pose list)
    };
    for (const char* name : {"text.png", "coins.png", "rocket.jpg", "page.png", "starry_night.jpg", "coffee.png"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(entries("vision_recognize_animals", photo(name), "animals").empty());
        EXPECT_TRUE(entries("vision_detect_body_pose", photo(name), "poses").empty());
        EXPECT_TRUE(entries("vision_detect_hand_pose", photo(name), "hands").empty());
    }
    // People are no animals.
    EXPECT_TRUE(entries("vision_recognize_animals", photo("messi5.jpg"), "animals").empty());
}

// A copy of the module in a folder of its own, with the model files given.
class ModuleCopy {
public:
    ModuleCopy() {
        const std::string built = visionModuleCandidates().back();
        models_ = std::filesystem::path(built).parent_path() / "brisolet-models";
        std::filesystem::copy_file(built, dir_.file(kVisionModuleFile));
        std::filesystem::create_directory(folder());
    }
    std::filesystem::path folder() const { return dir_.file("brisolet-models"); }
    void install(const std::string& file) const {
        std::filesystem::copy_file(models_ / file, folder() / file, std::filesystem::copy_options::overwrite_existing);
    }
    void damage(const std::string& file, std::size_t keep) const {
        install(file);
        std::filesystem::resize_file(folder() / file, keep);
    }
    VisionEngine& engine() const { return loadVisionEngineFrom({dir_.file(kVisionModuleFile)}); }

private:
    TempDir dir_;
    std::filesystem::path models_;
};

void expectModelFailure(const std::function<void()>& call, const std::string& file) {
    try {
        call();
        ADD_FAILURE() << "no error for " << file;
    } catch (const tools::ToolError& e) {
        EXPECT_EQ(e.domain(), "VisionService");
        EXPECT_EQ(e.code(), 500);
        EXPECT_NE(e.message().find("/brisolet-models/" + file), std::string::npos) << e.message();
    }
}

TEST(VisionModels, MissingOrDamagedFilesAreNamedAndOtherAnalysesWork) {
    ModuleCopy module;
    VisionEngine& engine = module.engine();
    const ImageRef messi = engine.loadImage(photo("messi5.jpg"), {});
    const auto animals = [&] { engine.recognizeAnimals(*messi, {}); };
    const auto bodies = [&] { engine.detectBodyPose(*messi, {}); };
    const auto hands = [&] { engine.detectHandPose(*messi, {}); };

    expectModelFailure(animals, "centernet.json");
    module.install("centernet.json");
    expectModelFailure(animals, "centernet.bin");
    module.damage("centernet.bin", 1000);
    expectModelFailure(animals, "centernet.bin");
    expectModelFailure(bodies, "centernet.bin");
    // Analyses without models keep working meanwhile.
    EXPECT_TRUE(engine.analyzeSaliency(*messi, SaliencyKind::Attention, {}).has_value());
    EXPECT_TRUE(engine.detectFaces(*messi, {}).has_value());

    module.install("centernet.bin");
    EXPECT_NO_THROW(animals());
    expectModelFailure(bodies, "movenet-lightning.json");
    module.install("movenet-lightning.json");
    module.damage("movenet-lightning.bin", 4);
    expectModelFailure(bodies, "movenet-lightning.bin");
    module.install("movenet-lightning.bin");
    EXPECT_NO_THROW(bodies());
    // A damaged graph: cut inside its JSON text.
    module.damage("handlandmark-lite.json", 5000);
    module.install("handlandmark-lite.bin");
    expectModelFailure(hands, "handlandmark-lite.json");
    module.install("handlandmark-lite.json");
    EXPECT_EQ(engine.detectHandPose(*messi, {})->size(), 2u);
}

// Without the face-description model faces are still found; their prints
// are the error naming the file.
TEST(VisionModels, FacePrintsNameAMissingOrDamagedFaceModel) {
    ModuleCopy module;
    VisionEngine& engine = module.engine();
    const ImageRef face = engine.loadImage(photo("face_swapped.jpg"), {});
    const auto print = [&] { engine.facePrint(*face); };
    const std::vector<std::pair<const char*, std::function<void()>>> damages = {
        {"faceres.json", [] {}},
        {"faceres.bin", [&] { module.install("faceres.json"); }},
        {"faceres.bin", [&] { module.damage("faceres.bin", 3000); }},
        {"faceres.json", [&] {
             module.install("faceres.bin");
             module.damage("faceres.json", 2000);
         }},
    };
    for (const auto& [file, damage] : damages) {
        damage();
        expectModelFailure(print, file);
        EXPECT_EQ(engine.detectFaces(*face, {})->size(), 1u);
    }
    module.install("faceres.json");
    const std::optional<FacePrint> made = engine.facePrint(*face);
    ASSERT_TRUE(made.has_value());
    EXPECT_EQ(made->features.size(), 1024u);
}

}  // namespace
}  // namespace app::vision
