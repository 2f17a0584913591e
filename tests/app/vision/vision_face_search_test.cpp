// Face search and image comparison on the real module, with the astronaut
// photo and copies the tests make of it.
#include "vision_test_support.hpp"
#include "support/memory_diagnostic_sink.hpp"

#include <opencv2/imgproc.hpp>

#include <libheif/heif.h>

#include <iostream>
#include <numbers>
#include <optional>
#include <tuple>
#include <regex>

#include <sys/stat.h>

namespace app::vision {
namespace {

using tools::Arguments;
using tools::ToolError;
using tools::testing::expectToolError;
using namespace testing;

std::string saved(const TempDir& dir, const std::string& name, const cv::Mat& image, int jpegQuality = 95) {
    std::string path = dir.file(name);
    EXPECT_TRUE(cv::imwrite(path, image, {cv::IMWRITE_JPEG_QUALITY, jpegQuality}));
    return path;
}

cv::Mat astronaut() {
    cv::Mat image = cv::imread(photo("astronaut.png"));
    EXPECT_FALSE(image.empty());
    return image;
}

cv::Mat turned(const cv::Mat& image, double degrees) {
    cv::Mat out;
    cv::warpAffine(image, out, cv::getRotationMatrix2D(cv::Point2f(image.cols / 2.0f, image.rows / 2.0f), degrees, 1),
                   image.size());
    return out;
}

cv::Mat mirrored(const cv::Mat& image) {
    cv::Mat out;
    cv::flip(image, out, 1);
    return out;
}

json::Value searchFace(const std::string& target, const std::string& path, const std::string& type,
                       Arguments extra = {}, platform::DiagnosticSink* sink = nullptr) {
    extra.insert_or_assign("target_image_path", target);
    extra.insert_or_assign("search_path", path);
    extra.insert_or_assign("search_type", type);
    return json::parse(handleVisionTool("vision_search_face", extra, kHome, loadVisionEngine, {}, sink));
}

const json::Array& matchesOf(const json::Value& result) { return result.find("matches")->asArray(); }
const json::Value& summaryOf(const json::Value& result) { return *result.find("summary"); }

// A tilted reference is turned upright as a whole, with one line on the
// diagnostic sink; a tilted face searched for is straightened silently.
TEST(VisionFaceSearch, TiltedFacesAreStraightened) {
    TempDir dir;
    const cv::Mat photo = astronaut();
    struct Row {
        double reference, searched;  // degrees turned
    };
    for (const Row& row : std::vector<Row>{{0, 0}, {25, 0}, {-25, 0}, {0, 25}}) {
        SCOPED_TRACE(std::to_string(row.reference) + " / " + std::to_string(row.searched));
        platform::MemoryDiagnosticSink sink;
        json::Value result = searchFace(saved(dir, "reference.png", turned(photo, row.reference)),
                                        saved(dir, "searched.png", turned(photo, row.searched)), "image", {}, &sink);
        ASSERT_EQ(matchesOf(result).size(), 1u);
        EXPECT_GE(member(matchesOf(result)[0], "similarity"), 0.6);
        const auto lines = sink.lines();
        ASSERT_EQ(lines.size(), row.reference != 0 ? 1u : 0u);
        if (lines.empty()) continue;
        std::smatch roll;
        ASSERT_TRUE(std::regex_match(lines[0], roll, std::regex(R"(Face rotation detected \(roll: (-?0\.\d+)\)\. Correcting image\.\.\.)")))
            << lines[0];
        EXPECT_NEAR(std::stod(roll[1]), row.reference * std::numbers::pi / 180, 0.06);
    }
}

// The same face in a picture twice its size reads about 0.96, its mirror
// image (the same person) about 0.95, a detection that is no face below 0.2:
// every face at or above the threshold is a match, in face order.
TEST(VisionFaceSearch, ImageWithTheFaceAndAnother) {
    TempDir dir;
    const cv::Mat photo = astronaut();
    const std::string target = saved(dir, "target.png", photo);
    cv::Mat pair;
    cv::hconcat(photo, mirrored(photo), pair);
    const std::string image = saved(dir, "pair.png", pair);

    struct Row {
        double threshold;
        std::vector<bool> original;  // per match: the original (left), not the mirror image
        const char* summary;
    };
    for (const Row& row : std::vector<Row>{{0.7, {true, false}, R"({"found":true,"total_matches":2})"},
                                           {0.955, {true}, R"({"found":true,"total_matches":1})"}}) {
        SCOPED_TRACE(row.threshold);
        json::Value result = searchFace(target, image, "image", {{"threshold", row.threshold}});
        EXPECT_EQ(result.find("image_path")->asString(), image);
        ASSERT_EQ(matchesOf(result).size(), row.original.size());
        for (std::size_t i = 0; i < row.original.size(); ++i) {
            const json::Value& match = matchesOf(result)[i];
            EXPECT_EQ(match.find("filename")->asString(), "pair.png");
            EXPECT_EQ(boxCentre(match, pair.size()).x < photo.cols, row.original[i]) << i;
        }
        EXPECT_EQ(json::write(summaryOf(result), {.sortedKeys = true}), row.summary);
    }
    // A whole number arrives as an integer and is a threshold too.
    json::Value result = searchFace(target, image, "image", {{"threshold", 1}});
    EXPECT_TRUE(matchesOf(result).empty());
    EXPECT_EQ(json::write(summaryOf(result), {.sortedKeys = true}), R"({"found":false,"total_matches":0})");
}

TEST(VisionFaceSearch, ErrorsInTheirOrder) {
    TempDir dir;
    const std::string face = saved(dir, "face.png", astronaut());
    const std::string blank = saved(dir, "blank.png", cv::Mat(200, 200, CV_8UC3, cv::Scalar::all(200)));
    const std::string fifo = dir.file("pipe.avi"), text = dir.file("notes.avi"), pictures = dir.file("frames.avi");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    writeFile(text, "not a video");
    const std::string nul("\0.txt", 5), video = dir.file("clip.mp4");
    runProgram({"ffmpeg", "-v", "error", "-loop", "1", "-i", face, "-t", "1", "-c:v", "mpeg4", video});
    // Pictures in a row that FFmpeg would play, each of its own size.
    writeFile(pictures, "P6\n8 6\n255\n" + std::string(8 * 6 * 3, 'x') + "P6\n8 34\n255\n" + std::string(8 * 34 * 3, 'y'));
    struct Row {
        const char* name;
        std::string target, path, type;
        ToolError error;
    };
    const std::vector<Row> rows = {
        {"no face before the type", blank, face, "album", {"VisionService", 404, "No face detected in target image"}},
        {"unknown type", face, face, "album", {"VisionService", 400, "Invalid search type"}},
        {"missing target", dir.file("none.png"), face, "image",
         {"VisionService", 404, "Image file not found at path: " + dir.file("none.png")}},
        {"decoder's stream name", face, "pipe:0", "video", {"VisionService", 404, "Video file not found at path: pipe:0"}},
        {"FIFO", face, fifo, "video", {"VisionService", 400, "Failed to load video from path: " + fifo}},
        {"no video", face, text, "video", {"VisionService", 400, "Failed to load video from path: " + text}},
        {"pictures, no container", face, pictures, "video", {"VisionService", 400, "Failed to load video from path: " + pictures}},
        {"folder that is a file", face, face, "folder", {"VisionService", 400, "Failed to read folder: " + face}},
        {"missing folder", face, dir.file("gone"), "folder", {"VisionService", 400, "Failed to read folder: " + dir.file("gone")}},
        // A NUL names no file, although the system would read the name up to it.
        {"NUL in the target", face + nul, face, "image", {"VisionService", 404, "Image file not found at path: " + face + nul}},
        {"NUL in an image", face, face + nul, "image", {"VisionService", 404, "Image file not found at path: " + face + nul}},
        {"NUL in a video", face, video + nul, "video", {"VisionService", 404, "Video file not found at path: " + video + nul}},
        {"NUL in a folder", face, dir.file("") + nul, "folder", {"VisionService", 400, "Failed to read folder: " + dir.file("") + nul}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        expectToolError([&] { searchFace(row.target, row.path, row.type); }, row.error);
    }
}

TEST(VisionCompare, BandsOnCopiesCutsAndOtherPhotos) {
    TempDir dir;
    const cv::Mat picture = astronaut();
    const std::string original = saved(dir, "original.png", picture), coffee = photo("coffee.png");
    const cv::Mat& photo = picture;
    const int cut = photo.cols * 3 / 100;
    cv::Mat changed = photo.clone();
    changed.at<cv::Vec3b>(5, 5)[0] ^= 1;
    struct Row {
        const char* name;
        std::string other;
        const char* word;
    };
    const std::vector<Row> rows = {
        {"the same pixels", saved(dir, "copy.png", photo), "Identical"},
        {"re-encoded", saved(dir, "copy.jpg", photo, 80), "Very Similar"},
        {"one pixel changed", saved(dir, "changed.png", changed), "Very Similar"},
        {"3% cut from each side", saved(dir, "cut.png", photo(cv::Rect(cut, cut, photo.cols - 2 * cut, photo.rows - 2 * cut))), "Similar"},
        {"another photo", coffee, "Different"},
        {"its mirror image", saved(dir, "mirror.png", mirrored(photo)), "Different"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        json::Value result = callToolJson("vision_compare_images", {{"image_path_1", original}, {"image_path_2", row.other}});
        EXPECT_EQ(result.find("similarity_description")->asString(), row.word) << member(result, "distance");
    }
    EXPECT_EQ(callTool("vision_compare_images", {{"image_path_1", original}, {"image_path_2", rows[0].other}}),
              "{\n  \"distance\" : 0,\n  \"similarity_description\" : \"Identical\",\n  \"success\" : true\n}");

    const std::string gone1 = dir.file("gone1.png"), gone2 = dir.file("gone2.png");
    for (const auto& [first, second, missing] : std::vector<std::array<std::string, 3>>{{gone1, gone2, gone1}, {original, gone2, gone2}}) {
        SCOPED_TRACE(first);
        expectToolError([&, &first = first, &second = second] { callTool("vision_compare_images", {{"image_path_1", first}, {"image_path_2", second}}); },
                        ToolError("VisionService", 404, "Image file not found at path: " + missing));
    }
}

// A HEIC file of the picture stored turned a quarter counter-clockwise, with
// the box (irot) that turns it back for display, written by libheif itself.
std::string heicStoredTurned(const TempDir& dir, const cv::Mat& upright) {
    cv::Mat stored;
    cv::rotate(upright, stored, cv::ROTATE_90_COUNTERCLOCKWISE);
    cv::cvtColor(stored, stored, cv::COLOR_BGR2RGB);
    heif_context* context = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    heif_image* image = nullptr;
    heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder);
    heif_image_create(stored.cols, stored.rows, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image);
    heif_image_add_plane(image, heif_channel_interleaved, stored.cols, stored.rows, 8);
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    for (int y = 0; y < stored.rows; ++y) std::copy_n(stored.ptr<std::uint8_t>(y), stored.cols * 3, plane + y * stride);
    heif_encoding_options* options = heif_encoding_options_alloc();
    options->image_orientation = heif_orientation_rotate_90_cw;
    const std::string path = dir.file("turned.heic");
    EXPECT_EQ(heif_context_encode_image(context, image, encoder, options, nullptr).code, heif_error_Ok);
    EXPECT_EQ(heif_context_write_to_file(context, path.c_str()).code, heif_error_Ok);
    heif_encoding_options_free(options), heif_image_release(image), heif_encoder_release(encoder), heif_context_free(context);
    return path;
}

// Phone photos: HEIC pictures are searched like any other, upright as shown
// (a face on its side is not found); so is a HEIF file of the generic
// still-image brand.
TEST(VisionFaceSearch, HeicPictures) {
    TempDir dir, folder;
    const std::string original = saved(dir, "original.png", astronaut());
    runProgram({"heif-enc", "-q", "90", original, "-o", folder.file("plain.HEIC")});
    heicStoredTurned(folder, astronaut());
    // heif-enc's file with the major brand of its ftyp box (bytes 8-11) made "mif1".
    std::string generic = testsupport::readFile(folder.file("plain.HEIC"));
    ASSERT_EQ(generic.substr(4, 8), "ftypheic");
    writeFile(folder.file("generic.heic"), generic.replace(8, 4, "mif1"));
    const json::Value found = searchFace(original, folder.file(""), "folder", {{"threshold", 0.75}});
    EXPECT_EQ(member(summaryOf(found), "total_matches"), 3);
    EXPECT_EQ(member(summaryOf(found), "total_scanned"), 3);
}

// The similarities of the faces in the picture to the reference's face, at
// or above the threshold (none given: the tool's default).
std::vector<double> similarities(const std::string& reference, const std::string& picture,
                                 std::optional<double> threshold = -2.0) {
    Arguments extra;
    if (threshold) extra["threshold"] = *threshold;
    std::vector<double> found;
    const json::Value result = searchFace(reference, picture, "image", extra);
    for (const json::Value& match : matchesOf(result)) found.push_back(member(match, "similarity"));
    return found;
}

// Ten people in the photos (the four of the face-recognition picture among
// them; the player twice, in messi5 and a crop of it): the default threshold
// keeps the same face, changed the ways a photo is changed, and no other
// person's face. The figures are printed for the README.
TEST(VisionFacePrint, DefaultThresholdTellsPeopleApart) {
    TempDir dir;
    struct Person {
        const char* photo;
        const char* who;
        std::size_t faces;  // found in the photo; the reference is the first
    };
    const std::vector<Person> people = {
        {"astronaut.png", "astronaut", 1}, {"messi5.jpg", "player", 1},
        {"messi_face.jpg", "player", 1},   {"faceDetection.png", "hat", 1},
        {"face_swapped.jpg", "beard", 1},  {"julia_facedetect_sample.jpg", "painting", 1},
        {"facereg.jpg", "four", 4},
    };
    std::vector<double> others, same, changes;
    for (const Person& reference : people) {
        SCOPED_TRACE(reference.photo);
        for (const Person& searched : people) {
            SCOPED_TRACE(searched.photo);
            std::vector<double> s = similarities(photo(reference.photo), photo(searched.photo));
            ASSERT_EQ(s.size(), searched.faces);
            if (std::string_view(reference.who) == searched.who) {
                if (&searched == &reference) EXPECT_GT(s[0], 0.99);
                else same.push_back(s[0]);
                s.erase(s.begin());
            }
            others.insert(others.end(), s.begin(), s.end());
            // With the default threshold, only the reference's own person.
            const std::vector<double> found = similarities(photo(reference.photo), photo(searched.photo), std::nullopt);
            EXPECT_EQ(found.size(), std::string_view(reference.who) == searched.who ? 1u : 0u);
        }
        const cv::Mat original = cv::imread(photo(reference.photo));
        cv::Mat half;
        cv::resize(original, half, original.size() / 2, 0, 0, cv::INTER_AREA);
        for (const auto& [name, changed, quality] : std::vector<std::tuple<const char*, cv::Mat, int>>{
                 {"jpeg.jpg", original, 40}, {"half.png", half, 95}, {"turned.png", turned(original, 10), 95},
                 {"mirrored.png", mirrored(original), 95}}) {
            SCOPED_TRACE(name);
            const std::vector<double> s = similarities(photo(reference.photo), saved(dir, name, changed, quality));
            if (s.empty()) continue;  // the player's face at half size is too small to be found
            changes.push_back(*std::max_element(s.begin(), s.end()));
        }
    }
    const auto [otherLeast, otherMost] = std::minmax_element(others.begin(), others.end());
    const auto [changeLeast, changeMost] = std::minmax_element(changes.begin(), changes.end());
    EXPECT_LT(*otherMost, 0.65);
    EXPECT_GT(*changeLeast, 0.75);
    EXPECT_GT(*std::min_element(same.begin(), same.end()), 0.85);
    std::cout << others.size() << " pairs of different people " << *otherLeast << " to " << *otherMost << "; "
              << changes.size() << " faces changed " << *changeLeast << " to " << *changeMost << "; the player in two photos "
              << same.front() << "\n";
}

}  // namespace
}  // namespace app::vision
