#include "app/ui/window_models.hpp"

#include "app/platform/url_opener.hpp"
#include "json/json.hpp"

#include <climits>
#include <cstdlib>
#include <stdexcept>

#include <unistd.h>

namespace app::ui {

std::string stdioClientConfiguration(const std::string& command) {
    std::string text = "{\n  \"mcpServers\": {\n    \"brisolet\": {\n      \"command\": ";
    json::writeString(text, command);
    text += ",\n      \"args\": []\n    }\n  }\n}";
    return text;
}

std::string brisoletCommand(const std::string& settingsDirectory, const std::string& path) {
    for (const std::string& candidate : {settingsDirectory + "/brisolet", settingsDirectory + "/../hosting/brisolet"}) {
        if (::access(candidate.c_str(), X_OK) != 0) continue;
        char resolved[PATH_MAX];
        return ::realpath(candidate.c_str(), resolved) ? std::string(resolved) : candidate;
    }
    std::string found = platform::findExecutable("brisolet", path);
    return found.empty() ? "brisolet" : found;
}

EndpointRowModel::EndpointRowModel(Fields fields, Scheduler& scheduler,
                                   std::function<void(const std::string&)> pasteboard)
    : fields_(std::move(fields)), scheduler_(scheduler), pasteboard_(std::move(pasteboard)) {}

EndpointRowModel::State EndpointRowModel::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void EndpointRowModel::update(const std::function<void(State&)>& change) {
    {
        std::lock_guard lock(mutex_);
        change(state_);
    }
    changed_.send();
}

void EndpointRowModel::setHovered(bool hovered) {
    update([&](State& s) { s.isHovered = hovered; });
}

void EndpointRowModel::copyToPasteboard(const std::string& text) {
    if (text.empty()) return;
    if (pasteboard_) pasteboard_(text);
    if (tipTask_) tipTask_->cancel();
    update([](State& s) { s.showCopiedTip = true; });
    // Only the last copy's task hides the tip: earlier ones are cancelled.
    tipTask_ = scheduler_.after(kCopiedTipDuration, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->update([](State& s) { s.showCopiedTip = false; });
    });
}

PermissionsPanelModel::PermissionsPanelModel(std::shared_ptr<tools::EventKitService> eventKit, Scheduler& scheduler)
    : eventKit_(std::move(eventKit)), scheduler_(scheduler) {
    if (!eventKit_) throw std::invalid_argument("PermissionsPanelModel needs the calendar service");
}

PermissionsPanelModel::State PermissionsPanelModel::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

bool PermissionsPanelModel::showsRequestButton(const std::string& status) {
    return status.find("authorized") == std::string::npos;
}

void PermissionsPanelModel::refresh(std::optional<bool> isRequesting) {
    std::string calendar = eventKit_->calendarStatusText();
    std::string reminders = eventKit_->reminderStatusText();
    {
        std::lock_guard lock(mutex_);
        state_.calendarStatus = std::move(calendar);
        state_.reminderStatus = std::move(reminders);
        if (isRequesting) state_.isRequesting = *isRequesting;
    }
    changed_.send();
}

void PermissionsPanelModel::appear() { refresh(std::nullopt); }

void PermissionsPanelModel::request(bool (tools::EventKitService::*ask)()) {
    {
        std::lock_guard lock(mutex_);
        if (state_.isRequesting) return;
        state_.isRequesting = true;
    }
    changed_.send();
    // The answer itself is not shown: the refreshed status lines tell it.
    scheduler_.background([service = eventKit_, ask] { return ((*service).*ask)(); },
                          [weak = weak_from_this()](bool) {
                              if (auto self = weak.lock()) self->refresh(false);
                          });
}

void PermissionsPanelModel::requestCalendar() { request(&tools::EventKitService::requestCalendarAccess); }
void PermissionsPanelModel::requestReminders() { request(&tools::EventKitService::requestRemindersAccess); }

}  // namespace app::ui
