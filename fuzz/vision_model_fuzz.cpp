// The model converter on damaged files: the input is a graph's JSON and its
// weights, split at the first NUL byte. Either they are refused with a
// ModelFormatError or the graph they make is read by OpenCV's importer
// without a crash (its own exceptions are fine: the module turns them into
// the error answer naming the file).
#include "app/vision/module/tfjs_graph.hpp"
#include "fuzz_check.hpp"

#include <opencv2/dnn.hpp>

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using app::vision::module::GraphCut;
    using app::vision::module::ModelFormatError;
    using app::vision::module::TfjsGraph;
    const std::string_view bytes = fuzzText(data, size);
    const std::size_t split = std::min(bytes.find('\0'), bytes.size());
    const std::string_view json = bytes.substr(0, split);
    const std::string_view weights = split < bytes.size() ? bytes.substr(split + 1) : std::string_view();
    std::string graphDef;
    try {
        const TfjsGraph graph = TfjsGraph::parse(json, weights);
        graphDef = graph.graphDef(GraphCut{{"out"}, {}, {}});
    } catch (const ModelFormatError&) {
        return 0;
    }
    FUZZ_CHECK(!graphDef.empty());
    try {
        cv::dnn::Net net = cv::dnn::readNetFromTensorflow(graphDef.data(), graphDef.size());
    } catch (const cv::Exception&) {
    }
    return 0;
}
