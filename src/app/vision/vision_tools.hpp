// The vision family: text, barcodes, animals, body and hand poses, saliency,
// image comparison, face search and video analysis. Definitions and argument
// checks live in the program; the analyses in the module loaded on the first
// call that needs one.
#pragma once

#include "app/platform/diagnostic_sink.hpp"
#include "app/platform/environment.hpp"
#include "app/tools/registry/tool_family.hpp"
#include "app/vision/vision_engine.hpp"

#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

namespace app::vision {

// Nine tools, "vision_recognize_text" first.
std::vector<tools::MCPTool> visionTools();

// Where a call gets the engine from; throws ToolError when it cannot load.
using EngineSource = std::function<VisionEngine&()>;

// Runs one vision tool: the result map as pretty JSON with sorted keys.
// Throws ToolError "VisionTool" 404 "Unknown vision tool: <name>", 400
// "Missing required parameter: <key>", and the analyses' errors unchanged.
// Diagnostic lines go to standard error when no sink is given.
std::string handleVisionTool(const std::string& name, const tools::Arguments& arguments, const std::string& home,
                             const EngineSource& engine, std::stop_token stop,
                             platform::DiagnosticSink* diagnostics = nullptr);

class VisionToolFamily : public tools::ToolFamily {
public:
    explicit VisionToolFamily(std::shared_ptr<platform::Environment> environment, EngineSource engine = {},
                              std::shared_ptr<platform::DiagnosticSink> diagnostics = {});
    tools::ToolSwitch toolSwitch() const override { return tools::ToolSwitch::Vision; }
    std::vector<tools::MCPTool> definitions() const override { return visionTools(); }
    tools::ToolResult run(const std::string& name, const tools::Arguments& arguments, std::stop_token stop) override;

private:
    std::shared_ptr<platform::Environment> environment_;
    EngineSource engine_;
    std::shared_ptr<platform::DiagnosticSink> diagnostics_;
};

}  // namespace app::vision
