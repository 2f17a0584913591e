// What the vision tests share: calling a tool on the real module, and files
// to call it on.
#pragma once

#include "app/platform/scratch_dir.hpp"
#include "app/tools/tool_test_support.hpp"
#include "app/vision/vision_module.hpp"
#include "app/vision/vision_service.hpp"
#include "app/vision/vision_tools.hpp"
#include "json/json.hpp"
#include "support/child_process.hpp"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <string>

namespace app::vision::testing {

inline constexpr const char* kHome = "/home/visiontester";

inline std::string callTool(const std::string& name, const tools::Arguments& arguments, std::stop_token stop = {}) {
    return handleVisionTool(name, arguments, kHome, loadVisionEngine, std::move(stop));
}

inline json::Value callToolJson(const std::string& name, const tools::Arguments& arguments) {
    return json::parse(callTool(name, arguments));
}

// A photo unpacked by scripts/setup; a clear failure when it is missing.
inline std::string photo(const std::string& name) {
    std::string path = std::string(BRISOLET_TEST_PHOTOS) + "/" + name;
    if (!std::filesystem::is_regular_file(path)) ADD_FAILURE() << "test photo missing: " << path << " (scripts/setup unpacks it)";
    return path;
}

using TempDir = testsupport::ScratchDir;
using testsupport::writeFile;

// Runs a program (ffmpeg, heif-enc) to its end; it must succeed.
inline void runProgram(std::vector<std::string> argv) {
    SCOPED_TRACE(argv[0]);
    ASSERT_TRUE(testsupport::onPath(argv[0])) << argv[0] << " is not installed (scripts/setup installs it)";
    testsupport::ChildProcess child(std::move(argv), testsupport::environmentWith({}), true);
    child.closeInput();
    EXPECT_EQ(child.wait(std::chrono::seconds(120)), 0);
}

inline double member(const json::Value& v, const char* key) { return v.find(key)->asNumber(); }

// The centre of a result's "bounding_box", in pixels with the top-left origin.
inline cv::Point2d boxCentre(const json::Value& entry, cv::Size image) {
    const json::Value& box = *entry.find("bounding_box");
    return {(member(box, "x") + member(box, "width") / 2) * image.width,
            (1 - member(box, "y") - member(box, "height") / 2) * image.height};
}

}  // namespace app::vision::testing
