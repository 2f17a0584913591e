// The main window's view models: one endpoint row (copy with a tip that hides
// itself) and the permissions panel (status lines, access requests). They
// live on the main executor; state() may be read from any thread, and
// changed() fires on the executor after every change of state. Made with
// std::make_shared: a job that outlives its model is dropped.
#pragma once

#include "app/tools/calendar/event_kit_service.hpp"
#include "app/tools/registry/change_signal.hpp"
#include "app/ui/scheduler.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace app::ui {

inline constexpr std::chrono::milliseconds kCopiedTipDuration{2000};

// What a client puts in its configuration to start `command` over standard
// input and output, as the README shows it.
std::string stdioClientConfiguration(const std::string& command);

// The brisolet executable of this installation: beside the settings program,
// else in the build tree's hosting folder next to its ui folder, else the
// first on `path` (a PATH value), else the bare name.
std::string brisoletCommand(const std::string& settingsDirectory, const std::string& path);

class EndpointRowModel : public std::enable_shared_from_this<EndpointRowModel> {
public:
    struct Fields {
        std::string badge;
        std::string content;
        std::optional<std::string> copyLink;
        std::optional<std::string> copyJSON;
    };
    struct State {
        bool isHovered = false;
        bool showCopiedTip = false;  // the row shows "已复制"
    };

    // `pasteboard` replaces the clipboard's content with plain text.
    EndpointRowModel(Fields fields, Scheduler& scheduler, std::function<void(const std::string&)> pasteboard);

    const Fields& fields() const { return fields_; }
    State state() const;
    tools::ChangeSignal& changed() { return changed_; }

    void setHovered(bool hovered);
    // Nothing for an empty text; otherwise the text goes to the pasteboard and
    // the tip shows until kCopiedTipDuration after the last copy.
    void copyToPasteboard(const std::string& text);
    void copyLink() { copyToPasteboard(fields_.copyLink.value_or("")); }
    void copyJSON() { copyToPasteboard(fields_.copyJSON.value_or("")); }

private:
    void update(const std::function<void(State&)>& change);

    const Fields fields_;
    Scheduler& scheduler_;
    std::function<void(const std::string&)> pasteboard_;
    std::shared_ptr<Timer> tipTask_;  // executor only
    mutable std::mutex mutex_;
    State state_;
    tools::ChangeSignal changed_;
};

class PermissionsPanelModel : public std::enable_shared_from_this<PermissionsPanelModel> {
public:
    struct State {
        std::string calendarStatus;
        std::string reminderStatus;
        bool isRequesting = false;
    };

    PermissionsPanelModel(std::shared_ptr<tools::EventKitService> eventKit, Scheduler& scheduler);

    State state() const;
    tools::ChangeSignal& changed() { return changed_; }

    // A row offers its request button while its status is not "authorized".
    static bool showsRequestButton(const std::string& status);

    // The panel came into view: both status lines read anew.
    void appear();
    // Asks in the background; both lines are read again when it answers.
    // Ignored while a request is running (the buttons are disabled then).
    void requestCalendar();
    void requestReminders();

private:
    void request(bool (tools::EventKitService::*ask)());
    void refresh(std::optional<bool> isRequesting);

    std::shared_ptr<tools::EventKitService> eventKit_;
    Scheduler& scheduler_;
    mutable std::mutex mutex_;
    State state_;
    tools::ChangeSignal changed_;
};

}  // namespace app::ui
