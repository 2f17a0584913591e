#include "app/vision/module/tfjs_graph.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <set>

namespace app::vision::module {

namespace {

using Json = nlohmann::json;
using Attr = TfjsGraph::Attr;
using Node = TfjsGraph::Node;
using Tensor = TfjsGraph::Tensor;

constexpr std::size_t kMaxNodes = 20000;
constexpr std::size_t kMaxNameBytes = 1024;
constexpr int kMaxJsonDepth = 32;
// TensorFlow's DataType numbers.
constexpr std::int64_t kFloat = 1, kInt32 = 3;

[[noreturn]] void refuse(const std::string& why) { throw ModelFormatError(why); }

const Json& member(const Json& object, const char* key) {
    if (!object.is_object()) refuse(std::string("expected an object holding \"") + key + "\"");
    auto it = object.find(key);
    if (it == object.end()) refuse(std::string("missing \"") + key + "\"");
    return *it;
}

const std::string& text(const Json& value, const char* what) {
    if (!value.is_string()) refuse(std::string(what) + " is not text");
    return value.get_ref<const std::string&>();
}

// Integers come as numbers or, for 64-bit fields, as decimal text.
std::int64_t integer(const Json& value, const char* what) {
    if (value.is_number_integer()) return value.get<std::int64_t>();
    if (value.is_string()) {
        const std::string& s = value.get_ref<const std::string&>();
        std::size_t used = 0;
        try {
            const long long n = std::stoll(s, &used);
            if (used == s.size()) return n;
        } catch (const std::exception&) {
        }
    }
    refuse(std::string(what) + " is not an integer");
}

double real(const Json& value, const char* what) {
    if (!value.is_number()) refuse(std::string(what) + " is not a number");
    return value.get<double>();
}

std::string base64Decode(const std::string& in) {
    static constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::uint32_t bits = 0;
    int count = 0;
    std::size_t i = 0;
    for (; i < in.size() && in[i] != '='; ++i) {
        const std::size_t v = alphabet.find(in[i]);
        if (v == std::string_view::npos) refuse("an attribute's text is not base64");
        bits = (bits << 6) | static_cast<std::uint32_t>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    for (; i < in.size(); ++i) {
        if (in[i] != '=') refuse("an attribute's text is not base64");
    }
    return out;
}

std::int64_t dataType(const std::string& name) {
    static const std::map<std::string, std::int64_t> types = {
        {"DT_FLOAT", 1}, {"DT_DOUBLE", 2}, {"DT_INT32", 3}, {"DT_UINT8", 4}, {"DT_INT16", 5},
        {"DT_INT8", 6},  {"DT_STRING", 7}, {"DT_INT64", 9}, {"DT_BOOL", 10}, {"DT_HALF", 19}};
    auto it = types.find(name);
    if (it == types.end()) refuse("unknown data type " + name);
    return it->second;
}

std::vector<std::int64_t> shapeOf(const Json& shape) {
    std::vector<std::int64_t> dims;
    if (!shape.is_object()) refuse("a shape is not an object");
    auto it = shape.find("dim");
    if (it == shape.end()) return dims;
    if (!it->is_array() || it->size() > 8) refuse("a shape's dimensions are not a short list");
    for (const Json& dim : *it) {
        auto size = dim.is_object() ? dim.find("size") : dim.end();
        const std::int64_t n = size == dim.end() ? 0 : integer(*size, "a dimension");
        if (n < -1 || n > (1 << 24)) refuse("a dimension is out of range");
        dims.push_back(n);
    }
    return dims;
}

Attr attrOf(const Json& value) {
    Attr attr;
    if (!value.is_object() || value.size() != 1) refuse("an attribute is not a single value");
    const std::string& key = value.begin().key();
    const Json& v = value.begin().value();
    if (key == "s") {
        attr.kind = Attr::Kind::String;
        attr.text = base64Decode(text(v, "an attribute"));
    } else if (key == "i") {
        attr.kind = Attr::Kind::Int;
        attr.integer = integer(v, "an attribute");
    } else if (key == "f") {
        attr.kind = Attr::Kind::Float;
        attr.real = real(v, "an attribute");
    } else if (key == "b") {
        if (!v.is_boolean()) refuse("an attribute is not true or false");
        attr.kind = Attr::Kind::Bool;
        attr.integer = v.get<bool>();
    } else if (key == "type") {
        attr.kind = Attr::Kind::Type;
        attr.integer = dataType(text(v, "a type"));
    } else if (key == "shape") {
        attr.kind = Attr::Kind::Shape;
        attr.integers = shapeOf(v);
    } else if (key == "list") {
        if (!v.is_object() || v.size() > 1) refuse("an attribute list is not one list");
        if (v.empty()) {
            attr.kind = Attr::Kind::IntList;
            return attr;
        }
        const std::string& kind = v.begin().key();
        const Json& items = v.begin().value();
        if (!items.is_array() || items.size() > 64) refuse("an attribute list is not a short list");
        for (const Json& item : items) {
            if (kind == "i") {
                attr.kind = Attr::Kind::IntList;
                attr.integers.push_back(integer(item, "a list item"));
            } else if (kind == "f") {
                attr.kind = Attr::Kind::FloatList;
                attr.reals.push_back(real(item, "a list item"));
            } else if (kind == "s") {
                attr.kind = Attr::Kind::StringList;
                attr.texts.push_back(base64Decode(text(item, "a list item")));
            } else if (kind == "type") {
                attr.kind = Attr::Kind::TypeList;
                attr.integers.push_back(dataType(text(item, "a list item")));
            } else {
                refuse("unsupported attribute list \"" + kind + "\"");
            }
        }
    } else if (key == "tensor") {
        attr.kind = Attr::Kind::Empty;  // a constant's value: taken from the weights
    } else {
        refuse("unsupported attribute kind \"" + key + "\"");
    }
    return attr;
}

float halfToFloat(std::uint16_t h) {
    const std::uint32_t sign = (h & 0x8000u) << 16;
    std::uint32_t exponent = (h >> 10) & 0x1F, mantissa = h & 0x3FF;
    std::uint32_t bits;
    if (exponent == 0) {
        if (mantissa == 0) {
            bits = sign;
        } else {  // subnormal: normalise
            int shift = 0;
            while (!(mantissa & 0x400)) {
                mantissa <<= 1;
                ++shift;
            }
            mantissa &= 0x3FF;
            bits = sign | static_cast<std::uint32_t>(127 - 15 - shift + 1) << 23 | mantissa << 13;
        }
    } else if (exponent == 31) {
        bits = sign | 0x7F800000u | mantissa << 13;
    } else {
        bits = sign | (exponent + 127 - 15) << 23 | mantissa << 13;
    }
    return std::bit_cast<float>(bits);
}

template <class T>
T readLittle(const unsigned char* p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;  // the machines this runs on are little-endian, as the files are
}

// Reads the manifest's weights, in order, from the bytes; every byte must be
// accounted for.
std::map<std::string, Tensor> readWeights(const Json& manifest, std::string_view bytes) {
    std::map<std::string, Tensor> tensors;
    if (!manifest.is_array() || manifest.empty()) refuse("the weights manifest is empty");
    std::size_t offset = 0;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    for (const Json& group : manifest) {
        const Json& weights = member(group, "weights");
        if (!weights.is_array()) refuse("a weights group is not a list");
        for (const Json& weight : weights) {
            const std::string& name = text(member(weight, "name"), "a weight's name");
            const std::string& dtype = text(member(weight, "dtype"), "a weight's type");
            const Json& shapeJson = member(weight, "shape");
            if (!shapeJson.is_array() || shapeJson.size() > 6) refuse("weight " + name + " has no usable shape");
            Tensor tensor;
            std::uint64_t count = 1;
            for (const Json& d : shapeJson) {
                const std::int64_t n = integer(d, "a weight's dimension");
                if (n < 0 || n > (1 << 24)) refuse("weight " + name + " has a dimension out of range");
                tensor.shape.push_back(n);
                count *= static_cast<std::uint64_t>(n);
                if (count > bytes.size()) refuse("weight " + name + " is larger than the weights file");
            }
            if (dtype != "float32" && dtype != "int32") refuse("weight " + name + " has unsupported type " + dtype);
            tensor.isInt = dtype == "int32";
            std::string stored = dtype;
            double scale = 1, minimum = 0;
            if (auto q = weight.find("quantization"); q != weight.end()) {
                stored = text(member(*q, "dtype"), "a quantization type");
                if (stored == "uint8" || stored == "uint16") {
                    scale = real(member(*q, "scale"), "a quantization scale");
                    minimum = real(member(*q, "min"), "a quantization minimum");
                    if (!std::isfinite(scale) || !std::isfinite(minimum)) refuse("weight " + name + " has a bad scale");
                } else if (stored != "float16" || tensor.isInt) {
                    refuse("weight " + name + " has unsupported quantization " + stored);
                }
            }
            const std::size_t width = stored == "uint8" ? 1 : (stored == "uint16" || stored == "float16") ? 2 : 4;
            if (count * width > bytes.size() - offset) refuse("the weights file ends inside weight " + name);
            const unsigned char* p = data + offset;
            offset += count * width;
            for (std::uint64_t i = 0; i < count; ++i, p += width) {
                if (tensor.isInt) {
                    const double v = stored == "int32" ? readLittle<std::int32_t>(p)
                                     : stored == "uint8" ? *p * scale + minimum
                                                         : readLittle<std::uint16_t>(p) * scale + minimum;
                    tensor.ints.push_back(static_cast<std::int32_t>(std::lround(v)));
                } else {
                    float v = stored == "float32"   ? readLittle<float>(p)
                              : stored == "float16" ? halfToFloat(readLittle<std::uint16_t>(p))
                              : stored == "uint8"   ? static_cast<float>(*p * scale + minimum)
                                                    : static_cast<float>(readLittle<std::uint16_t>(p) * scale + minimum);
                    if (!std::isfinite(v)) refuse("weight " + name + " holds a value that is not a number");
                    tensor.floats.push_back(v);
                }
            }
            if (!tensors.emplace(name, std::move(tensor)).second) refuse("weight " + name + " is listed twice");
        }
    }
    if (offset != bytes.size()) refuse("the weights file is longer than its manifest says");
    return tensors;
}

// ---- protobuf wire format -------------------------------------------------

class Proto {
public:
    void varint(std::uint64_t v) {
        while (v >= 0x80) {
            out_.push_back(static_cast<char>(v | 0x80));
            v >>= 7;
        }
        out_.push_back(static_cast<char>(v));
    }
    void tag(int field, int wire) { varint(static_cast<std::uint64_t>(field) << 3 | static_cast<unsigned>(wire)); }
    void integer(int field, std::int64_t v) {
        tag(field, 0);
        varint(static_cast<std::uint64_t>(v));
    }
    void bytes(int field, std::string_view b) {
        tag(field, 2);
        varint(b.size());
        out_.append(b);
    }
    void message(int field, const Proto& inner) { bytes(field, inner.out_); }
    void fixed32(int field, float f) {
        tag(field, 5);
        const auto bits = std::bit_cast<std::uint32_t>(f);
        for (int i = 0; i < 4; ++i) out_.push_back(static_cast<char>(bits >> (8 * i)));
    }
    void packedVarints(int field, const std::vector<std::int64_t>& values) {
        Proto inner;
        for (std::int64_t v : values) inner.varint(static_cast<std::uint64_t>(v));
        bytes(field, inner.out_);
    }
    void packedFloats(int field, const std::vector<float>& values) {
        std::string raw(values.size() * 4, '\0');
        std::memcpy(raw.data(), values.data(), raw.size());
        bytes(field, raw);
    }
    const std::string& str() const { return out_; }

private:
    std::string out_;
};

Proto shapeProto(const std::vector<std::int64_t>& dims) {
    Proto shape;
    for (std::int64_t d : dims) {
        Proto dim;
        dim.integer(1, d);
        shape.message(2, dim);
    }
    return shape;
}

Proto attrProto(const Attr& attr) {
    Proto p;
    switch (attr.kind) {
        case Attr::Kind::String: p.bytes(2, attr.text); break;
        case Attr::Kind::Int: p.integer(3, attr.integer); break;
        case Attr::Kind::Float: p.fixed32(4, static_cast<float>(attr.real)); break;
        case Attr::Kind::Bool: p.integer(5, attr.integer); break;
        case Attr::Kind::Type: p.integer(6, attr.integer); break;
        case Attr::Kind::Shape: p.message(7, shapeProto(attr.integers)); break;
        case Attr::Kind::Empty:
        case Attr::Kind::IntList:
        case Attr::Kind::FloatList:
        case Attr::Kind::StringList:
        case Attr::Kind::TypeList: {
            Proto list;
            if (attr.kind == Attr::Kind::IntList && !attr.integers.empty()) list.packedVarints(3, attr.integers);
            if (attr.kind == Attr::Kind::TypeList) list.packedVarints(6, attr.integers);
            if (attr.kind == Attr::Kind::FloatList) {
                std::vector<float> f(attr.reals.begin(), attr.reals.end());
                list.packedFloats(4, f);
            }
            for (const std::string& s : attr.texts) list.bytes(2, s);
            p.message(1, list);
            break;
        }
    }
    return p;
}

// Integer constants and single floats go into the typed value lists: the
// importer reads axes and sizes from there, never from raw content.
Proto tensorProto(const Tensor& tensor) {
    Proto p;
    p.integer(1, tensor.isInt ? kInt32 : kFloat);
    p.message(2, shapeProto(tensor.shape));
    if (tensor.isInt) {
        std::vector<std::int64_t> values(tensor.ints.begin(), tensor.ints.end());
        if (!values.empty()) p.packedVarints(7, values);
    } else if (tensor.floats.size() == 1) {
        p.packedFloats(5, tensor.floats);
    } else {
        p.bytes(4, std::string_view(reinterpret_cast<const char*>(tensor.floats.data()), tensor.floats.size() * 4));
    }
    return p;
}

Attr typeAttr(std::int64_t type) {
    Attr a;
    a.kind = Attr::Kind::Type;
    a.integer = type;
    return a;
}

std::string baseName(const std::string& input) {
    const std::size_t colon = input.find(':');
    return colon == std::string::npos ? input : input.substr(0, colon);
}

// What each operation the importer is given must look like.
struct OpRule {
    std::size_t minInputs, maxInputs;
    // Input positions that must be constants: float of this rank (-1: any),
    // or int32 when integral.
    std::vector<std::pair<int, int>> floatConstants;  // (position, rank)
    std::vector<int> intConstants;                    // positions (negative: from the end)
};

const std::map<std::string, OpRule>& opRules() {
    static const std::map<std::string, OpRule> rules = {
        {"Placeholder", {0, 0, {}, {}}},
        {"Const", {0, 0, {}, {}}},
        {"Identity", {1, 1, {}, {}}},
        {"Conv2D", {2, 2, {{1, 4}}, {}}},
        {"DepthwiseConv2dNative", {2, 2, {{1, 4}}, {}}},
        {"BiasAdd", {2, 2, {{1, 1}}, {}}},
        {"MatMul", {2, 2, {{1, 2}}, {}}},
        {"Relu", {1, 1, {}, {}}},
        {"Relu6", {1, 1, {}, {}}},
        {"Sigmoid", {1, 1, {}, {}}},
        {"Softmax", {1, 1, {}, {}}},
        {"Add", {2, 2, {}, {}}},
        {"AddV2", {2, 2, {}, {}}},
        {"Sub", {2, 2, {}, {}}},
        {"Mul", {2, 2, {}, {}}},
        {"Maximum", {2, 2, {}, {}}},
        {"Minimum", {2, 2, {}, {}}},
        {"AddN", {2, 16, {}, {}}},
        {"ConcatV2", {2, 17, {}, {-1}}},
        {"Mean", {2, 2, {}, {1}}},
        {"MaxPool", {1, 1, {}, {}}},
        {"ResizeBilinear", {2, 2, {}, {1}}},
        {"Reshape", {2, 2, {}, {1}}},
    };
    return rules;
}

}  // namespace

class GraphWriter {
public:
    explicit GraphWriter(const TfjsGraph& graph) : graph_(graph) {}

