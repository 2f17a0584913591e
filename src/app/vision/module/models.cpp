#include "app/vision/module/models.hpp"

#include "app/tools/registry/tool_error.hpp"
#include "app/vision/module/tfjs_graph.hpp"

#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <memory>
#include <mutex>
#include <optional>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app::vision::module {

namespace {

using tools::ToolError;

// The package's model files are a few megabytes; anything far larger is not one.
constexpr off_t kMaxModelFileBytes = off_t{64} << 20;

std::string folderOf(const std::string& path) { return path.substr(0, path.rfind('/') + 1); }

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

[[noreturn]] void modelFailure(const std::string& path, const std::string& why) {
    throw ToolError("VisionService", 500, "Vision model file missing or damaged: " + path + " (" + why + ")");
}

std::string readModelFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) modelFailure(path, errno == ENOENT ? "not found; run scripts/setup" : "cannot be opened");
    std::unique_ptr<int, void (*)(int*)> closer(new int(fd), [](int* f) {
        ::close(*f);
        delete f;
    });
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxModelFileBytes) {
        modelFailure(path, "not a model file");
    }
    std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) modelFailure(path, "cannot be read");
        done += static_cast<std::size_t>(n);
    }
    return bytes;
}

// The layer OpenCV gives a node's value under: a split fused operation
// without activation is merged with its bias into the first node.
std::string layerOf(const std::string& node, bool splitWithoutActivation) {
    return splitWithoutActivation ? node + "/split_op" : node;
}

struct Model {
    cv::dnn::Net net;
    std::vector<cv::String> outputs;
    TfjsGraph graph;
    std::mutex mutex;  // a network runs one input at a time
};

struct ModelSpec {
    const char* file;  // without .json / .bin
    GraphCut cut;
    std::vector<std::pair<std::string, bool>> layers;  // outputs read: node, split without activation
};

Model& loadedModel(const ModelSpec& info, std::unique_ptr<Model>& slot, std::mutex& guard) {
    std::lock_guard lock(guard);
    if (slot) return *slot;
    const std::string base = modelFolder() + info.file;
    const std::string jsonPath = base + ".json", weightsPath = base + ".bin";
    const std::string json = readModelFile(jsonPath);
    const std::string weights = readModelFile(weightsPath);
    auto model = std::make_unique<Model>();
    try {
        model->graph = TfjsGraph::parse(json, weights);
        const std::string graphDef = model->graph.graphDef(info.cut);
        model->net = cv::dnn::readNetFromTensorflow(graphDef.data(), graphDef.size());
    } catch (const ModelFormatError& e) {
        modelFailure(jsonPath + ", " + weightsPath, e.what());
    } catch (const cv::Exception& e) {
        modelFailure(jsonPath, std::string("not readable as a network: ") + e.what());
    }
    for (const auto& [node, split] : info.layers) model->outputs.push_back(layerOf(node, split));
    slot = std::move(model);
    return *slot;
}

const ModelSpec& detectorSpec() {
    static const ModelSpec info{"centernet",
                                {{"tower_0/Sigmoid", "tower_0/mul"}, {}, {}},
                                {{"tower_0/Sigmoid", false}, {"tower_0/mul", false}}};
    return info;
}

// The body model's own input chain (integer pixels cast, unpacked and
// normalised) is replaced by a float input; the normalisation runs here.
const char* const kBodyPrefix = "StatefulPartitionedCall/";
const ModelSpec& bodySpec() {
    static const std::string p = kBodyPrefix;
    static const ModelSpec info{
        "movenet-lightning",
        {{p + "Sigmoid", p + "Sigmoid_1", p + "kpt_regress_0/conv2d_6/BiasAdd", p + "kpt_offset_0/conv2d_7/BiasAdd"},
         p + "sub_1",
         {1, 192, 192, 3}},
        {{p + "Sigmoid", false},
         {p + "Sigmoid_1", false},
         {p + "kpt_regress_0/conv2d_6/BiasAdd", true},
         {p + "kpt_offset_0/conv2d_7/BiasAdd", true}}};
    return info;
}

const ModelSpec& handSpec() {
    static const ModelSpec info{"handlandmark-lite",
                                {{"Identity_dense/BiasAdd", "Identity_1"}, {}, {}},
                                {{"Identity_dense/BiasAdd", true}, {"Identity_1", false}}};
    return info;
}

