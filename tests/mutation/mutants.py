# Planted faults in the vision family (same format as the shared list).
# id, module, file, description, text in the file, text that replaces it
M = [
('V1', 'app/vision', 'src/app/vision/vision_results.cpp', 'Full text gets a leading newline after an empty first candidate', '        if (!fullText.empty()) fullText += \'\\n\';', '        if (!blocks.empty()) fullText += \'\\n\';'),
('V2', 'app/vision', 'src/app/vision/vision_results.cpp', 'Mixed observation kinds no longer empty the result (skipped instead)', '        if (!observation) return {};', '        if (!observation) continue;'),
('V3', 'app/vision', 'src/app/vision/vision_results.cpp', 'Pose points with confidence 0 kept', '            if (!(p.confidence > 0.0f)) continue;', '            if (p.confidence < 0.0f) continue;'),
('V4', 'app/vision', 'src/app/vision/vision_results.cpp', 'Confidences written as doubles of the float (0.30000001192092896)', '    return json::Value(std::strtod(text, nullptr));', '    return json::Value(static_cast<double>(confidence));'),
('V5', 'app/vision', 'src/app/vision/vision_service.cpp', 'Saliency type compared case-insensitively', '    auto kind = type == "objectness" ? SaliencyKind::Objectness : SaliencyKind::Attention;', '    auto kind = (type == "objectness" || type == "Objectness") ? SaliencyKind::Objectness : SaliencyKind::Attention;'),
('V6', 'app/vision', 'src/app/vision/vision_paths.cpp', 'Anything that exists is taken for a file (FIFOs and devices read)', '    return S_ISREG(st.st_mode) ? PathKind::RegularFile : PathKind::Other;', '    return S_ISDIR(st.st_mode) ? PathKind::Other : PathKind::RegularFile;'),
('V7', 'app/vision', 'src/app/vision/module/engine.cpp', 'Roll sign flipped (y axis not turned upwards)', '    return std::atan2(-(right.y - left.y), right.x - left.x);', '    return std::atan2(right.y - left.y, right.x - left.x);'),
('V8', 'app/vision', 'src/app/vision/module/engine.cpp', 'Rotated canvas rounded outward instead of truncated', '            const cv::Size canvas(static_cast<int>(w), static_cast<int>(h));', '            const cv::Size canvas(static_cast<int>(std::ceil(w)), static_cast<int>(std::ceil(h)));'),
('V9', 'app/vision', 'src/app/vision/module/text_recognition.cpp', 'Loaded languages not checked: missing traineddata reported as success', '        if (std::find(loaded.begin(), loaded.end(), wanted[i]) == loaded.end()) {', '        if (!initialised) {'),
('V10', 'app/vision', 'src/app/vision/module/module_image.hpp', 'Boxes keep the top-left origin', '    return {r.x / w, (h - r.y - r.height) / h, r.width / w, r.height / h};', '    return {r.x / w, r.y / h, r.width / w, r.height / h};'),
('V11', 'app/vision', 'src/app/vision/vision_service.cpp', 'Video sampling steps one frame too far', '         index = count - index > interval ? index + interval : count) {', '         index = count - index > interval ? index + interval + 1 : count) {'),
]
