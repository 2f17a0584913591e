// The first-run guide's view model: four steps (welcome, permissions, tool
// choice, done), the one-second permission poll, the six tool switches and
// the finish; and the presenter that opens the guide at start and ends it.
// Lives on the main executor like the window models (made with make();
// state() readable from any thread; changed() fires on the executor).
#pragma once

#include "app/platform/defaults_store.hpp"
#include "app/tools/registry/local_tool_service.hpp"
#include "app/ui/default_applications.hpp"
#include "app/ui/permission_manager.hpp"
#include "app/ui/scheduler.hpp"

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace app::ui {

inline constexpr std::chrono::milliseconds kPermissionPollInterval{1000};
inline constexpr int kOnboardingSteps = 4;

enum class EnableAction { CalendarRequest, RemindersRequest, ContactsRequest, FullDiskAccessPane, None };

// One row of the tool page, in the order shown. Its icon is the one of the
// user's default application for the kind of data the family handles.
struct ToolRow {
    const char* title;
    const char* subtitle;
    const char* mimeType;      // whose default handler's icon is shown
    const char* otherHandler;  // the desktop entry used when there is no default handler, or null
    const char* symbol;        // drawn when there is no application icon
    tools::ToolSwitch toolSwitch;
    EnableAction enable;
};

inline constexpr std::array<ToolRow, 6> kToolRows = {{
    {"日历", "允许 AI 读取和创建您的日程", "text/calendar", nullptr, "calendar", tools::ToolSwitch::Calendar,
     EnableAction::CalendarRequest},
    {"提醒事项", "允许 AI 查看和管理您的待办", "text/calendar", nullptr, "checklist", tools::ToolSwitch::Reminders,
     EnableAction::RemindersRequest},
    {"通讯录", "允许 AI 查找您的联系信息", "text/vcard", nullptr, "person.circle", tools::ToolSwitch::Contacts,
     EnableAction::ContactsRequest},
    {"信息", "允许 AI 读取和发送 iMessage", "x-scheme-handler/sms", "org.kde.kdeconnect.sms.desktop", "message",
     tools::ToolSwitch::Messages, EnableAction::FullDiskAccessPane},
    {"邮件", "允许 AI 读取和发送邮件", "x-scheme-handler/mailto", nullptr, "envelope", tools::ToolSwitch::Mail,
     EnableAction::None},
    {"音乐", "允许 AI 控制音乐播放", "audio/mpeg", nullptr, "music.note", tools::ToolSwitch::Music, EnableAction::None},
}};

// The application whose icon a row shows: the default handler of its kind of
// data, else its other handler when installed; nothing when neither is.
std::optional<DesktopEntry> applicationFor(const ToolRow& row, const XdgFolders& folders);

class OnboardingModel : public std::enable_shared_from_this<OnboardingModel> {
public:
    struct State {
        int currentStep = 1;
        bool isAccessibilityEnabled = false;
        bool isFullDiskAccessEnabled = false;
        bool isPolling = false;
        std::array<bool, kToolRows.size()> switches{};  // the registry's values, not the clicks
    };

    // Throws std::invalid_argument for a null registry or permission manager.
    static std::shared_ptr<OnboardingModel> make(std::shared_ptr<tools::LocalToolService> registry,
                                                 std::shared_ptr<PermissionManager> permissions, Scheduler& scheduler,
                                                 std::function<void()> onFinished);
    OnboardingModel(std::shared_ptr<tools::LocalToolService> registry, std::shared_ptr<PermissionManager> permissions,
                    Scheduler& scheduler, std::function<void()> onFinished);  // use make()
    ~OnboardingModel();

    State state() const;
    tools::ChangeSignal& changed() { return changed_; }

    // The guide was shown: on step 1 every family is switched off.
    void appear();
    void enter();  // page 1's button: step 2
    void next();   // at most step 4
    void back();   // at least step 1

    // The poll runs from start to stop (the guide's showing to its closing).
    void startPoll();
    void stopPoll();
    void checkPermissionsNow();

    // Page 2's buttons.
    void enableAccessibility();
    void enableFullDiskAccess();

    // A row's switch written by the user. Off takes effect at once; on runs
    // the row's enable action and then writes its answer.
    void setRowSwitch(std::size_t row, bool on);

    // Page 4's button.
    void finish();

private:
    void publish(const std::function<void(State&)>& change = {});
    void tick();

    std::shared_ptr<tools::LocalToolService> registry_;
    std::shared_ptr<PermissionManager> permissions_;
    Scheduler& scheduler_;
    std::function<void()> onFinished_;
    std::shared_ptr<Timer> poll_;  // executor only
    tools::ChangeSignal::Subscription registryChanges_;
    mutable std::mutex mutex_;
    State state_;
    tools::ChangeSignal changed_;
};

// Opens the guide at start unless it was completed, and ends it.
class OnboardingPresenter {
public:
    static constexpr const char* kCompletedKey = "hasCompletedOnboarding";

    // `open` builds and shows the guide's window; `close` closes it.
    OnboardingPresenter(std::shared_ptr<platform::DefaultsStore> defaults, std::function<void()> open,
                        std::function<void()> close);

    // Opens the guide when it was never completed and none is open; true when opened.
    bool showOnboarding();
    // Stores the completion and closes the guide; the guide stays open when
    // the completion could not be stored.
    void finishOnboarding();
    bool isOpen() const { return open_; }

private:
    std::shared_ptr<platform::DefaultsStore> defaults_;
    std::function<void()> openWindow_;
    std::function<void()> closeWindow_;
    bool open_ = false;
};

}  // namespace app::ui
