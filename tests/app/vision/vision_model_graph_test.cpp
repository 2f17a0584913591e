// The model converter: a small graph model in the package's format turned
// into a network OpenCV runs, with the numbers it must give, and the same
// model damaged in each way a file can be, refused before the importer
// sees it.
#include "app/vision/module/tfjs_graph.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/dnn.hpp>

#include <cstring>
#include <functional>
#include <optional>
#include <string_view>

namespace app::vision::module {
namespace {

using Json = nlohmann::json;

struct Model {
    Json json;
    std::string weights;
};

std::string bytesOf(const void* p, std::size_t n) { return std::string(static_cast<const char*>(p), n); }

// in (1x2x2x1) -> 1x1 convolution to two channels, bias, Relu6. The kernel
// [2, -1] is stored as float16, the bias [0.5, 0.25] as float32.
Model convModel() {
    Model m;
    m.json = Json::parse(R"({
      "format": "graph-model",
      "modelTopology": {"node": [
        {"name": "in", "op": "Placeholder", "attr": {"dtype": {"type": "DT_FLOAT"},
          "shape": {"shape": {"dim": [{"size": "1"}, {"size": "2"}, {"size": "2"}, {"size": "1"}]}}}},
        {"name": "w", "op": "Const", "attr": {"dtype": {"type": "DT_FLOAT"}, "value": {"tensor": {}}}},
        {"name": "b", "op": "Const", "attr": {"dtype": {"type": "DT_FLOAT"}, "value": {"tensor": {}}}},
        {"name": "out", "op": "_FusedConv2D", "input": ["in", "w", "b", "^in"], "device": "/device:CPU:0",
         "attr": {"fused_ops": {"list": {"s": ["Qmlhc0FkZA==", "UmVsdTY="]}}, "num_args": {"i": "1"},
                  "strides": {"list": {"i": ["1", "1", "1", "1"]}}, "padding": {"s": "VkFMSUQ="},
                  "data_format": {"s": "TkhXQw=="}, "_grappler_note": {"b": true}}}
      ]},
      "weightsManifest": [{"paths": ["m.bin"], "weights": [
        {"name": "w", "shape": [1, 1, 1, 2], "dtype": "float32", "quantization": {"dtype": "float16", "original_dtype": "float32"}},
        {"name": "b", "shape": [2], "dtype": "float32"}
      ]}]
    })");
    const std::uint16_t kernel[] = {0x4000, 0xBC00};  // 2, -1 as float16
    const float bias[] = {0.5f, 0.25f};
    m.weights = bytesOf(kernel, sizeof kernel) + bytesOf(bias, sizeof bias);
    return m;
}

Json& node(Model& m, const char* name) {
    for (Json& n : m.json["modelTopology"]["node"]) {
        if (n["name"] == name) return n;
    }
    throw std::logic_error("no node");
}

// Runs the converted model on the input [1, 2, 3, 4] and returns both
// output channels.
std::vector<float> run(const Model& m) {
    const TfjsGraph graph = TfjsGraph::parse(m.json.dump(), m.weights);
    const std::string pb = graph.graphDef({{"out"}, {}, {}});
    cv::dnn::Net net = cv::dnn::readNetFromTensorflow(pb.data(), pb.size());
    const int shape[] = {1, 1, 2, 2};
    cv::Mat input(4, shape, CV_32F);
    for (int i = 0; i < 4; ++i) input.ptr<float>()[i] = float(i + 1);
    net.setInput(input);
    const cv::Mat out = net.forward("out");
    return std::vector<float>(out.ptr<float>(), out.ptr<float>() + out.total());
}

TEST(VisionModelGraph, ConvertedModelsComputeWhatTheirWeightsSay) {
    // Channel 0: 2x + 0.5 capped at 6; channel 1: -x + 0.25 floored at 0.
    const std::vector<float> expected = {2.5f, 4.5f, 6, 6, 0, 0, 0, 0};
    const std::vector<std::pair<const char*, std::function<void(Model&)>>> rows = {
        {"float16 kernel", [](Model&) {}},
        {"uint8 kernel", [](Model& m) {
             m.json["weightsManifest"][0]["weights"][0]["quantization"] = {{"dtype", "uint8"}, {"scale", 0.5}, {"min", -1.0}};
             const unsigned char q[] = {6, 0};  // 6 * 0.5 - 1 = 2, 0 * 0.5 - 1 = -1
             m.weights = bytesOf(q, 2) + m.weights.substr(4);
         }},
        {"float32 kernel", [](Model& m) {
             m.json["weightsManifest"][0]["weights"][0].erase("quantization");
             const float k[] = {2, -1};
             m.weights = bytesOf(k, sizeof k) + m.weights.substr(4);
         }},
        {"weights in two groups", [](Model& m) {
             Json& groups = m.json["weightsManifest"];
             groups.push_back({{"paths", {"m2.bin"}}, {"weights", {groups[0]["weights"][1]}}});
             groups[0]["weights"].erase(1);
         }},
    };
    for (const auto& [name, change] : rows) {
        SCOPED_TRACE(name);
        Model m = convModel();
        change(m);
        EXPECT_EQ(run(m), expected);
    }
}

// The convolution renamed "conv", fused with its bias and the activation
// given (none: bias only), then clipped as Keras writes it: Minimum with
// `upper`, when given, then "out" = Maximum with 0.
Model clippedModel(const char* activation, std::optional<float> upper) {
    Model m = convModel();
    Json& conv = node(m, "out");
    conv["name"] = "conv";
    std::vector<std::string> ops = {"Qmlhc0FkZA=="};  // BiasAdd
    if (std::string_view(activation) == "Relu") ops.push_back("UmVsdQ==");
    conv["attr"]["fused_ops"] = {{"list", {{"s", ops}}}};
    Json& nodes = m.json["modelTopology"]["node"];
    Json& weights = m.json["weightsManifest"][0]["weights"];
    const auto scalar = [&](const char* name, float value) {
        nodes.push_back({{"name", name}, {"op", "Const"}, {"attr", {{"dtype", {{"type", "DT_FLOAT"}}}}}});
        weights.push_back({{"name", name}, {"shape", Json::array()}, {"dtype", "float32"}});
        m.weights += bytesOf(&value, sizeof value);
    };
    std::string last = "conv";
    if (upper) {
        scalar("six", *upper);
        nodes.push_back({{"name", "clip/Minimum"}, {"op", "Minimum"}, {"input", {last, "six"}}});
        last = "clip/Minimum";
    }
    scalar("zero", 0);
    nodes.push_back({{"name", "out"}, {"op", "Maximum"}, {"input", {last, "zero"}}});
    return m;
}

TEST(VisionModelGraph, ClippedReluChainsBecomeActivations) {
    // Channel 0 is 2x + 0.5, channel 1 is -x + 0.25, for x = 1..4.
    struct Row {
        const char* name;
        const char* activation;
        std::optional<float> upper;
        std::vector<float> expected;
    };
    const std::vector<Row> rows = {
        {"Relu, at most 6, at least 0", "Relu", 6.0f, {2.5f, 4.5f, 6, 6, 0, 0, 0, 0}},
        {"at least 0", "", std::nullopt, {2.5f, 4.5f, 6.5f, 8.5f, 0, 0, 0, 0}},
        {"Relu, at least 0", "Relu", std::nullopt, {2.5f, 4.5f, 6.5f, 8.5f, 0, 0, 0, 0}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(run(clippedModel(row.activation, row.upper)), row.expected);
    }
    // Only what is exact is rewritten: a minimum with 6 of values that may
    // be negative, or with another bound, stays a Minimum.
    for (const auto& [activation, upper] : std::vector<std::pair<const char*, float>>{{"", 6.0f}, {"Relu", 5.0f}}) {
        SCOPED_TRACE(upper);
        const Model m = clippedModel(activation, upper);
        const std::string pb = TfjsGraph::parse(m.json.dump(), m.weights).graphDef({{"out"}, {}, {}});
        EXPECT_NE(pb.find("Minimum"), std::string::npos);
        EXPECT_EQ(pb.find("Relu6"), std::string::npos);
    }
}

TEST(VisionModelGraph, DamagedModelsAreRefused) {
    const std::vector<std::pair<const char*, std::function<void(Model&)>>> rows = {
        {"weights file cut short", [](Model& m) { m.weights.pop_back(); }},
        {"weights file too long", [](Model& m) { m.weights += '\0'; }},
        {"no weights at all", [](Model& m) { m.weights.clear(); }},
        {"constant without weights", [](Model& m) {
             m.json["weightsManifest"][0]["weights"].erase(1);
             m.weights.resize(4);
         }},
        {"weight listed twice", [](Model& m) {
             m.json["weightsManifest"][0]["weights"][1]["name"] = "w";
         }},
        {"unknown operation", [](Model& m) { node(m, "out")["op"] = "Erf"; }},
        {"input from a missing node", [](Model& m) { node(m, "out")["input"][0] = "nowhere"; }},
        {"a cycle", [](Model& m) { node(m, "out")["input"][0] = "out"; }},
        {"second output of a node", [](Model& m) { node(m, "out")["input"][0] = "in:1"; }},
        {"fused activation it cannot split", [](Model& m) {
             node(m, "out")["attr"]["fused_ops"]["list"]["s"][1] = "RWx1";  // Elu
         }},
        {"fused without its bias", [](Model& m) { node(m, "out")["input"].erase(2); }},
        {"unknown padding", [](Model& m) { node(m, "out")["attr"]["padding"]["s"] = "RlVMTA=="; }},
        {"zero stride", [](Model& m) { node(m, "out")["attr"]["strides"]["list"]["i"][1] = "0"; }},
        {"channels-first layout", [](Model& m) { node(m, "out")["attr"]["data_format"]["s"] = "TkNIVw=="; }},
        {"kernel of the wrong rank", [](Model& m) {
             m.json["weightsManifest"][0]["weights"][0]["shape"] = {2};
         }},
        {"integer kernel", [](Model& m) {
             auto& w = m.json["weightsManifest"][0]["weights"][0];
             w["dtype"] = "int32";
             w.erase("quantization");
             m.weights = std::string(8, '\0') + m.weights.substr(4);
         }},
        {"negative dimension", [](Model& m) { m.json["weightsManifest"][0]["weights"][1]["shape"] = {-2}; }},
        {"dimensions whose product overflows", [](Model& m) {
             m.json["weightsManifest"][0]["weights"][1]["shape"] = {1 << 24, 1 << 24, 1 << 24, 1 << 24};
         }},
        {"a weight that is not a number", [](Model& m) { m.weights[1] = '\x7C'; }},  // float16 infinity
        {"unknown data type", [](Model& m) { m.json["weightsManifest"][0]["weights"][1]["dtype"] = "complex64"; }},
        {"constant typed unlike its weights", [](Model& m) { node(m, "b")["attr"]["dtype"]["type"] = "DT_INT32"; }},
        {"not a graph model", [](Model& m) { m.json["format"] = "layers-model"; }},
        {"attribute text not base64", [](Model& m) { node(m, "out")["attr"]["padding"]["s"] = "*"; }},
        {"nested too deeply", [](Model& m) {
             Json deep = 1;
             for (int i = 0; i < 100; ++i) deep = Json::array({deep});
             m.json["extra"] = deep;
         }},
    };
    for (const auto& [name, change] : rows) {
        SCOPED_TRACE(name);
        Model m = convModel();
        change(m);
        EXPECT_THROW(TfjsGraph::parse(m.json.dump(), m.weights).graphDef({{"out"}, {}, {}}), ModelFormatError);
    }
    EXPECT_THROW(TfjsGraph::parse("{\"format\": \"graph-model\", ", ""), ModelFormatError);
    const Model good = convModel();
    EXPECT_THROW(TfjsGraph::parse(good.json.dump(), good.weights).graphDef({{"missing"}, {}, {}}), ModelFormatError);
}

// A node fed by a cast chain can be replaced by a float input, which cuts
// off everything before it (here an operation the importer does not know).
TEST(VisionModelGraph, InputReplacesWhatFeedsIt) {
    Model m = convModel();
    node(m, "in")["op"] = "Cast";
    node(m, "in")["input"] = {"raw"};
    m.json["modelTopology"]["node"].push_back(Json::parse(R"({"name": "raw", "op": "Placeholder",
        "attr": {"dtype": {"type": "DT_INT32"}, "shape": {"shape": {"dim": []}}}})"));
    const TfjsGraph graph = TfjsGraph::parse(m.json.dump(), m.weights);
    EXPECT_THROW(graph.graphDef({{"out"}, {}, {}}), ModelFormatError);
    const std::string pb = graph.graphDef({{"out"}, "in", {1, 2, 2, 1}});
    EXPECT_NO_THROW(cv::dnn::readNetFromTensorflow(pb.data(), pb.size()));
    EXPECT_EQ(graph.constant("b"), (std::vector<float>{0.5f, 0.25f}));
    EXPECT_EQ(graph.constant("none"), std::nullopt);
}

}  // namespace
}  // namespace app::vision::module