// The face-description model: its 1,024 pooled features describe who a face
// is; the dense layers after them (age, gender) are cut off.
const ModelSpec& faceSpec() {
    static const ModelSpec info{"faceres", {{"global_pooling/Mean"}, {}, {}}, {{"global_pooling/Mean", false}}};
    return info;
}

Model& model(const ModelSpec& info) {
    static std::mutex guard;
    static std::map<const ModelSpec*, std::unique_ptr<Model>> models;
    std::unique_ptr<Model>* slot;
    {
        std::lock_guard lock(guard);
        slot = &models[&info];
    }
    static std::mutex loading;
    return loadedModel(info, *slot, loading);
}

std::vector<cv::Mat> run(Model& m, const cv::Mat& blob) {
    std::lock_guard lock(m.mutex);
    m.net.setInput(blob);
    std::vector<cv::Mat> outs;
    m.net.forward(outs, m.outputs);
    return outs;
}

double overlap(const cv::Rect2d& a, const cv::Rect2d& b) {
    const double both = (a & b).area();
    const double either = a.area() + b.area() - both;
    return either > 0 ? both / either : 0;
}

// The constant a model decodes with, checked for the size the code reads.
std::vector<float> graphConstant(const Model& m, const std::string& name, std::size_t size) {
    std::optional<std::vector<float>> values = m.graph.constant(name);
    if (!values || values->size() != size) {
        modelFailure(modelFolder() + bodySpec().file + ".json", "constant " + name + " is missing or of another size");
    }
    return *values;
}

}  // namespace

std::string modelFolder() {
    Dl_info info{};
    std::string module;
    if (::dladdr(reinterpret_cast<void*>(&modelFolder), &info) && info.dli_fname) module = info.dli_fname;
    const std::string here = folderOf(module);
    const std::string beside = here + "brisolet-models/";
    if (isDirectory(beside)) return beside;
    const std::string installed = here + "../share/brisolet/models/";
    if (isDirectory(installed)) return installed;
    return beside;
}

std::vector<DetectedObject> detectObjects(const cv::Mat& bgr, float minScore) {
    constexpr int kSize = 512;
    Model& m = model(detectorSpec());
    // The picture keeps its proportions, padded with black below or to the
    // right: stretched, a cat scored as a dog and a painting as a dog. The
    // detector reads RGB pixels 0-255.
    const double fit = double(kSize) / std::max(bgr.cols, bgr.rows);
    cv::Mat square(kSize, kSize, CV_8UC3, cv::Scalar::all(0));
    const cv::Size scaled(std::clamp(cvRound(bgr.cols * fit), 1, kSize), std::clamp(cvRound(bgr.rows * fit), 1, kSize));
    cv::Mat placed = square(cv::Rect(cv::Point(0, 0), scaled));
    cv::resize(bgr, placed, scaled, 0, 0, fit < 1 ? cv::INTER_AREA : cv::INTER_LINEAR);
    const cv::Mat blob = cv::dnn::blobFromImage(square, 1.0, cv::Size(), cv::Scalar(), true, false);
    const std::vector<cv::Mat> outs = run(m, blob);
    const cv::Mat& heat = outs[0];
    const cv::Mat& sizes = outs[1];
    if (heat.dims != 4 || sizes.dims != 4 || heat.size[2] != sizes.size[2] || heat.size[3] != sizes.size[3] ||
        sizes.size[1] != 4) {
        throw std::runtime_error("the object detector gave outputs of an unexpected shape");
    }
    const int classes = heat.size[1], rows = heat.size[2], cols = heat.size[3];
    const double stride = double(kSize) / cols;
    const double sx = double(bgr.cols) / scaled.width, sy = double(bgr.rows) / scaled.height;
    const cv::Rect2d picture(0, 0, bgr.cols, bgr.rows);
    std::vector<DetectedObject> found;
    for (int c = 0; c < classes; ++c) {
        const float* plane = heat.ptr<float>(0, c);
        for (int y = 0; y < rows; ++y) {
            for (int x = 0; x < cols; ++x) {
                const float v = plane[y * cols + x];
                if (!(v >= minScore)) continue;
                // A peak of its 3 x 3 neighbourhood, as the graph's max pool keeps.
                bool peak = true;
                for (int dy = -1; dy <= 1 && peak; ++dy) {
                    for (int dx = -1; dx <= 1; ++dx) {
                        const int yy = y + dy, xx = x + dx;
                        if (yy >= 0 && yy < rows && xx >= 0 && xx < cols && plane[yy * cols + xx] > v) {
                            peak = false;
                            break;
                        }
                    }
                }
                if (!peak) continue;
                const auto size = [&](int k) { return double(sizes.ptr<float>(0, k)[y * cols + x]); };
                const double x1 = (stride * x - size(0)) * sx, y1 = (stride * y - size(1)) * sy;
                const double x2 = (stride * x + size(2)) * sx, y2 = (stride * y + size(3)) * sy;
                const cv::Rect2d box = cv::Rect2d(x1, y1, x2 - x1, y2 - y1) & picture;
                if (box.width <= 0 || box.height <= 0) continue;
                found.push_back({c, v, box});
            }
        }
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.score > b.score; });
    if (found.size() > 100) found.resize(100);
    // Of finds of one class that overlap by half or more, the best stays.
    std::vector<DetectedObject> kept;
    for (const DetectedObject& object : found) {
        const bool covered = std::any_of(kept.begin(), kept.end(), [&](const DetectedObject& k) {
            return k.classIndex == object.classIndex && overlap(k.box, object.box) >= 0.5;
        });
        if (!covered) kept.push_back(object);
    }
    return kept;
}

