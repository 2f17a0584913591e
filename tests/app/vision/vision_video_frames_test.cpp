// Every frame of videos 1 to 33 pixels wide, in the codecs and pixel formats
// people's videos come in, converted under valgrind: FFmpeg is built without
// the sanitizers, and its vectorised code writes whole words past what it
// is given. Any invalid read or write, or a pixel left unwritten, fails.
#include "vision_test_support.hpp"

#include <map>
#include <memory>
#include <sstream>

namespace app::vision {
namespace {

using namespace testing;

struct Codec {
    const char* codec;
    const char* pixelFormat;
    const char* container;
};

constexpr Codec kCodecs[] = {
    {"mjpeg", "yuvj420p", "avi"},  {"mjpeg", "yuvj422p", "mp4"},    {"mjpeg", "yuvj444p", "mkv"},
    {"png", "rgba", "mov"},        {"qtrle", "argb", "mov"},        {"rawvideo", "gray", "mkv"},
    {"rawvideo", "bgr24", "avi"},  {"ffv1", "yuva420p", "mkv"},     {"ffv1", "gray16le", "mkv"},
};

TEST(VisionVideo, NarrowFramesConvertInsideTheirBuffers) {
    for (const char* program : {"ffmpeg", "valgrind"})
        ASSERT_TRUE(testsupport::onPath(program)) << program << " is not installed (scripts/setup installs it)";
    TempDir dir;
    // One ffmpeg per codec, all at once, each writing every size: an odd and
    // an even height for each width, two frames each.
    std::map<std::string, std::string> expected;  // file: its size
    std::vector<std::unique_ptr<testsupport::ChildProcess>> encoders;
    for (const Codec& c : kCodecs) {
        std::vector<std::string> argv = {"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=64x64:rate=10"};
        for (int width = 1; width <= 33; ++width) {
            for (const int height : {1 + 2 * (width % 4), 2 + 2 * (width % 5)}) {
                const std::string size = std::to_string(width) + "x" + std::to_string(height);
                const std::string file = dir.file(std::string(c.codec) + "-" + c.pixelFormat + "-" + size + "." + c.container);
                argv.insert(argv.end(), {"-vf", "scale=" + size, "-frames:v", "2", "-c:v", c.codec, "-pix_fmt", c.pixelFormat, file});
                expected[file] = size;
            }
        }
        encoders.push_back(std::make_unique<testsupport::ChildProcess>(argv, testsupport::environmentWith({}), true));
        encoders.back()->closeInput();
    }
    for (auto& encoder : encoders) ASSERT_EQ(encoder->wait(std::chrono::seconds(120)), 0);

    const std::string log = dir.file("valgrind.log");
    // Stopped at the first error: the writes that follow corrupt valgrind's own heap.
    std::vector<std::string> argv = {"valgrind", "-q", "--tool=memcheck", "--error-exitcode=99", "--exit-on-first-error=yes",
                                     "--leak-check=no", "--errors-for-leak-kinds=none", "--log-file=" + log,
                                     BRISOLET_VIDEO_FRAMES_PROGRAM};
    for (const auto& [file, size] : expected) argv.push_back(file);
    testsupport::ChildProcess driver(argv, testsupport::environmentWith({}));
    driver.closeInput();
    std::map<std::string, std::string> converted;
    while (std::optional<std::string> line = driver.readLine(std::chrono::seconds(120))) {
        std::istringstream fields(*line);
        std::string file, frames, size;
        fields >> file >> frames >> size;
        converted[file] = frames + " " + size;
    }
    ASSERT_EQ(driver.wait(std::chrono::seconds(60)), 0) << testsupport::readFile(log);
    for (const auto& [file, size] : expected) EXPECT_EQ(converted[file], "2 " + size) << file;
}

}  // namespace
}  // namespace app::vision
