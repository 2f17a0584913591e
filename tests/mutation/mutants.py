# Planted faults in the desktop-control family and its platform pieces (same format as the shared list).
# id, module, file, description, text in the file, text that replaces it
M = [
('D1', 'app/tools', 'src/app/tools/desktop/macos_control_tools.cpp', 'Working tools no longer ask the trust check', '        if (!trust.isProcessTrusted(true)) return kDenied;\n', ''),
('D2', 'app/tools', 'src/app/tools/desktop/macos_control_service.cpp', 'One level too many kept (depth limit off by one)', 'if (depth > maxDepth || budget == 0) return std::nullopt;', 'if (depth > maxDepth + 1 || budget == 0) return std::nullopt;'),
('D5', 'app/tools', 'src/app/tools/desktop/macos_control_tools.cpp', 'A pid beyond 32 bits is truncated instead of refused', ' || *pid > std::numeric_limits<std::int32_t>::max()', ''),
('D6', 'app/tools', 'src/app/tools/desktop/macos_control_tools.cpp', 'Whole-number coordinates refused', '    if (auto i = intArgument(arguments, key)) return static_cast<double>(*i);\n', ''),
('D8', 'app/platform', 'src/app/platform/desktop_control.cpp', 'Several windows of one process listed several times', '        if (!seen.insert(window.pid).second) continue;\n', ''),
('D9', 'app/platform', 'src/app/platform/desktop_control.cpp', 'Desktop ids not tried in lower case', 'for (std::string each : {id, asciiLower(id)})', 'for (std::string each : {id})'),
('D10', 'app/platform', 'src/app/platform/desktop_x11/desktop_module.cpp', 'X errors end the process (handler not installed)', '        XSetErrorHandler(skipXError);\n', ''),
('D11', 'app/platform', 'src/app/platform/desktop_x11/desktop_module.cpp', 'Shifted characters typed without Shift', 'shifted = level == 1;', 'shifted = false;'),
('D12', 'app/platform', 'src/app/platform/desktop_x11/desktop_module.cpp', 'Characters the keymap lacks are dropped (no spare keycode)', '        if (keycode == 0) keycode = bind(sym);\n', ''),
('D14', 'app/tools', 'src/app/tools/desktop/macos_control_tools.cpp', 'Slashes left unescaped in the JSON replies', '.escapeSlashes = true', '.escapeSlashes = false'),
('D15', 'app/platform', 'src/app/platform/desktop_x11/desktop_module.cpp', 'CR LF typed as two line breaks', '        if (codePoints == U"\\r\\n") codePoints.remove_prefix(1);\n', ''),
]
