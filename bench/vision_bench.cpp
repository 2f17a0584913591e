// The vision analyses on a 1-megapixel photo (the test photo of a face,
// enlarged to 1000 x 1000 with a line of text drawn on it), and the video
// analysis per feature per frame on a 640 x 480 clip of the same. The first
// call's loading of the module is measured on the program itself (this
// process maps OpenCV already): see bench/README.md.
#include "app/vision/vision_module.hpp"
#include "app/vision/vision_service.hpp"
#include "vision_main.hpp"

#include <benchmark/benchmark.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <cstdio>
#include <filesystem>
#include <string>

namespace {

using app::vision::ImageRef;
using app::vision::VideoFeature;
using app::vision::VisionService;

constexpr int kClipFrames = 10;

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

// Ten frames at 640 x 480: the face in the middle, a caption below.
std::string clipPath() {
    static const std::string path = [] {
        cv::Mat photo = cv::imread(photoPath());
        cv::Mat frame(480, 640, CV_8UC3, cv::Scalar::all(90));
        cv::resize(photo(cv::Rect(0, 0, 1000, 880)), frame(cv::Rect(170, 20, 300, 264)), cv::Size(300, 264));
        cv::putText(frame, "Brisolet vision benchmark", {40, 400}, cv::FONT_HERSHEY_SIMPLEX, 1.2, cv::Scalar::all(255), 3);
        std::string out = (std::filesystem::temp_directory_path() / "brisolet-vision-bench.avi").string();
        cv::VideoWriter writer(out, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 10, frame.size());
        for (int i = 0; i < kClipFrames; ++i) writer.write(frame);
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

// The people, animal and hand analyses keep the detector's finds with the
// image (a video frame's analyses share them): each round gets a freshly
// loaded image, loaded outside the timing. The first call, which also reads
// the models, is left out.
template <class F>
void runOnFreshImage(benchmark::State& state, F analysis, const std::string& path = photoPath()) {
    VisionService service(app::vision::loadVisionEngine(), {});
    analysis(service, *service.loadCGImage(path));
    for (auto _ : state) {
        state.PauseTiming();
        ImageRef image = service.loadCGImage(path);
        state.ResumeTiming();
        benchmark::DoNotOptimize(analysis(service, *image));
    }
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
    runOnFreshImage(state, [](VisionService& s, const auto& image) { return s.recognizeAnimals(image); });
}
void BM_BodyPose(benchmark::State& state) {
    runOnFreshImage(state, [](VisionService& s, const auto& image) { return s.detectBodyPose(image); });
}
// A picture without people (600 x 400): the detector also runs on the
// picture turned a quarter each way.
void BM_BodyPoseNobody(benchmark::State& state) {
    runOnFreshImage(
        state, [](VisionService& s, const auto& image) { return s.detectBodyPose(image); },
        std::string(BRISOLET_TEST_PHOTOS) + "/coffee.png");
}
void BM_HandPose(benchmark::State& state) {
    runOnFreshImage(state, [](VisionService& s, const auto& image) { return s.detectHandPose(image); });
}
void BM_Saliency(benchmark::State& state) {
    runAnalysis(state, [&](VisionService& s, const auto&) {
        return s.analyzeSaliency(photoPath(), state.range(0) ? "objectness" : "attention");
    });
}

// vision_analyze_video with sample_interval 1: "ms_per_frame" (wall clock:
// the analyses of a frame run side by side) is the figure.
void BM_VideoFrame(benchmark::State& state) {
    static const std::vector<std::vector<VideoFeature>> features = {
        {}, {VideoFeature::Text}, {VideoFeature::Faces}, {VideoFeature::Animals}, {VideoFeature::BodyPose},
        {VideoFeature::HandPose},
        {VideoFeature::Text, VideoFeature::Faces, VideoFeature::Animals, VideoFeature::BodyPose, VideoFeature::HandPose}};
    static const char* names[] = {"none", "text", "faces", "animals", "body_pose", "hand_pose", "all"};
    state.SetLabel(names[state.range(0)]);
    VisionService service(app::vision::loadVisionEngine(), {});
    // The first call also reads the models (Tesseract's, dlib's, the detector's
    // and the joint models'): not counted.
    service.analyzeVideo(clipPath(), kClipFrames, features[state.range(0)]);
    for (auto _ : state) benchmark::DoNotOptimize(service.analyzeVideo(clipPath(), 1, features[state.range(0)]));
    state.counters["ms_per_frame"] =
        benchmark::Counter(kClipFrames * 1e-3, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_VideoFrame)->DenseRange(0, 6)->ArgName("feature")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadImage)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Text)->Arg(0)->Arg(1)->ArgName("fast")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Faces)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Barcodes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Animals)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BodyPose)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BodyPoseNobody)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_HandPose)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Saliency)->Arg(0)->Arg(1)->ArgName("objectness")->Unit(benchmark::kMillisecond);

// bench_vision --large-pictures DIR writes the pictures of the memory runs in
// bench/README.md: 7000 x 7000 pixels each, a JPEG 2000 and a Radiance
// picture of one colour (files of a few kilobytes), and a grainy photo with a
// caption as PNG and JPEG.
int writeLargePictures(const std::string& dir) {
    constexpr int kSide = 7000;
    const auto write = [&](const char* name, const cv::Mat& picture) {
        const std::string path = dir + "/" + name;
        if (!cv::imwrite(path, picture)) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            std::exit(1);
        }
        std::printf("%s\n", path.c_str());
    };
    write("large.jp2", cv::Mat(kSide, kSide, CV_8UC3, cv::Scalar(40, 90, 200)));
    write("large.hdr", cv::Mat(kSide, kSide, CV_32FC3, cv::Scalar(0.2f, 0.4f, 0.8f)));
    cv::Mat photo = cv::imread(std::string(BRISOLET_TEST_PHOTOS) + "/starry_night.jpg");
    if (photo.empty()) {
        std::fprintf(stderr, "test photo missing under %s (scripts/setup unpacks it)\n", BRISOLET_TEST_PHOTOS);
        return 1;
    }
    cv::resize(photo, photo, cv::Size(kSide, kSide), 0, 0, cv::INTER_CUBIC);
    cv::Mat grain(photo.size(), CV_8UC3);
    cv::RNG(5).fill(grain, cv::RNG::UNIFORM, cv::Scalar::all(0), cv::Scalar::all(24));
    photo += grain;
    cv::rectangle(photo, cv::Rect(0, kSide - 700, kSide, 500), cv::Scalar::all(255), cv::FILLED);
    cv::putText(photo, "Brisolet vision benchmark", {300, kSide - 330}, cv::FONT_HERSHEY_SIMPLEX, 10, cv::Scalar::all(0), 24);
    write("photo.png", photo);
    write("photo.jpg", photo);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--large-pictures") return writeLargePictures(argv[2]);
    return visionBenchmarkMain(argc, argv);
}
