// The tool list, the handler's own errors, paths, and loading the module.
#include "vision_test_support.hpp"

#include "app/vision/vision_paths.hpp"
#include "runtime/runtime.hpp"

#include <opencv2/imgproc.hpp>

#include <array>
#include <chrono>
#include <future>

#include <zlib.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app::vision {
namespace {

using tools::AnyList;
using tools::Arguments;
using tools::ToolError;
using tools::testing::expectToolError;
using namespace testing;

// Required arguments are checked in the program, before the module is loaded:
// each missing one, or one of another type than text, is reported.
TEST(VisionTools, RequiredArgumentsCheckedBeforeTheModuleLoads) {
    EngineSource noEngine = []() -> VisionEngine& { throw std::logic_error("the module was loaded"); };
    auto call = [&](const std::string& name, const Arguments& arguments) { handleVisionTool(name, arguments, kHome, noEngine, {}); };
    for (const auto& tool : visionTools()) {
        SCOPED_TRACE(tool.name);
        Arguments arguments;
        for (const auto& key : *tool.inputSchema.at("required").ifList()) {
            const std::string& missing = *key.ifText();
            for (tools::AnyValue wrong : {tools::AnyValue(), tools::AnyValue(5)}) {
                if (!wrong.isNull()) arguments[missing] = wrong;
                expectToolError([&] { call(tool.name, arguments); },
                                ToolError("VisionTool", 400, "Missing required parameter: " + missing));
            }
            arguments[missing] = "/nonexistent";
        }
    }
    for (const char* unknown : {"vision_unknown", "Vision_Recognize_Text"})
        expectToolError([&] { call(unknown, {{"image_path", "/a.png"}}); },
                        ToolError("VisionTool", 404, std::string("Unknown vision tool: ") + unknown));
}

TEST(VisionTools, ModuleThatCannotLoadIsAnErrorNamingTheCause) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> rows = {  // candidates, cause
        {{"/nonexistent/brisolet-vision.so"}, "brisolet-vision.so not found (looked in: /nonexistent/brisolet-vision.so)"},
        {{"/etc/os-release"}, "/etc/os-release: invalid ELF header"},
        {{"/nonexistent/x.so", "/lib/x86_64-linux-gnu/libm.so.6"}, "/lib/x86_64-linux-gnu/libm.so.6 is not a vision module"},
    };
    for (const auto& [candidates, cause] : rows) {
        auto error = tools::testing::thrownToolError([&candidates = candidates] { loadVisionEngineFrom(candidates); });
        ASSERT_TRUE(error);
        EXPECT_EQ(std::pair(error->domain(), error->code()), std::pair(std::string("VisionService"), 500));
        EXPECT_NE(error->message().find(cause), std::string::npos) << error->message();
    }
}

TEST(VisionTools, TildeExpansion) {
    const std::vector<std::array<const char*, 3>> rows = {  // path, home, expanded
        {"~", "/home/u", "/home/u"},
        {"~/a/b.png", "/home/u", "/home/u/a/b.png"},
        {"~/a.png", "/home/u/", "/home/u/a.png"},
        {"~root/a.png", "/home/u", "/root/a.png"},
        {"~no_such_user_zz/a.png", "/home/u", "~no_such_user_zz/a.png"},
        {"/x/~/a.png", "/home/u", "/x/~/a.png"}};
    for (const auto& [path, home, expanded] : rows) EXPECT_EQ(expandTilde(path, home), expanded) << path;
}

