// The vision analyses on a 1-megapixel photo (the test photo of a face,
// enlarged to 1000 x 1000 with a line of text drawn on it). The first
// call's loading of the module is measured on the program itself (this
// process maps OpenCV already): see bench/README.md.
#include "app/vision/vision_module.hpp"
#include "app/vision/vision_service.hpp"

#include <benchmark/benchmark.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <filesystem>
#include <string>

namespace {

using app::vision::ImageRef;
using app::vision::VisionService;

std::string photoPath() {
    static const std::string path = [] {
        cv::Mat photo = cv::imread(std::string(BRISOLET_TEST_PHOTOS) + "/astronaut.png");
        if (photo.empty()) {
            std::fprintf(stderr, "test photo missing under %s (scripts/setup unpacks it)\n", BRISOLET_TEST_PHOTOS);
            std::exit(1);
        }
        cv::resize(photo, photo, cv::Size(1000, 1000));
        cv::rectangle(photo, cv::Rect(0, 880, 1000, 120), cv::Scalar::all(255), cv::FILLED);
        cv::putText(photo, "Brisolet vision benchmark", {40, 960}, cv::FONT_HERSHEY_SIMPLEX, 1.8, cv::Scalar::all(0), 4);
        std::string out = (std::filesystem::temp_directory_path() / "brisolet-vision-bench.png").string();
        cv::imwrite(out, photo);
        return out;
    }();
    return path;
}

template <class F>
void runAnalysis(benchmark::State& state, F analysis) {
    VisionService service(app::vision::loadVisionEngine(), {});
    ImageRef image = service.loadCGImage(photoPath());
    for (auto _ : state) benchmark::DoNotOptimize(analysis(service, *image));
}

void BM_LoadImage(benchmark::State& state) {
    runAnalysis(state, [](VisionService& s, const app::vision::VisionImage&) { return s.loadCGImage(photoPath()); });
}
void BM_Text(benchmark::State& state) {
    runAnalysis(state, [&](VisionService& s, const auto& image) {
        return s.recognizeText(image, state.range(0) ? "fast" : "accurate", {});
    });
}
void BM_Faces(benchmark::State& state) {
    runAnalysis(state, [](VisionService& s, const auto& image) { return s.detectFaces(image); });
}
void BM_Barcodes(benchmark::State& state) {
    runAnalysis(state, [](VisionService& s, const auto&) { return s.detectBarcodes(photoPath(), {}); });
}
void BM_Animals(benchmark::State& state) {
    runAnalysis(state, [](VisionService& s, const auto& image) { return s.recognizeAnimals(image); });
}
void BM_BodyPose(benchmark::State& state) {
    runAnalysis(state, [](VisionService& s, const auto& image) { return s.detectBodyPose(image); });
}
void BM_Saliency(benchmark::State& state) {
    runAnalysis(state, [&](VisionService& s, const auto&) {
        return s.analyzeSaliency(photoPath(), state.range(0) ? "objectness" : "attention");
    });
}

BENCHMARK(BM_LoadImage)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Text)->Arg(0)->Arg(1)->ArgName("fast")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Faces)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Barcodes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Animals)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BodyPose)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Saliency)->Arg(0)->Arg(1)->ArgName("objectness")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
