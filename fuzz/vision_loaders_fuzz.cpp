// The vision module's own checks on the files it is given (HEIC pictures
// and turned videos among the seeds): any bytes either load as a picture of
// at least one pixel or fail with the family's error ("Failed to load image
// from path: ..."), and open as a video whose time base is sound and whose
// frames, read in order, are a picture within the size asked for or nothing;
// no library exception escapes. The bytes sit in a memory file
// reached by an absolute path, as a user's file would be.
#include "app/tools/registry/tool_error.hpp"
#include "app/vision/vision_engine.hpp"
#include "app/vision/vision_module.hpp"
#include "fuzz_check.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

using app::tools::ToolError;

void checkRefusal(const ToolError& error, const std::string& expected) {
    FUZZ_CHECK(error.domain() == "VisionService");
    FUZZ_CHECK(error.code() == 400);
    FUZZ_CHECK(error.message() == expected);
}

void checkFrame(const app::vision::ImageRef& frame) {
    FUZZ_CHECK(!frame || (frame->width() > 0 && frame->height() > 0));
}

}  // namespace

// The decoders read their pixel limit as their library loads: start again
// with the program's limit in place.
extern "C" int LLVMFuzzerInitialize(int*, char*** argv) {
    if (!std::getenv("OPENCV_IO_MAX_IMAGE_PIXELS")) {
        ::setenv("OPENCV_IO_MAX_IMAGE_PIXELS", app::vision::kMaxImagePixels, 1);
        ::execv("/proc/self/exe", *argv);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const int fd = ::memfd_create("fuzz-input", MFD_CLOEXEC);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    FUZZ_CHECK(fd >= 0 && ::ftruncate(fd, 0) == 0 && ::pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
    app::vision::VisionEngine& engine = *brisolet_vision_engine();

    try {
        const app::vision::ImageRef image = engine.loadImage(path, {});
        FUZZ_CHECK(image && image->width() > 0 && image->height() > 0);
    } catch (const ToolError& error) {
        checkRefusal(error, "Failed to load image from path: " + path);
    }

    std::shared_ptr<app::vision::VisionVideo> video;
    try {
        video = engine.openVideo(path);
    } catch (const ToolError& error) {
        checkRefusal(error, "Failed to load video from path: " + path);
        return 0;
    }
    const auto [num, den] = video->timeBase();
    FUZZ_CHECK(num > 0 && den > 0 && num < (std::int64_t{1} << 31) && den < (std::int64_t{1} << 31));
    // Read on to the end (bounded: a small file holds few frames), looking at
    // every other frame, each reduced to the side asked for.
    for (int n = 0; n < 256; ++n) {
        if (!video->nextFrame({})) break;
        if (n % 2) continue;
        const app::vision::ImageRef frame = video->picture(64);
        checkFrame(frame);
        FUZZ_CHECK(!frame || (frame->width() <= 64 && frame->height() <= 64));
    }
    return 0;
}