namespace {

// A square crop of the picture, turned: toCrop maps the picture's pixels
// into it.
cv::Mat squareCrop(const cv::Mat& bgr, cv::Point2d centre, double side, double angle, int size, cv::Matx23d& toCrop) {
    toCrop = cv::getRotationMatrix2D(centre, angle * 180 / CV_PI, size / side);
    toCrop(0, 2) += size / 2.0 - centre.x;
    toCrop(1, 2) += size / 2.0 - centre.y;
    cv::Mat crop;
    cv::warpAffine(bgr, crop, toCrop, cv::Size(size, size), cv::INTER_LINEAR, cv::BORDER_CONSTANT);
    return crop;
}

cv::Point2d mapped(const cv::Matx23d& m, cv::Point2d p) {
    return {m(0, 0) * p.x + m(0, 1) * p.y + m(0, 2), m(1, 0) * p.x + m(1, 1) * p.y + m(1, 2)};
}

}  // namespace

BodyJoints bodyJoints(const cv::Mat& bgr, const cv::Rect2d& person, double angle, const std::vector<cv::Rect2d>& others) {
    constexpr int kSize = 192;
    Model& m = model(bodySpec());
    const std::string p = kBodyPrefix;
    // A square around the person, with some room: the model was made for
    // whole-body crops of this kind.
    const double side = std::max(person.width, person.height) * 1.2;
    cv::Matx23d toCrop;
    cv::Mat crop = squareCrop(bgr, (person.tl() + person.br()) * 0.5, side, angle, kSize, toCrop);
    // Other people in the crop are greyed out (grey is the model's zero),
    // all but what lies in this person's box and a tenth of it around: in a
    // row of people the square crop of a tall box holds the neighbours too,
    // and the model read whichever it liked best (one person twice, the one
    // beside missed).
    const auto outline = [&](const cv::Rect2d& box, double margin) {
        const double mx = box.width * margin, my = box.height * margin;
        std::vector<cv::Point> corners;
        for (const cv::Point2d& c : {cv::Point2d(box.x - mx, box.y - my), cv::Point2d(box.br().x + mx, box.y - my),
                                     cv::Point2d(box.br().x + mx, box.br().y + my), cv::Point2d(box.x - mx, box.br().y + my)}) {
            const cv::Point2d q = mapped(toCrop, c);
            corners.emplace_back(cvRound(q.x), cvRound(q.y));
        }
        return corners;
    };
    if (!others.empty()) {
        cv::Mat hidden(crop.size(), CV_8U, cv::Scalar(0));
        for (const cv::Rect2d& other : others) cv::fillConvexPoly(hidden, outline(other, 0), cv::Scalar(255));
        cv::fillConvexPoly(hidden, outline(person, 0.1), cv::Scalar(0));
        crop.setTo(cv::Scalar::all(128), hidden);
    }
    cv::Matx23d fromCrop;
    cv::invertAffineTransform(toCrop, fromCrop);
    const cv::Mat blob = cv::dnn::blobFromImage(crop, 1.0 / 127.5, cv::Size(), cv::Scalar::all(127.5), true, false);
    const std::vector<cv::Mat> outs = run(m, blob);
    const cv::Mat &heat = outs[0], &centre = outs[1], &regress = outs[2], &offset = outs[3];
    // Every output 1 x channels x grid x grid of floats before any is read:
    // a damaged model file must not make the reads below run past them.
    const int grid = heat.dims == 4 ? heat.size[3] : 0;
    const auto shaped = [grid](const cv::Mat& t, int channels) {
        return t.dims == 4 && t.type() == CV_32F && t.size[0] == 1 && t.size[1] == channels && t.size[2] == grid &&
               t.size[3] == grid;
    };
    if (grid <= 0 || !shaped(heat, 17) || !shaped(centre, 1) || !shaped(regress, 34) || !shaped(offset, 34)) {
        throw std::runtime_error("the body model gave outputs of an unexpected shape");
    }
    const auto cells = static_cast<std::size_t>(grid) * grid;
    // The graph's own decoding constants: a weight favouring the crop's
    // centre, and the distance added before dividing a joint's heat by it.
    static const std::vector<float> centreWeight =
        graphConstant(m, "ConstantFolding/" + p + "truediv_2_recip", cells);
    static const float distanceBias = graphConstant(m, p + "add_5/y", 1)[0];
    const auto at = [&](const cv::Mat& t, int channel, int y, int x) { return t.ptr<float>(0, channel)[y * grid + x]; };

    int cy = 0, cx = 0;
    float best = -1;
    for (int y = 0; y < grid; ++y) {
        for (int x = 0; x < grid; ++x) {
            const float v = at(centre, 0, y, x) * centreWeight[static_cast<std::size_t>(y * grid + x)];
            if (v > best) best = v, cy = y, cx = x;
        }
    }
    BodyJoints joints;
    for (int k = 0; k < 17; ++k) {
        const double ry = cy + at(regress, 2 * k, cy, cx), rx = cx + at(regress, 2 * k + 1, cy, cx);
        int ky = 0, kx = 0;
        double top = -1;
        for (int y = 0; y < grid; ++y) {
            for (int x = 0; x < grid; ++x) {
                const double v = at(heat, k, y, x) / (std::hypot(y - ry, x - rx) + distanceBias);
                if (v > top) top = v, ky = y, kx = x;
            }
        }
        const double y = (ky + at(offset, 2 * k, ky, kx)) / grid, x = (kx + at(offset, 2 * k + 1, ky, kx)) / grid;
        joints[static_cast<std::size_t>(k)] = {mapped(fromCrop, cv::Point2d(x * kSize, y * kSize)), at(heat, k, ky, kx)};
    }
    return joints;
}

