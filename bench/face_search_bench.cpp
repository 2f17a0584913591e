// Face search over a folder of 100 pictures (half of them showing the test
// photo's face at sizes from 60% to 100%, half other photos) and over a
// 60-second video at 30 frames a second (the face in its middle third),
// sampled every 30 frames as the tool does by default. Also every frame of a
// second of 4096 x 4096 MJPEG (target: the process under 512 MB; run it
// alone, the peak is the process's), and of an MP4 whose headers claim
// 2^32 - 1 seconds (target: as long as its 30 frames take).
#include "app/vision/vision_module.hpp"
#include "app/vision/vision_service.hpp"
#include "vision_main.hpp"

#include <benchmark/benchmark.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <sys/resource.h>

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

// One second at 30 frames a second of the face at the given size.
fs::path clipOf(const char* name, int fourcc, int side) {
    const fs::path path = scratch() / name;
    cv::Mat face;
    cv::resize(photo("astronaut.png"), face, cv::Size(side, side));
    cv::VideoWriter writer(path.string(), fourcc, 30, face.size());
    for (int i = 0; i < 30; ++i) writer.write(face);
    return path;
}

void reportPeak(benchmark::State& state) {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024;
}

void BM_VideoSearchLargeFrames(benchmark::State& state) {
    const fs::path clip = clipOf("large.avi", cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 4096);
    VisionService service(app::vision::loadVisionEngine(), {});
    const auto print = target(service);
    for (auto _ : state) benchmark::DoNotOptimize(service.searchFaceInVideo(print, clip.string(), 0.6, 1));
    reportPeak(state);
}

void BM_VideoSearchClaimedLength(benchmark::State& state) {
    const fs::path clip = clipOf("claims.mp4", cv::VideoWriter::fourcc('m', 'p', '4', 'v'), 128);
    {
        std::fstream file(clip, std::ios::in | std::ios::out | std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(file), {}};
        for (const char* header : {"mvhd", "mdhd"}) {  // version 0: time scale 1, duration 2^32 - 1
            file.seekp(static_cast<std::streamoff>(bytes.find(header) + 16)).write("\0\0\0\x01\xFF\xFF\xFF\xFF", 8);
        }
    }
    VisionService service(app::vision::loadVisionEngine(), {});
    const auto print = target(service);
    for (auto _ : state) benchmark::DoNotOptimize(service.searchFaceInVideo(print, clip.string(), 0.6, 1));
    reportPeak(state);
}

BENCHMARK(BM_FolderSearch100)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(BM_VideoSearch60s)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(BM_VideoSearchLargeFrames)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(BM_VideoSearchClaimedLength)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) { return visionBenchmarkMain(argc, argv); }