// Every image-taking tool refuses what is no readable image, at once.
TEST(VisionTools, ImageLoadingErrors) {
    TempDir dir;
    const std::string text = dir.file("notes.png"), fifo = dir.file("pipe.png"), bomb = dir.file("bomb.png"),
                      dicom = dir.file("scan.png");
    writeFile(text, "not an image");
    // Marked as WebP, with the header of a 16 x 16 picture, and as DICOM: the
    // DICOM reader aborts on such a file.
    writeFile(dicom, "RIFF" + std::string(4, '\0') + "WEBP" + "VP8 " + std::string(4, '\0') +
                         std::string("\0\0\0\x9d\x01\x2a\x10\0\x10\0", 10) + std::string(98, '\0') + "DICM");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    {
        // A valid PNG header claiming 100000 x 100000 pixels.
        cv::Mat small(1, 1, CV_8UC1, cv::Scalar(0));
        std::vector<unsigned char> png;
        cv::imencode(".png", small, png);
        png[16] = 0, png[17] = 1, png[18] = 0x86, png[19] = 0xA0;  // width
        png[20] = 0, png[21] = 1, png[22] = 0x86, png[23] = 0xA0;  // height
        // The header's checksum, so that only the size is wrong.
        const uLong crc = ::crc32(0, png.data() + 12, 17);
        for (int k = 0; k < 4; ++k) png[29 + k] = static_cast<unsigned char>(crc >> (24 - 8 * k));
        writeFile(bomb, std::string(png.begin(), png.end()));
    }
    // Formats whose decoders hold some 16 bytes a pixel, small files of
    // pictures too large for that: refused from their headers. (A 7000 x 7000
    // JPEG 2000 of 456 bytes took 937 MB.)
    const std::string jp2 = dir.file("large.jp2"), hdr = dir.file("large.hdr");
    ASSERT_TRUE(cv::imwrite(jp2, cv::Mat(4000, 4000, CV_8UC3, cv::Scalar(40, 90, 200))));
    ASSERT_TRUE(cv::imwrite(hdr, cv::Mat(4000, 4000, CV_32FC3, cv::Scalar(0.2f, 0.4f, 0.8f))));
    // A progressive JPEG's decoder holds every coefficient, however it scales.
    const std::string progressive = dir.file("progressive.jpg");
    ASSERT_TRUE(cv::imwrite(progressive, cv::Mat(6000, 6000, CV_8UC3, cv::Scalar(40, 90, 200)),
                            {cv::IMWRITE_JPEG_PROGRESSIVE, 1}));
    struct Row {
        const char* tool;
        std::string path;
        ToolError error;
    };
    const std::string home(kHome), page = photo("page.png"), nul("\0.txt", 5);
    const std::vector<Row> rows = {
        {"vision_recognize_text", "~/missing.png", {"VisionService", 404, "Image file not found at path: " + home + "/missing.png"}},
        {"vision_detect_barcodes", "", {"VisionService", 404, "Image file not found at path: "}},
        {"vision_analyze_saliency", text + "/x", {"VisionService", 404, "Image file not found at path: " + text + "/x"}},
        {"vision_recognize_animals", text, {"VisionService", 400, "Failed to load image from path: " + text}},
        {"vision_detect_body_pose", dir.file(""), {"VisionService", 400, "Failed to load image from path: " + dir.file("")}},
        {"vision_detect_hand_pose", fifo, {"VisionService", 400, "Failed to load image from path: " + fifo}},
        {"vision_detect_barcodes", "/dev/stdin", {"VisionService", 400, "Failed to load image from path: /dev/stdin"}},
        {"vision_analyze_saliency", bomb, {"VisionService", 400, "Failed to load image from path: " + bomb}},
        {"vision_recognize_text", dicom, {"VisionService", 400, "Failed to load image from path: " + dicom}},
        {"vision_recognize_animals", jp2, {"VisionService", 400, "Failed to load image from path: " + jp2}},
        {"vision_analyze_saliency", hdr, {"VisionService", 400, "Failed to load image from path: " + hdr}},
        {"vision_detect_barcodes", progressive, {"VisionService", 400, "Failed to load image from path: " + progressive}},
        // A NUL names no file, although the system would read the name up to it.
        {"vision_recognize_animals", page + nul, {"VisionService", 404, "Image file not found at path: " + page + nul}},
        {"vision_detect_barcodes", page + nul, {"VisionService", 404, "Image file not found at path: " + page + nul}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.tool + (" " + row.path));
        auto call = std::async(std::launch::async, [&] {
            return tools::testing::thrownToolError([&] { callTool(row.tool, {{"image_path", row.path}}); });
        });
        if (call.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
            ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // let a blocked reader go
            FAIL() << "the call waited on its input";
        }
        EXPECT_EQ(call.get(), std::optional<ToolError>(row.error));
    }
}

// Pictures larger than the analyses use are read reduced, to at most 4096 x
// 4096 pixels in their own proportions: a JPEG by its decoder, at a half.
TEST(VisionTools, LargePicturesAreReadReduced) {
    TempDir dir;
    struct Row {
        const char* name;
        cv::Size size, read;
    };
    for (const Row& row : std::vector<Row>{{"large.jpg", {7000, 5000}, {3500, 2500}},
                                           {"large.png", {6000, 4000}, {5016, 3344}},
                                           {"large.tiff", {6000, 4000}, {5016, 3344}},
                                           {"fits.png", {4096, 4096}, {4096, 4096}}}) {
        SCOPED_TRACE(row.name);
        cv::Mat picture(row.size, CV_8UC3, cv::Scalar(200, 120, 40));
        const std::string path = dir.file(row.name);
        ASSERT_TRUE(cv::imwrite(path, picture));
        const ImageRef image = loadVisionEngine().loadImage(path, {});
        EXPECT_NEAR(image->width(), row.read.width, 1);
        EXPECT_NEAR(image->height(), row.read.height, 1);
        EXPECT_LE(std::int64_t{image->width()} * image->height(), std::int64_t{4096} * 4096);
    }
}

