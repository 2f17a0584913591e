#include "app/vision/vision_tools.hpp"

#include "app/tools/registry/tool_error.hpp"
#include "app/tools/registry/tool_row.hpp"
#include "app/vision/vision_module.hpp"
#include "app/vision/vision_paths.hpp"
#include "app/vision/vision_service.hpp"
#include "json/json.hpp"

#include <algorithm>
#include <stdexcept>

namespace app::vision {

using tools::AnyList;
using tools::AnyMap;
using tools::Arguments;
using tools::MCPTool;
using tools::ToolError;
using tools::objectSchema;
using tools::schemaProperty;

namespace {

constexpr json::WriteOptions kResultFormat{.sortedKeys = true, .escapeSlashes = true, .pretty = true};
// Face similarity a match needs by default. Measured on ten people's faces:
// different people 0.23-0.62, the same face as a JPEG, at half size, turned
// 10 degrees or mirrored 0.76-0.99 (0.85 and above unless the face is about
// 30 pixels wide); the threshold lies between.
constexpr double kDefaultFaceThreshold = 0.7;

AnyMap withMembers(AnyMap property, AnyMap extra) {
    for (auto& [key, value] : extra) property.insert_or_assign(key, std::move(value));
    return property;
}

AnyMap imagePathSchema() {
    return objectSchema(AnyMap{{"image_path", schemaProperty("string", "Absolute path to the image file")}},
                        AnyList{"image_path"});
}

AnyMap textSchema() {
    return objectSchema(
        AnyMap{{"image_path", schemaProperty("string", "Absolute path to the image file")},
               {"recognition_level",
                withMembers(schemaProperty("string", "Recognition level: fast or accurate (default: accurate)"),
                            AnyMap{{"enum", AnyList{"fast", "accurate"}}, {"default", "accurate"}})},
               {"languages",
                withMembers(schemaProperty("array", "Language codes (BCP 47) to recognize (default: en-US, zh-Hans)"),
                            AnyMap{{"items", AnyMap{{"type", "string"}}}, {"default", AnyList{"en-US", "zh-Hans"}}})}},
        AnyList{"image_path"});
}

AnyMap saliencySchema() {
    return objectSchema(
        AnyMap{{"image_path", schemaProperty("string", "Absolute path to the image file")},
               {"type", withMembers(schemaProperty("string", "Saliency type: attention or objectness (default: attention)"),
                                    AnyMap{{"enum", AnyList{"attention", "objectness"}}, {"default", "attention"}})}},
        AnyList{"image_path"});
}

AnyMap compareSchema() {
    return objectSchema(AnyMap{{"image_path_1", schemaProperty("string", "Absolute path to the first image")},
                               {"image_path_2", schemaProperty("string", "Absolute path to the second image")}},
                        AnyList{"image_path_1", "image_path_2"});
}

AnyMap sampleIntervalProperty() {
    return withMembers(schemaProperty("integer", "Analyze every Nth frame (default: 30)"), AnyMap{{"default", 30}});
}

AnyMap searchFaceSchema() {
    return objectSchema(
        AnyMap{{"target_image_path", schemaProperty("string", "Absolute path to an image showing the face to find")},
               {"search_path", schemaProperty("string", "Absolute path to the video, image or folder to search")},
               {"search_type", withMembers(schemaProperty("string", "What search_path is: video, image or folder"),
                                           AnyMap{{"enum", AnyList{"video", "image", "folder"}}})},
               {"threshold", withMembers(schemaProperty("number", "Similarity threshold from 0 to 1 (default: 0.7)"),
                                         AnyMap{{"default", kDefaultFaceThreshold}})},
               {"sample_interval", sampleIntervalProperty()}},
        AnyList{"target_image_path", "search_path", "search_type"});
}

AnyMap videoSchema() {
    AnyList features{"text", "faces", "animals", "body_pose", "hand_pose"};
    return objectSchema(
        AnyMap{{"video_path", schemaProperty("string", "Absolute path to the video file")},
               {"sample_interval", sampleIntervalProperty()},
               {"features", withMembers(schemaProperty("array", "Analyses to run on each sampled frame (default: all)"),
                                        AnyMap{{"items", AnyMap{{"type", "string"}, {"enum", features}}},
                                               {"default", features}})}},
        AnyList{"video_path"});
}

std::vector<std::string> textLanguages(const Arguments& arguments) {
    const AnyList* given = tools::listArgument(arguments, "languages");
    if (!given) return {"en-US", "zh-Hans"};
    std::vector<std::string> languages;
    for (const auto& entry : *given) {
        if (const std::string* code = entry.ifText()) languages.push_back(*code);
    }
    return languages;
}

std::vector<VideoFeature> videoFeatures(const Arguments& arguments) {
    static const std::map<std::string, VideoFeature, std::less<>> names = {
        {"text", VideoFeature::Text},          {"faces", VideoFeature::Faces},
        {"animals", VideoFeature::Animals},    {"body_pose", VideoFeature::BodyPose},
        {"hand_pose", VideoFeature::HandPose}};
    const AnyList* given = tools::listArgument(arguments, "features");
    if (!given) {
        return {VideoFeature::Text, VideoFeature::Faces, VideoFeature::Animals, VideoFeature::BodyPose,
                VideoFeature::HandPose};
    }
    std::vector<VideoFeature> features;
    for (const auto& entry : *given) {
        const std::string* name = entry.ifText();
        if (!name) continue;
        auto found = names.find(*name);
        if (found == names.end()) throw ToolError("VisionTool", 400, "Unknown feature: " + *name);
        if (std::find(features.begin(), features.end(), found->second) == features.end()) features.push_back(found->second);
    }
    return features;
}

// One call: the service made for it, its arguments and the home a leading "~" stands for.
struct VisionCall {
    VisionService& service;
    const Arguments& arguments;
    const std::string& home;