    std::string write(const GraphCut& cut) {
        for (const std::string& out : cut.outputs) {
            if (!graph_.index_.count(out)) refuse("the model has no node " + out);
        }
        if (!cut.input.empty()) {
            if (!graph_.index_.count(cut.input)) refuse("the model has no node " + cut.input);
            if (cut.inputShape.size() != 4) refuse("an input needs four dimensions");
        }
        const std::vector<std::size_t> kept = keptNodes(cut);
        Proto graph;
        for (std::size_t i : kept) {
            const Node& node = graph_.nodes_[i];
            if (node.name == cut.input) {
                std::map<std::string, Attr> attrs{{"dtype", typeAttr(kFloat)}};
                Attr shape;
                shape.kind = Attr::Kind::Shape;
                shape.integers = cut.inputShape;
                attrs["shape"] = shape;
                emit(graph, node.name, "Placeholder", {}, attrs);
            } else {
                rewrite(graph, node);
            }
        }
        Proto versions;
        versions.integer(1, 440);
        graph.message(4, versions);
        return graph.str();
    }

private:
    // The nodes the outputs need, each after its inputs.
    std::vector<std::size_t> keptNodes(const GraphCut& cut) const {
        enum Mark : char { None, Visiting, Done };
        std::vector<char> marks(graph_.nodes_.size(), None);
        std::vector<std::size_t> order;
        for (const std::string& out : cut.outputs) {
            std::vector<std::pair<std::size_t, std::size_t>> stack{{graph_.index_.at(out), 0}};
            while (!stack.empty()) {
                auto& [at, next] = stack.back();
                const Node& node = graph_.nodes_[at];
                if (next == 0) {
                    if (marks[at] == Done) {
                        stack.pop_back();
                        continue;
                    }
                    if (marks[at] == Visiting) refuse("the model's graph has a cycle through " + node.name);
                    marks[at] = Visiting;
                }
                const bool cutHere = node.name == cut.input;
                if (!cutHere && next < node.inputs.size()) {
                    const std::string& input = node.inputs[next++];
                    const std::size_t from = graph_.index_.at(baseName(input));
                    if (marks[from] == Visiting) refuse("the model's graph has a cycle through " + node.name);
                    if (marks[from] == None) stack.emplace_back(from, 0);
                    continue;
                }
                marks[at] = Done;
                order.push_back(at);
                stack.pop_back();
            }
        }
        return order;
    }

