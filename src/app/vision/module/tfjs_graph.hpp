// TensorFlow.js graph models (a JSON graph and a file of weights) turned into
// the binary TensorFlow graph that OpenCV's importer reads. Everything the
// importer will be given is checked here first: it trusts its input and
// crashes on a malformed graph.
//
//   TfjsGraph graph = TfjsGraph::parse(jsonText, weightBytes);
//   std::string pb = graph.graphDef({.outputs = {"Sigmoid"}});
//   cv::dnn::Net net = cv::dnn::readNetFromTensorflow(pb.data(), pb.size());
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace app::vision::module {

// What is wrong with a model file, in words a user can act on.
class ModelFormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct GraphCut {
    // Nodes whose values are wanted; the graph is pruned back from them.
    std::vector<std::string> outputs;
    // A node that becomes a float input of this shape (what feeds it is cut
    // off): skips a graph's own casts and unpacking of its input.
    std::string input;
    std::vector<std::int64_t> inputShape;
};

class TfjsGraph {
public:
    // Throws ModelFormatError for anything but a well-formed graph model
    // whose weights file holds exactly the weights it lists.
    static TfjsGraph parse(std::string_view json, std::string_view weights);

    // A serialised GraphDef holding the nodes the outputs need, fused
    // operations split into the plain ones the importer knows, weights as
    // constants. Throws ModelFormatError for an unknown output or input, an
    // operation outside the supported set, or inputs the importer would
    // misread.
    std::string graphDef(const GraphCut& cut) const;

    // A constant's values widened to float; absent when there is no such
    // constant.
    std::optional<std::vector<float>> constant(const std::string& name) const;

    struct Attr;
    struct Node;
    struct Tensor {
        bool isInt = false;
        std::vector<std::int64_t> shape;
        std::vector<float> floats;
        std::vector<std::int32_t> ints;
    };

private:
    std::vector<Node> nodes_;
    std::map<std::string, std::size_t> index_;
    std::map<std::string, Tensor> tensors_;

    friend class GraphWriter;
};

// An attribute value, as the graph's JSON gives it.
struct TfjsGraph::Attr {
    enum class Kind { String, Int, Float, Bool, Type, Shape, IntList, FloatList, StringList, TypeList, Empty };
    Kind kind = Kind::Empty;
    std::string text;                   // String (raw bytes)
    std::int64_t integer = 0;           // Int, Type (as the enum number), Bool
    double real = 0;                    // Float
    std::vector<std::int64_t> integers;  // IntList, TypeList, Shape (-1: unknown)
    std::vector<double> reals;           // FloatList
    std::vector<std::string> texts;      // StringList
};

struct TfjsGraph::Node {
    std::string name, op;
    std::vector<std::string> inputs;  // data inputs, "name" or "name:k"
    std::map<std::string, Attr> attrs;
};

}  // namespace app::vision::module
