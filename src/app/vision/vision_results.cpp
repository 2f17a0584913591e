#include "app/vision/vision_results.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

namespace app::vision {

namespace {

double finiteOrZero(double v) { return std::isfinite(v) ? v : 0.0; }

// The observations, or none at all when the results are absent or mixed.
template <class T>
std::vector<const T*> allOfKind(const Results<T>& results) {
    std::vector<const T*> out;
    if (!results) return out;
    for (const auto& observation : *results) {
        if (!observation) return {};
        out.push_back(&*observation);
    }
    return out;
}

json::Value successWithList(const char* countKey, const char* listKey, json::Array list) {
    json::Object result;
    result.set("success", true);
    result.set(countKey, static_cast<long long>(list.size()));
    result.set(listKey, std::move(list));
    return result;
}

// Reported angles as they are; an unreported one as the integer 0.
json::Value angleNumber(const std::optional<double>& angle) {
    if (!angle || !std::isfinite(*angle)) return json::Value(0);
    return json::Value(*angle);
}

json::Value poseResult(const Results<PoseObservation>& results, std::span<const std::string_view> joints,
                       const char* listKey) {
    json::Array poses;
    for (const PoseObservation* pose : allOfKind(results)) {
        json::Object points;
        for (std::string_view joint : joints) {
            auto found = pose->joints.find(std::string(joint));
            if (found == pose->joints.end()) continue;
            const PosePoint& p = found->second;
            if (!(p.confidence > 0.0f)) continue;
            points.set(std::string(joint), json::Object{{"x", finiteOrZero(p.x)},
                                                        {"y", finiteOrZero(p.y)},
                                                        {"confidence", confidenceNumber(p.confidence)}});
        }
        poses.push_back(json::Object{{"confidence", confidenceNumber(pose->confidence)}, {"points", std::move(points)}});
    }
    return successWithList("count", listKey, std::move(poses));
}

}  // namespace

json::Value confidenceNumber(float confidence) {
    if (!std::isfinite(confidence)) return json::Value(0.0);
    char text[32];
    auto [end, ec] = std::to_chars(text, text + sizeof text, confidence);
    *end = '\0';
    return json::Value(std::strtod(text, nullptr));
}

json::Value boxRecord(const NormalizedBox& box) {
    return json::Object{{"x", finiteOrZero(box.x)},
                        {"y", finiteOrZero(box.y)},
                        {"width", finiteOrZero(box.width)},
                        {"height", finiteOrZero(box.height)}};
}

json::Value textResult(const Results<TextObservation>& results) {
    json::Array blocks;
    std::string fullText;
    for (const TextObservation* line : allOfKind(results)) {
        if (!line->topCandidate) continue;
        const TextCandidate& candidate = *line->topCandidate;
        blocks.push_back(json::Object{{"text", candidate.text},
                                      {"confidence", confidenceNumber(candidate.confidence)},
                                      {"bounding_box", boxRecord(line->box)}});
        if (!fullText.empty()) fullText += '\n';
        fullText += candidate.text;
    }
    return json::Object{{"success", true}, {"text_blocks", std::move(blocks)}, {"full_text", std::move(fullText)}};
}

json::Value faceResult(const Results<FaceObservation>& results) {
    json::Array faces;
    for (const FaceObservation* face : allOfKind(results)) {
        json::Object entry{{"bounding_box", boxRecord(face->box)},
                           {"roll", angleNumber(face->roll)},
                           {"yaw", angleNumber(face->yaw)}};
        if (face->landmarks) {
            json::Object summary;
            const FaceLandmarkCounts& l = *face->landmarks;
            if (l.leftEye) summary.set("left_eye_count", *l.leftEye);
            if (l.rightEye) summary.set("right_eye_count", *l.rightEye);
            if (l.nose) summary.set("nose_point_count", *l.nose);
            if (l.outerLips) summary.set("mouth_point_count", *l.outerLips);
            entry.set("landmarks_summary", std::move(summary));
        }
        faces.push_back(std::move(entry));
    }
    return successWithList("face_count", "faces", std::move(faces));
}

json::Value barcodeResult(const Results<BarcodeObservation>& results) {
    json::Array barcodes;
    for (const BarcodeObservation* code : allOfKind(results)) {
        barcodes.push_back(json::Object{{"symbology", code->symbology},
                                        {"payload", code->payload.value_or("")},
                                        {"bounding_box", boxRecord(code->box)}});
    }
    return successWithList("count", "barcodes", std::move(barcodes));
}

json::Value animalResult(const Results<AnimalObservation>& results) {
    json::Array animals;
    for (const AnimalObservation* animal : allOfKind(results)) {
        json::Array labels;
        for (const ClassificationLabel& label : animal->labels) {
            labels.push_back(
                json::Object{{"identifier", label.identifier}, {"confidence", confidenceNumber(label.confidence)}});
        }
        animals.push_back(json::Object{{"labels", std::move(labels)}, {"bounding_box", boxRecord(animal->box)}});
    }
    return successWithList("count", "animals", std::move(animals));
}

json::Value bodyPoseResult(const Results<PoseObservation>& results) {
    return poseResult(results, kBodyJoints, "poses");
}

json::Value handPoseResult(const Results<PoseObservation>& results) {
    return poseResult(results, kHandJoints, "hands");
}

json::Value saliencyResult(const Results<SaliencyObservation>& results) {
    json::Array regions;
    for (const SaliencyObservation* observation : allOfKind(results)) {
        for (const SalientObject& object : observation->salientObjects) {
            regions.push_back(
                json::Object{{"confidence", confidenceNumber(object.confidence)}, {"bounding_box", boxRecord(object.box)}});
        }
    }
    return successWithList("count", "regions", std::move(regions));
}

}  // namespace app::vision