// Non-text entries are ignored; a language without installed data is
// refused, and Tesseract says nothing about it, then or at exit (after a
// first call that loaded no language and one that did): the test runs again
// in a process of its own whose standard error it reads.
TEST(VisionTools, LanguagesTheRecognizerCannotRead) {
    const bool again = std::getenv("BRISOLET_VISION_STDERR_TO_STDOUT");
    if (again) ::dup2(1, 2);
    const std::string page = photo("bw_text.png");
    for (const auto& [languages, code] : std::vector<std::pair<AnyList, const char*>>{{{7, "fr"}, "fr"}, {{"xx"}, "xx"}, {{"en-US", "de"}, "de"}})
        expectToolError([&, &languages = languages] { callTool("vision_recognize_text", {{"image_path", page}, {"languages", languages}}); },
                        ToolError("VisionService", 400, std::string("Unsupported language: ") + code));
    EXPECT_FALSE(callToolJson("vision_recognize_text", {{"image_path", page}}).find("text_blocks")->asArray().empty());
    if (again) return;
    testsupport::ChildProcess child({"/proc/self/exe", "--gtest_filter=VisionTools.LanguagesTheRecognizerCannotRead"},
                                    testsupport::environmentWith({{"BRISOLET_VISION_STDERR_TO_STDOUT", "1"}}));
    child.closeInput();
    std::string output;
    while (auto line = child.readLine(std::chrono::seconds(120))) output += *line + "\n";
    EXPECT_EQ(child.wait(), 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
    EXPECT_EQ(output.find("LEAK"), std::string::npos) << output;
    EXPECT_EQ(output.find("traineddata"), std::string::npos) << output;
}

TEST(VisionTools, StopRequestedEndsTheCall) {
    std::stop_source source;
    source.request_stop();
    EXPECT_THROW(callTool("vision_recognize_text", {{"image_path", photo("page.png")}}, source.get_token()),
                 rt::Cancelled);
}

// A stop ends the call while its libraries still work (Tesseract's page
// layout of a large photo cannot be interrupted): it returns long before the
// call would have ended unstopped.
TEST(VisionTools, StopEndsTheCallWhileItsLibrariesWork) {
    TempDir dir;
    cv::Mat picture;
    cv::resize(cv::imread(photo("starry_night.jpg")), picture, cv::Size(4000, 4000), 0, 0, cv::INTER_CUBIC);
    cv::Mat grain(picture.size(), CV_8UC3);
    cv::RNG(5).fill(grain, cv::RNG::UNIFORM, cv::Scalar::all(0), cv::Scalar::all(24));
    picture += grain;
    const std::string path = dir.file("large.jpg");
    ASSERT_TRUE(cv::imwrite(path, picture));
    using Clock = std::chrono::steady_clock;
    // Whether the call was stopped, and how long it ran after the stop (or at all).
    const auto run = [&](std::optional<std::chrono::milliseconds> stopAfter) {
        std::stop_source source;
        Clock::time_point from = Clock::now();
        auto call = std::async(std::launch::async, [&] {
            try {
                callTool("vision_recognize_text", {{"image_path", path}}, source.get_token());
                return false;
            } catch (const rt::Cancelled&) {
                return true;
            }
        });
        if (stopAfter && call.wait_for(*stopAfter) == std::future_status::timeout) {
            from = Clock::now();
            source.request_stop();
        }
        EXPECT_EQ(call.wait_for(std::chrono::seconds(120)), std::future_status::ready);
        const bool stopped = call.get();
        return std::pair{stopped, Clock::now() - from};
    };
    // The languages loaded first, so that each run does the same work.
    callTool("vision_recognize_text", {{"image_path", photo("text.png")}});
    const auto [finished, whole] = run(std::nullopt);
    EXPECT_FALSE(finished);
    // Stopped while decoding, and while reading.
    for (const double at : {0.05, 0.4}) {
        SCOPED_TRACE(at);
        const auto [stopped, afterStop] = run(std::chrono::duration_cast<std::chrono::milliseconds>(whole * at));
        EXPECT_TRUE(stopped);
        EXPECT_LT(afterStop, whole / 4) << std::chrono::duration<double>(whole).count() << " s unstopped";
    }
}

}  // namespace
}  // namespace app::vision