    const Node& inputNode(const Node& node, std::size_t position) const {
        return graph_.nodes_[graph_.index_.at(baseName(node.inputs.at(position)))];
    }

    void checkNode(const std::string& name, const std::string& op, const std::vector<std::string>& inputs,
                   const std::map<std::string, Attr>& attrs) const {
        auto rule = opRules().find(op);
        if (rule == opRules().end()) refuse("node " + name + " has unsupported operation " + op);
        const OpRule& r = rule->second;
        if (inputs.size() < r.minInputs || inputs.size() > r.maxInputs) {
            refuse("node " + name + " (" + op + ") has " + std::to_string(inputs.size()) + " inputs");
        }
        for (const std::string& input : inputs) {
            if (input.find(':') != std::string::npos && !input.ends_with(":0")) {
                refuse("node " + name + " reads a second output of " + baseName(input));
            }
        }
        const auto constantAt = [&](std::size_t position) -> const Tensor& {
            const std::string source = baseName(inputs[position]);
            auto t = graph_.tensors_.find(source);
            if (t == graph_.tensors_.end() || graph_.nodes_[graph_.index_.at(source)].op != "Const") {
                refuse("node " + name + " (" + op + ") needs a constant as input " + std::to_string(position + 1));
            }
            return t->second;
        };
        for (auto [position, rank] : r.floatConstants) {
            const Tensor& t = constantAt(static_cast<std::size_t>(position));
            if (t.isInt || (rank >= 0 && t.shape.size() != static_cast<std::size_t>(rank)) || t.floats.empty()) {
                refuse("node " + name + " (" + op + ") has weights of the wrong kind");
            }
        }
        for (int position : r.intConstants) {
            const std::size_t at = position < 0 ? inputs.size() - 1 : static_cast<std::size_t>(position);
            const Tensor& t = constantAt(at);
            if (!t.isInt || t.shape.size() > 1 || t.ints.empty() || t.ints.size() > 8) {
                refuse("node " + name + " (" + op + ") needs small integer constants");
            }
        }
        if (op == "ConcatV2") {
            auto n = attrs.find("N");
            if (n == attrs.end() || n->second.integer != static_cast<std::int64_t>(inputs.size() - 1)) {
                refuse("node " + name + " (ConcatV2) does not say how many inputs it joins");
            }
        }
        if (op == "ResizeBilinear") {
            const Tensor& size = constantAt(1);
            if (size.ints.size() != 2 || size.ints[0] <= 0 || size.ints[1] <= 0 || size.ints[0] > 4096 ||
                size.ints[1] > 4096) {
                refuse("node " + name + " resizes to an unusable size");
            }
        }
        if (op == "Placeholder") {
            auto shape = attrs.find("shape");
            if (shape == attrs.end() || shape->second.kind != Attr::Kind::Shape) refuse("input " + name + " has no shape");
        }
        for (const auto& [key, attr] : attrs) {
            if (key == "strides" || key == "ksize" || key == "dilations") {
                if (attr.kind != Attr::Kind::IntList || attr.integers.size() != 4 ||
                    std::any_of(attr.integers.begin(), attr.integers.end(), [](std::int64_t v) { return v < 1 || v > 64; })) {
                    refuse("node " + name + " has unusable " + key);
                }
            } else if (key == "padding") {
                if (attr.kind != Attr::Kind::String || (attr.text != "SAME" && attr.text != "VALID")) {
                    refuse("node " + name + " has unsupported padding");
                }
            } else if (key == "data_format") {
                if (attr.kind != Attr::Kind::String || attr.text != "NHWC") refuse("node " + name + " is not laid out NHWC");
            }
        }
        if ((op == "Conv2D" || op == "DepthwiseConv2dNative") && !attrs.count("padding")) {
            refuse("node " + name + " has no padding");
        }
        if (op == "MaxPool" && (!attrs.count("ksize") || !attrs.count("strides") || !attrs.count("padding"))) {
            refuse("node " + name + " (MaxPool) lacks its window");
        }
        if (op == "MatMul") {
            for (const char* key : {"transpose_a", "transpose_b"}) {
                auto it = attrs.find(key);
                if (it != attrs.end() && it->second.integer != 0) refuse("node " + name + " multiplies transposed");
            }
        }
    }

