// The tool list, the handler's own errors, paths, and loading the module.
#include "vision_test_support.hpp"

#include "app/vision/vision_paths.hpp"
#include "runtime/runtime.hpp"

#include <future>

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

TEST(VisionTools, NineToolsInOrderWithTheirRequiredArguments) {
    struct Row {
        const char* name;
        AnyList required;
    };
    const std::vector<Row> rows = {
        {"vision_recognize_text", {"image_path"}},
        {"vision_detect_barcodes", {"image_path"}},
        {"vision_recognize_animals", {"image_path"}},
        {"vision_detect_body_pose", {"image_path"}},
        {"vision_detect_hand_pose", {"image_path"}},
        {"vision_analyze_saliency", {"image_path"}},
        {"vision_compare_images", {"image_path_1", "image_path_2"}},
        {"vision_search_face", {"target_image_path", "search_path", "search_type"}},
        {"vision_analyze_video", {"video_path"}},
    };
    auto tools = visionTools();
    ASSERT_EQ(tools.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].name);
        EXPECT_EQ(tools[i].name, rows[i].name);
        EXPECT_EQ(tools[i].serverName, "Local");
        EXPECT_FALSE(tools[i].description.empty());
        EXPECT_FALSE(tools[i].displayDescription.empty());
        EXPECT_EQ(*tools[i].inputSchema.at("required").ifList(), rows[i].required);
        for (const auto& key : rows[i].required) {
            EXPECT_TRUE(tools[i].inputSchema.at("properties").ifMap()->contains(*key.ifText()));
        }
    }
    EXPECT_NE(visionTools()[0].serverId, tools[0].serverId);
}

// Checked in the program: the module is not even loaded for these.
TEST(VisionTools, UnknownToolsAndMissingArguments) {
    struct Row {
        const char* name;
        Arguments arguments;
        ToolError error;
    };
    const std::vector<Row> rows = {
        {"vision_unknown", {}, {"VisionTool", 404, "Unknown vision tool: vision_unknown"}},
        {"Vision_Recognize_Text", {{"image_path", "/a.png"}},
         {"VisionTool", 404, "Unknown vision tool: Vision_Recognize_Text"}},
        {"vision_recognize_text", {}, {"VisionTool", 400, "Missing required parameter: image_path"}},
        {"vision_detect_barcodes", {{"image_path", 5}}, {"VisionTool", 400, "Missing required parameter: image_path"}},
        {"vision_compare_images", {{"image_path_1", "/a.png"}},
         {"VisionTool", 400, "Missing required parameter: image_path_2"}},
        {"vision_search_face", {{"target_image_path", "/a.png"}, {"search_path", "/b"}},
         {"VisionTool", 400, "Missing required parameter: search_type"}},
        {"vision_analyze_video", {{"video_path", AnyList{"/v.mp4"}}},
         {"VisionTool", 400, "Missing required parameter: video_path"}},
    };
    EngineSource noEngine = []() -> VisionEngine& { throw std::logic_error("the module was loaded"); };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        expectToolError([&] { handleVisionTool(row.name, row.arguments, kHome, noEngine, {}); }, row.error);
    }
}

TEST(VisionTools, ModuleThatCannotLoadIsAnErrorNamingTheCause) {
    TempDir dir;
    const std::string garbage = dir.file("brisolet-vision.so");
    { std::FILE* f = std::fopen(garbage.c_str(), "w"); for (int i = 0; i < 64; ++i) std::fputs("not a library\n", f); std::fclose(f); }
    struct Row {
        std::vector<std::string> candidates;
        std::string cause;
    };
    const std::vector<Row> rows = {
        {{"/nonexistent/brisolet-vision.so"}, "brisolet-vision.so not found (looked in: /nonexistent/brisolet-vision.so)"},
        {{garbage}, garbage + ": invalid ELF header"},
        {{"/nonexistent/x.so", "/lib/x86_64-linux-gnu/libm.so.6"}, "/lib/x86_64-linux-gnu/libm.so.6 is not a vision module"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.cause);
        auto error = tools::testing::thrownToolError([&] { loadVisionEngineFrom(row.candidates); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), "VisionService");
        EXPECT_EQ(error->code(), 500);
        EXPECT_NE(error->message().find(row.cause), std::string::npos) << error->message();
    }
}