HandJoints handJoints(const cv::Mat& bgr, cv::Point2d centre, double side, double angle) {
    constexpr int kSize = 224;
    Model& m = model(handSpec());
    cv::Matx23d toCrop;
    const cv::Mat crop = squareCrop(bgr, centre, side, angle, kSize, toCrop);
    // The hand model reads RGB in 0-1.
    const cv::Mat blob = cv::dnn::blobFromImage(crop, 1.0 / 255, cv::Size(), cv::Scalar(), true, false);
    const std::vector<cv::Mat> outs = run(m, blob);
    if (outs[0].total() != 63 || outs[1].total() != 1) throw std::runtime_error("the hand model gave outputs of an unexpected shape");
    cv::Matx23d fromCrop;
    cv::invertAffineTransform(toCrop, fromCrop);
    HandJoints hand;
    hand.score = outs[1].ptr<float>()[0];
    const float* xyz = outs[0].ptr<float>();
    for (std::size_t i = 0; i < 21; ++i) hand.at[i] = mapped(fromCrop, cv::Point2d(xyz[3 * i], xyz[3 * i + 1]));
    return hand;
}

std::vector<float> faceDescription(const cv::Mat& bgr) {
    constexpr int kSize = 224;
    Model& m = model(faceSpec());
    cv::Mat face;
    cv::resize(bgr, face, cv::Size(kSize, kSize), 0, 0, bgr.cols > kSize ? cv::INTER_AREA : cv::INTER_LINEAR);
    // The model reads RGB in 0-255. Given 0-1, it answered nearly the same
    // features for every face.
    const cv::Mat blob = cv::dnn::blobFromImage(face, 1.0, cv::Size(), cv::Scalar(), true, false);
    const std::vector<cv::Mat> outs = run(m, blob);
    if (outs[0].total() != 1024) throw std::runtime_error("the face model gave outputs of an unexpected shape");
    const float* v = outs[0].ptr<float>();
    return std::vector<float>(v, v + 1024);
}

}  // namespace app::vision::module