    void emit(Proto& graph, const std::string& name, const std::string& op, const std::vector<std::string>& inputs,
              const std::map<std::string, Attr>& attrs) {
        checkNode(name, op, inputs, attrs);
        Proto node;
        node.bytes(1, name);
        node.bytes(2, op);
        for (const std::string& input : inputs) node.bytes(3, baseName(input));
        for (const auto& [key, attr] : attrs) {
            Proto entry;
            entry.bytes(1, key);
            entry.message(2, attrProto(attr));
            node.message(5, entry);
        }
        if (op == "Const") {
            Proto entry;
            entry.bytes(1, "value");
            Proto value;
            value.message(8, tensorProto(graph_.tensors_.at(name)));
            entry.message(2, value);
            node.message(5, entry);
        }
        graph.message(1, node);
    }

    // The attributes the importer reads; the rest (devices, optimiser notes,
    // what the fused forms carry) is dropped.
    static std::map<std::string, Attr> plainAttrs(const Node& node) {
        static const std::set<std::string> dropped = {"device",  "fused_ops",        "num_args",
                                                      "epsilon", "use_cudnn_on_gpu", "explicit_paddings",
                                                      "leakyrelu_alpha", "value"};
        std::map<std::string, Attr> attrs;
        for (const auto& [key, attr] : node.attrs) {
            if (key.empty() || key[0] == '_' || dropped.count(key)) continue;
            attrs[key] = attr;
        }
        return attrs;
    }

