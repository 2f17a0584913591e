# Planted faults in the settings program (same format as the shared list).
M = [
('U1', 'app/ui', 'src/app/ui/window_models.cpp', 'A second copy leaves the first tip task running', '    if (tipTask_) tipTask_->cancel();\n', ''),
('U2', 'app/ui', 'src/app/ui/permission_manager.cpp', 'Write-only access counts as granted', '    case 3: return PermissionStatus::Granted;', '    case 3:\n    case 4: return PermissionStatus::Granted;'),
('U3', 'app/ui', 'src/app/ui/onboarding_model.cpp', 'A refused request leaves the switch unwritten', '(bool answer) { registry->setEnabled(s, answer); };', '(bool answer) { if (answer) registry->setEnabled(s, answer); };'),
('U4', 'app/ui', 'src/app/ui/onboarding_model.cpp', 'The guide switches everything off on every step', '    if (state().currentStep == 1) registry_->disableAllTools();', '    registry_->disableAllTools();'),
('U5', 'app/ui', 'src/app/ui/window_models.cpp', 'A second request while one runs is not refused', '        if (state_.isRequesting) return;\n', ''),
('U6', 'app/ui', 'src/app/ui/permission_manager.cpp', 'Checking accessibility prompts the user', 'services_.trust->isProcessTrusted(false)', 'services_.trust->isProcessTrusted(true)'),
('U8', 'app/ui', 'src/app/ui/onboarding_model.cpp', 'Finishing with the guide closed stores nothing', '    defaults_->setBool(kCompletedKey, true);\n    if (!open_) return;', '    if (!open_) return;\n    defaults_->setBool(kCompletedKey, true);'),
('U9', 'app/ui', 'src/app/ui/window_models.cpp', 'Client configuration path not escaped', '    json::writeString(text, command);', '    text += "\\"" + command + "\\"";'),
('U12', 'app/ui', 'src/app/ui/scheduler.cpp', 'A timer cancelled after it fell due still runs', '                if (!timer->isCancelled()) job();', '                job();'),
('U13', 'app/ui', 'src/app/ui/window_models.cpp', 'The panel stays requesting after the answer', 'if (auto self = weak.lock()) self->refresh(false);', 'if (auto self = weak.lock()) self->refresh(std::nullopt);'),
]