TEST(VisionTools, TildeExpansion) {
    struct Row {
        const char* path;
        const char* home;
        const char* expanded;
    };
    for (const Row& row : std::vector<Row>{{"~", "/home/u", "/home/u"},
                                           {"~/a/b.png", "/home/u", "/home/u/a/b.png"},
                                           {"~/a.png", "/home/u/", "/home/u/a.png"},
                                           {"~/a.png", "/", "/a.png"},
                                           {"~root/a.png", "/home/u", "/root/a.png"},
                                           {"~no_such_user_zz/a.png", "/home/u", "~no_such_user_zz/a.png"},
                                           {"/x/~/a.png", "/home/u", "/x/~/a.png"},
                                           {"", "/home/u", ""}}) {
        SCOPED_TRACE(row.path);
        EXPECT_EQ(expandTilde(row.path, row.home), row.expanded);
    }
}

// Every image-taking tool refuses what is no readable image, at once.
TEST(VisionTools, ImageLoadingErrors) {
    TempDir dir;
    const std::string text = dir.file("notes.png"), fifo = dir.file("pipe.png"), bomb = dir.file("bomb.png");
    { std::FILE* f = std::fopen(text.c_str(), "w"); std::fputs("not an image", f); std::fclose(f); }
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    {
        // A valid PNG header claiming 100000 x 100000 pixels.
        cv::Mat small(1, 1, CV_8UC1, cv::Scalar(0));
        std::vector<unsigned char> png;
        cv::imencode(".png", small, png);
        png[16] = 0, png[17] = 1, png[18] = 0x86, png[19] = 0xA0;  // width
        png[20] = 0, png[21] = 1, png[22] = 0x86, png[23] = 0xA0;  // height
        // The header's checksum, so that only the size is wrong.
        unsigned long crc = 0xFFFFFFFFul;
        for (int i = 12; i < 29; ++i) {
            crc ^= png[i];
            for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320ul & (0ul - (crc & 1)));
        }
        crc ^= 0xFFFFFFFFul;
        for (int k = 0; k < 4; ++k) png[29 + k] = static_cast<unsigned char>(crc >> (24 - 8 * k));
        std::FILE* f = std::fopen(bomb.c_str(), "wb");
        std::fwrite(png.data(), 1, png.size(), f);
        std::fclose(f);
    }
    struct Row {
        const char* tool;
        std::string path;
        ToolError error;
    };
    const std::string home(kHome);
    const std::vector<Row> rows = {
        {"vision_recognize_text", "~/missing.png", {"VisionService", 404, "Image file not found at path: " + home + "/missing.png"}},
        {"vision_detect_barcodes", "", {"VisionService", 404, "Image file not found at path: "}},
        {"vision_analyze_saliency", text + "/x", {"VisionService", 404, "Image file not found at path: " + text + "/x"}},
        {"vision_recognize_animals", text, {"VisionService", 400, "Failed to load image from path: " + text}},
        {"vision_detect_body_pose", dir.file(""), {"VisionService", 400, "Failed to load image from path: " + dir.file("")}},
        {"vision_detect_hand_pose", fifo, {"VisionService", 400, "Failed to load image from path: " + fifo}},
        {"vision_detect_barcodes", "/dev/stdin", {"VisionService", 400, "Failed to load image from path: /dev/stdin"}},
        {"vision_analyze_saliency", bomb, {"VisionService", 400, "Failed to load image from path: " + bomb}},
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

TEST(VisionTools, LanguagesTheRecognizerCannotRead) {
    const std::string page = photo("page.png");
    struct Row {
        AnyList languages;
        const char* error;
    };
    for (const Row& row : std::vector<Row>{{{"xx"}, "Unsupported language: xx"},
                                           {{"en-US", 7, "fr"}, "Unsupported language: fr"},
                                           {{"zh-Hant"}, "Unsupported language: zh-Hant"}}) {
        SCOPED_TRACE(row.error);
        expectToolError([&] { callTool("vision_recognize_text", {{"image_path", page}, {"languages", row.languages}}); },
                        ToolError("VisionService", 400, row.error));
    }
}

TEST(VisionTools, StopRequestedEndsTheCall) {
    std::stop_source source;
    source.request_stop();
    EXPECT_THROW(callTool("vision_recognize_text", {{"image_path", photo("page.png")}}, source.get_token()),
                 rt::Cancelled);
}

}  // namespace
}  // namespace app::vision