    // The scalar a node reads as its second input, when that is a float
    // constant of one value.
    std::optional<float> scalarInput(const Node& node) const {
        if (node.inputs.size() != 2) return std::nullopt;
        const Node& source = inputNode(node, 1);
        auto t = graph_.tensors_.find(source.name);
        if (source.op != "Const" || t == graph_.tensors_.end() || t->second.isInt || t->second.floats.size() != 1) {
            return std::nullopt;
        }
        return t->second.floats[0];
    }

    // Keras writes a clipped ReLU as Relu -> Minimum(6) -> Maximum(0), which
    // the importer cannot build. Both steps have an exact plain form: the
    // minimum of a ReLU's output and 6 is Relu6, the maximum with 0 is Relu.
    const char* clipAsActivation(const Node& node) const {
        const std::optional<float> bound = scalarInput(node);
        if (!bound) return nullptr;
        if (node.op == "Maximum" && *bound == 0.0f) return "Relu";
        if (node.op == "Minimum" && *bound == 6.0f && endsInRelu(inputNode(node, 0))) return "Relu6";
        return nullptr;
    }

    static bool endsInRelu(const Node& node) {
        if (node.op == "Relu" || node.op == "Relu6") return true;
        auto ops = node.attrs.find("fused_ops");
        return ops != node.attrs.end() && !ops->second.texts.empty() &&
               (ops->second.texts.back() == "Relu" || ops->second.texts.back() == "Relu6");
    }

