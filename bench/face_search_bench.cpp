// Face search over a folder of 100 pictures (half of them showing the test
// photo's face at sizes from 60% to 100%, half other photos) and over a
// 60-second video at 30 frames a second (the face in its middle third),
// sampled every 30 frames as the tool does by default.
#include "app/vision/vision_module.hpp"
#include "app/vision/vision_service.hpp"

#include <benchmark/benchmark.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <cstdio>
#include <filesystem>
#include <string>

namespace {

using app::vision::VisionService;
namespace fs = std::filesystem;

cv::Mat photo(const char* name) {
    cv::Mat image = cv::imread(std::string(BRISOLET_TEST_PHOTOS) + "/" + name);
    if (image.empty()) {
        std::fprintf(stderr, "test photo %s missing under %s (scripts/setup unpacks it)\n", name, BRISOLET_TEST_PHOTOS);
        std::exit(1);
    }
    cv::resize(image, image, cv::Size(512, 512));
    return image;
}

const fs::path& scratch() {
    static const fs::path dir = [] {
        fs::path path = fs::temp_directory_path() / "brisolet-face-search-bench";
        fs::remove_all(path);
        fs::create_directories(path / "folder");
        const cv::Mat face = photo("astronaut.png");
        const cv::Mat others[] = {photo("coffee.png"), photo("chelsea.png"), photo("rocket.jpg"), photo("camera.png")};
        for (int i = 0; i < 100; ++i) {
            cv::Mat image = others[i % 4];
            if (i % 2 == 0) cv::resize(face, image, cv::Size(), 0.6 + 0.008 * i, 0.6 + 0.008 * i, cv::INTER_AREA);
            cv::imwrite((path / "folder" / ("picture-" + std::to_string(i) + ".jpg")).string(), image);
        }
        cv::VideoWriter writer((path / "clip.avi").string(), cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 30,
                               cv::Size(512, 512));
        const cv::Mat blank(512, 512, CV_8UC3, cv::Scalar::all(90));
        for (int i = 0; i < 60 * 30; ++i) writer.write(i >= 600 && i < 1200 ? face : blank);
        return path;
    }();
    return dir;
}

app::vision::FacePrint target(VisionService& service) {
    cv::imwrite((scratch() / "target.png").string(), photo("astronaut.png"));
    auto print = service.extractTargetFaceFeature(*service.loadCGImage((scratch() / "target.png").string()));
    if (!print) std::exit(1);
    return *print;
}

void BM_FolderSearch100(benchmark::State& state) {
    VisionService service(app::vision::loadVisionEngine(), {});
    const auto print = target(service);
    for (auto _ : state) benchmark::DoNotOptimize(service.searchFaceInFolder(print, (scratch() / "folder").string(), 0.6));
}

void BM_VideoSearch60s(benchmark::State& state) {
    VisionService service(app::vision::loadVisionEngine(), {});
    const auto print = target(service);
    for (auto _ : state) {
        benchmark::DoNotOptimize(service.searchFaceInVideo(print, (scratch() / "clip.avi").string(), 0.6, 30));
    }
}

BENCHMARK(BM_FolderSearch100)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(BM_VideoSearch60s)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace
