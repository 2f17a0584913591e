// Opens each video named with the module's reader and converts every frame,
// whole and reduced to a few pixels: a program small enough to run under
// valgrind, which sees what FFmpeg's uninstrumented code writes, and through
// the sum printed, any pixel it left unwritten. Prints "<path> <frames>
// <width>x<height> <sum>" for each video (the last frame's size, the sum of
// every byte of every picture), "<path> none" for one that does not open;
// exits 1 if a frame gave no picture.
#include "app/vision/module/module_image.hpp"
#include "app/vision/module/video_file.hpp"

#include <cstdio>

int main(int argc, char** argv) {
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        const auto video = app::vision::module::openVideoFile(argv[i]);
        int frames = 0, width = 0, height = 0;
        unsigned long long sum = 0;
        for (; video && frames < 100 && video->nextFrame({}); ++frames) {
            for (const int side : {4096, 5}) {
                const app::vision::ImageRef picture = video->picture(side);
                if (!picture) {
                    status = 1;
                    continue;
                }
                const cv::Mat& pixels = app::vision::module::pixels(*picture);
                sum += static_cast<unsigned long long>(cv::sum(pixels.reshape(1))[0]);
                if (side == 4096) {
                    width = pixels.cols;
                    height = pixels.rows;
                }
            }
        }
        if (video)
            std::printf("%s %d %dx%d %llu\n", argv[i], frames, width, height, sum);
        else
            std::printf("%s none\n", argv[i]);
    }
    return status;
}