    void rewrite(Proto& graph, const Node& node) {
        std::map<std::string, Attr> attrs = plainAttrs(node);
        if (node.op == "Const") {
            if (!graph_.tensors_.count(node.name)) refuse("constant " + node.name + " has no weights");
            const Tensor& t = graph_.tensors_.at(node.name);
            emit(graph, node.name, "Const", {}, {{"dtype", typeAttr(t.isInt ? kInt32 : kFloat)}});
            return;
        }
        static const std::map<std::string, std::string> fused = {{"_FusedConv2D", "Conv2D"},
                                                                 {"FusedDepthwiseConv2dNative", "DepthwiseConv2dNative"},
                                                                 {"_FusedMatMul", "MatMul"}};
        if (const char* activation = clipAsActivation(node)) {
            emit(graph, node.name, activation, {node.inputs[0]}, {{"T", typeAttr(kFloat)}});
            return;
        }
        auto plain = fused.find(node.op);
        if (plain == fused.end()) {
            emit(graph, node.name, node.op, node.inputs, attrs);
            return;
        }
        // Op + BiasAdd (+ activation), the last one keeping the node's name.
        auto ops = node.attrs.find("fused_ops");
        std::vector<std::string> steps = ops == node.attrs.end() ? std::vector<std::string>{} : ops->second.texts;
        if (steps.empty() || steps.size() > 2 || steps[0] != "BiasAdd" || node.inputs.size() != 3 ||
            (steps.size() == 2 && steps[1] != "Relu" && steps[1] != "Relu6")) {
            refuse("node " + node.name + " fuses operations that cannot be split");
        }
        const std::string opName = node.name + "/split_op";
        const std::string biasName = steps.size() == 2 ? node.name + "/split_bias" : node.name;
        emit(graph, opName, plain->second, {node.inputs[0], node.inputs[1]}, attrs);
        std::map<std::string, Attr> biasAttrs{{"T", typeAttr(kFloat)}};
        if (plain->second != "MatMul") biasAttrs["data_format"] = attrs.count("data_format") ? attrs["data_format"] : Attr{};
        if (biasAttrs.count("data_format") && biasAttrs["data_format"].kind != Attr::Kind::String) biasAttrs.erase("data_format");
        emit(graph, biasName, "BiasAdd", {opName, node.inputs[2]}, biasAttrs);
        if (steps.size() == 2) emit(graph, node.name, steps[1], {biasName}, {{"T", typeAttr(kFloat)}});
    }

