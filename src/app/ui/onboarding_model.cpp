#include "app/ui/onboarding_model.hpp"

#include <algorithm>
#include <stdexcept>

namespace app::ui {

std::optional<DesktopEntry> applicationFor(const ToolRow& row, const XdgFolders& folders) {
    if (auto handler = defaultApplication(row.mimeType, folders)) return handler;
    if (row.otherHandler) return installedApplication(row.otherHandler, folders);
    return std::nullopt;
}

OnboardingModel::OnboardingModel(std::shared_ptr<tools::LocalToolService> registry,
                                 std::shared_ptr<PermissionManager> permissions, Scheduler& scheduler,
                                 std::function<void()> onFinished)
    : registry_(std::move(registry)), permissions_(std::move(permissions)), scheduler_(scheduler),
      onFinished_(std::move(onFinished)) {
    if (!registry_ || !permissions_) throw std::invalid_argument("OnboardingModel needs the registry and permissions");
    publish();
}

std::shared_ptr<OnboardingModel> OnboardingModel::make(std::shared_ptr<tools::LocalToolService> registry,
                                                       std::shared_ptr<PermissionManager> permissions,
                                                       Scheduler& scheduler, std::function<void()> onFinished) {
    auto model = std::make_shared<OnboardingModel>(std::move(registry), std::move(permissions), scheduler,
                                                   std::move(onFinished));
    // The switches show what the registry holds, whoever wrote it; a change
    // announced while the model goes away finds it gone.
    model->registryChanges_ = model->registry_->objectChanged().subscribe([weak = model->weak_from_this()] {
        if (auto self = weak.lock()) self->publish();
    });
    return model;
}

OnboardingModel::~OnboardingModel() {
    registryChanges_.cancel();
    if (poll_) poll_->cancel();
}

OnboardingModel::State OnboardingModel::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void OnboardingModel::publish(const std::function<void(State&)>& change) {
    std::array<bool, kToolRows.size()> switches{};
    for (std::size_t i = 0; i < kToolRows.size(); ++i) switches[i] = registry_->isEnabled(kToolRows[i].toolSwitch);
    {
        std::lock_guard lock(mutex_);
        state_.switches = switches;
        if (change) change(state_);
    }
    changed_.send();
}

void OnboardingModel::appear() {
    if (state().currentStep == 1) registry_->disableAllTools();
}

void OnboardingModel::enter() {
    publish([](State& s) { s.currentStep = 2; });
}

void OnboardingModel::next() {
    publish([](State& s) { s.currentStep = std::min(s.currentStep + 1, kOnboardingSteps); });
}

void OnboardingModel::back() {
    publish([](State& s) { s.currentStep = std::max(s.currentStep - 1, 1); });
}

void OnboardingModel::startPoll() {
    if (poll_) return;
    checkPermissionsNow();
    tick();
}

void OnboardingModel::tick() {
    poll_ = scheduler_.after(kPermissionPollInterval, [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self || !self->poll_) return;
        self->checkPermissionsNow();
        self->tick();
    });
    publish([](State& s) { s.isPolling = true; });
}

void OnboardingModel::stopPoll() {
    if (!poll_) return;
    poll_->cancel();
    poll_.reset();
    publish([](State& s) { s.isPolling = false; });
}

void OnboardingModel::checkPermissionsNow() {
    bool accessibility = permissions_->checkStatus(PermissionCategory::of(PermissionKind::Accessibility)) ==
                         PermissionStatus::Granted;
    bool fullDisk = permissions_->checkStatus(PermissionCategory::of(PermissionKind::FullDiskAccess)) ==
                    PermissionStatus::Granted;
    publish([&](State& s) {
        s.isAccessibilityEnabled = accessibility;
        s.isFullDiskAccessEnabled = fullDisk;
    });
}

void OnboardingModel::enableAccessibility() {
    permissions_->openSettings(PermissionCategory::of(PermissionKind::Accessibility));
    // Asks with the desktop's prompt where there is one; the poll shows the outcome.
    scheduler_.background(
        [permissions = permissions_] {
            return permissions->requestPermission(PermissionCategory::of(PermissionKind::Accessibility));
        },
        [](bool) {});
}

void OnboardingModel::enableFullDiskAccess() { permissions_->openFullDiskAccessSettings(); }

void OnboardingModel::setRowSwitch(std::size_t row, bool on) {
    if (row >= kToolRows.size()) return;
    const ToolRow& info = kToolRows[row];
    if (!on) {
        registry_->setEnabled(info.toolSwitch, false);
        return;
    }
    // The registry stays as it is until the action answers; the answer is
    // written even when it is off again meanwhile.
    auto write = [registry = registry_, s = info.toolSwitch](bool answer) { registry->setEnabled(s, answer); };
    auto permissions = permissions_;
    switch (info.enable) {
    case EnableAction::CalendarRequest:
        scheduler_.background([permissions] { return permissions->requestCalendarPermission(); }, write);
        break;
    case EnableAction::RemindersRequest:
        scheduler_.background([permissions] { return permissions->requestRemindersPermission(); }, write);
        break;
    case EnableAction::ContactsRequest:
        scheduler_.background([permissions] { return permissions->requestContactsPermission(); }, write);
        break;
    case EnableAction::FullDiskAccessPane:
        permissions->openFullDiskAccessSettings();
        scheduler_.post([write] { write(true); });
        break;
    case EnableAction::None: scheduler_.post([write] { write(true); }); break;
    }
}

void OnboardingModel::finish() {
    if (onFinished_) onFinished_();
}

OnboardingPresenter::OnboardingPresenter(std::shared_ptr<platform::DefaultsStore> defaults, std::function<void()> open,
                                         std::function<void()> close)
    : defaults_(std::move(defaults)), openWindow_(std::move(open)), closeWindow_(std::move(close)) {
    if (!defaults_) throw std::invalid_argument("OnboardingPresenter needs the user defaults");
}

bool OnboardingPresenter::showOnboarding() {
    if (open_ || defaults_->boolean(kCompletedKey)) return false;
    open_ = true;
    openWindow_();
    return true;
}

void OnboardingPresenter::finishOnboarding() {
    defaults_->setBool(kCompletedKey, true);
    // Not stored: the guide stays, or it would come back at the next start.
    if (!open_ || !defaults_->boolean(kCompletedKey)) return;
    open_ = false;
    closeWindow_();
}

}  // namespace app::ui