    std::string path(const char* key) const {
        return expandTilde(tools::textArgument(arguments, key).value_or(""), home);
    }
    ImageRef image(const char* key) const { return service.loadCGImage(path(key)); }
};

json::Value searchFace(VisionCall& call) {
    VisionService& service = call.service;
    const Arguments& arguments = call.arguments;
    const std::string searchPath = call.path("search_path");
    // The reference face comes first: no face there is the answer even for
    // an unknown search type.
    std::optional<FacePrint> print = service.extractTargetFaceFeature(*call.image("target_image_path"));
    if (!print) throw ToolError("VisionService", 404, "No face detected in target image");
    const std::string type = tools::textArgument(arguments, "search_type").value_or("");
    // A whole number arrives as an integer.
    std::optional<double> threshold = tools::doubleArgument(arguments, "threshold");
    if (!threshold) {
        if (auto whole = tools::intArgument(arguments, "threshold")) threshold = static_cast<double>(*whole);
    }
    const double limit = threshold.value_or(kDefaultFaceThreshold);
    if (type == "video") {
        return service.searchFaceInVideo(*print, searchPath, limit,
                                         tools::intArgument(arguments, "sample_interval").value_or(30));
    }
    if (type == "image") return service.searchFaceInImage(*print, searchPath, limit);
    if (type == "folder") return service.searchFaceInFolder(*print, searchPath, limit);
    throw ToolError("VisionService", 400, "Invalid search type");
}

const tools::ToolRow<json::Value (*)(VisionCall&)> kVisionTools[] = {
    {"vision_recognize_text", "Recognize text in an image, with the position of each line.",
     "识别图片中的文字及每行文字的位置。", textSchema(),
     [](VisionCall& call) {
         ImageRef image = call.image("image_path");
         return call.service.recognizeText(
             *image, tools::textArgument(call.arguments, "recognition_level").value_or("accurate"),
             textLanguages(call.arguments));
     }},
    {"vision_detect_barcodes", "Detect and decode barcodes and QR codes in an image.",
     "检测并解码图片中的条形码和二维码。", imagePathSchema(),
     [](VisionCall& call) { return call.service.detectBarcodes(call.path("image_path"), {}); }},
    {"vision_recognize_animals", "Recognize animals (cats and dogs) in an image.", "识别图片中的动物（猫和狗）。", imagePathSchema(),
     [](VisionCall& call) { return call.service.recognizeAnimals(*call.image("image_path")); }},
    {"vision_detect_body_pose", "Detect human body poses in an image.", "检测图片中的人体姿态。", imagePathSchema(),
     [](VisionCall& call) { return call.service.detectBodyPose(*call.image("image_path")); }},
    {"vision_detect_hand_pose", "Detect human hand poses in an image.", "检测图片中的手部姿态。", imagePathSchema(),
     [](VisionCall& call) { return call.service.detectHandPose(*call.image("image_path")); }},
    {"vision_analyze_saliency", "Find the salient regions of an image.", "分析图片中的显著区域。", saliencySchema(),
     [](VisionCall& call) {
         return call.service.analyzeSaliency(call.path("image_path"),
                                             tools::textArgument(call.arguments, "type").value_or("attention"));
     }},
    {"vision_compare_images", "Compare two images and rate how similar they are.", "比较两张图片的相似度。",
     compareSchema(),
     [](VisionCall& call) { return call.service.compareImages(call.path("image_path_1"), call.path("image_path_2")); }},
    {"vision_search_face", "Search for the face of a reference image in a video, an image or a folder.",
     "在视频、图片或文件夹中搜索参考图片中的人脸。", searchFaceSchema(), searchFace},
    {"vision_analyze_video", "Analyze sampled frames of a video: text, faces, animals and poses.",
     "分析视频的采样帧：文字、人脸、动物和姿态。", videoSchema(),
     [](VisionCall& call) {
         return call.service.analyzeVideo(call.path("video_path"),
                                          tools::intArgument(call.arguments, "sample_interval").value_or(30),
                                          videoFeatures(call.arguments));
     }},
};

}  // namespace

std::vector<MCPTool> visionTools() { return tools::toolDefinitions(kVisionTools); }

std::string handleVisionTool(const std::string& name, const Arguments& arguments, const std::string& home,
                             const EngineSource& engine, std::stop_token stop,
                             platform::DiagnosticSink* diagnostics) {
    const auto& tool = tools::toolNamed(kVisionTools, name, "VisionTool", "vision");
    // The schema's required keys, checked before any module is loaded.
    for (const auto& key : *tool.inputSchema.at("required").ifList()) {
        if (!tools::textArgument(arguments, *key.ifText())) {
            throw ToolError("VisionTool", 400, "Missing required parameter: " + *key.ifText());
        }
    }
    VisionService service(engine(), std::move(stop), diagnostics);
    VisionCall call{service, arguments, home};
    return json::write(tool.handler(call), kResultFormat);
}

VisionToolFamily::VisionToolFamily(std::shared_ptr<platform::Environment> environment, EngineSource engine,
                                   std::shared_ptr<platform::DiagnosticSink> diagnostics)
    : environment_(std::move(environment)),
      engine_(engine ? std::move(engine) : EngineSource(loadVisionEngine)),
      diagnostics_(std::move(diagnostics)) {
    if (!environment_) throw std::invalid_argument("VisionToolFamily needs an environment");
}

tools::ToolResult VisionToolFamily::run(const std::string& name, const tools::Arguments& arguments, std::stop_token stop) {
    return handleVisionTool(name, arguments, environment_->homeDirectory(), engine_, std::move(stop),
                            diagnostics_.get());
}

}  // namespace app::vision