    const TfjsGraph& graph_;
};

TfjsGraph TfjsGraph::parse(std::string_view json, std::string_view weights) {
    Json root;
    try {
        root = Json::parse(json.begin(), json.end(), [](int depth, Json::parse_event_t, Json&) {
            if (depth > kMaxJsonDepth) throw ModelFormatError("the graph is nested too deeply");
            return true;
        });
    } catch (const Json::exception& e) {
        refuse(std::string("the graph is not JSON (") + e.what() + ")");
    }
    if (!root.is_object() || text(member(root, "format"), "the format") != "graph-model") {
        refuse("not a graph model");
    }
    TfjsGraph graph;
    graph.tensors_ = readWeights(member(root, "weightsManifest"), weights);
    const Json& nodes = member(member(root, "modelTopology"), "node");
    if (!nodes.is_array() || nodes.empty() || nodes.size() > kMaxNodes) refuse("the graph's node list is unusable");
    for (const Json& entry : nodes) {
        Node node;
        node.name = text(member(entry, "name"), "a node's name");
        node.op = text(member(entry, "op"), "a node's operation");
        if (node.name.empty() || node.name.size() > kMaxNameBytes || node.name.find_first_of(":^") != std::string::npos) {
            refuse("a node has an unusable name");
        }
        if (auto inputs = entry.find("input"); inputs != entry.end()) {
            if (!inputs->is_array() || inputs->size() > 64) refuse("node " + node.name + " has unusable inputs");
            for (const Json& input : *inputs) {
                const std::string& in = text(input, "an input");
                if (in.starts_with('^')) continue;  // an ordering hint only
                node.inputs.push_back(in);
            }
        }
        if (auto attrs = entry.find("attr"); attrs != entry.end()) {
            if (!attrs->is_object()) refuse("node " + node.name + " has unusable attributes");
            for (const auto& [key, value] : attrs->items()) {
                if (key.starts_with('_') || key == "_output_shapes") continue;
                node.attrs[key] = attrOf(value);
            }
        }
        if (!graph.index_.emplace(node.name, graph.nodes_.size()).second) refuse("node " + node.name + " is listed twice");
        graph.nodes_.push_back(std::move(node));
    }
    for (const Node& node : graph.nodes_) {
        for (const std::string& input : node.inputs) {
            const std::string source = baseName(input);
            if (!graph.index_.count(source)) refuse("node " + node.name + " reads the missing node " + source);
            if (input.size() > source.size()) {
                const std::string index = input.substr(source.size() + 1);
                if (index.empty() || index.size() > 2 || !std::all_of(index.begin(), index.end(), ::isdigit)) {
                    refuse("node " + node.name + " has an unusable input " + input);
                }
            }
        }
        if (node.op == "Const") {
            auto t = graph.tensors_.find(node.name);
            if (t == graph.tensors_.end()) refuse("constant " + node.name + " has no weights");
            auto dtype = node.attrs.find("dtype");
            if (dtype != node.attrs.end() && dtype->second.integer != (t->second.isInt ? kInt32 : kFloat)) {
                refuse("constant " + node.name + " has another type than its weights");
            }
        }
    }
    return graph;
}

std::string TfjsGraph::graphDef(const GraphCut& cut) const { return GraphWriter(*this).write(cut); }

std::optional<std::vector<float>> TfjsGraph::constant(const std::string& name) const {
    auto it = tensors_.find(name);
    if (it == tensors_.end()) return std::nullopt;
    if (!it->second.isInt) return it->second.floats;
    return std::vector<float>(it->second.ints.begin(), it->second.ints.end());
}

}  // namespace app::vision::module
