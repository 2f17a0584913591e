// The settings program as a whole: the services over the user's files, the
// view models on the main executor, the main window (from the tray icon when
// the desktop has a tray, else shown at once) and the first-run guide. What
// it shows of the user defaults is what the file holds; a change that could
// not be saved is reported in the guide (or a notice) and undone on screen.
#pragma once

#include "app/platform/platform.hpp"
#include "app/tools/registry/local_tool_service.hpp"
#include "app/ui/main_window.hpp"
#include "app/ui/onboarding_model.hpp"
#include "app/ui/onboarding_window.hpp"
#include "app/ui/permission_manager.hpp"
#include "app/ui/saved_defaults.hpp"
#include "app/ui/scheduler.hpp"
#include "app/ui/window_models.hpp"

#include <QObject>
#include <QPointer>

#include <memory>
#include <string>

class QSystemTrayIcon;

namespace app::ui {

class SettingsApp : public QObject {
    Q_OBJECT
public:
    struct Options {
        std::string brisoletCommand;  // shown in the client configuration
        bool useTray = true;          // tests show the window directly
    };

    // Needs the platform's defaults, environment, script host, event store,
    // contact store and diagnostics (std::invalid_argument otherwise). Call
    // on the GUI thread; the executor must outlive this object.
    SettingsApp(rt::MainExecutor& executor, platform::Platform platform, Options options);
    ~SettingsApp() override;

    // Shows the tray icon or the main window, then the guide unless completed.
    void start();

    MainWindow* mainWindow() const { return mainWindow_.data(); }
    OnboardingWindow* onboardingWindow() const { return onboarding_.data(); }
    QSystemTrayIcon* trayIcon() const { return tray_; }
    Scheduler& scheduler() { return scheduler_; }
    tools::LocalToolService& registry() { return *registry_; }
    PermissionManager& permissions() { return *permissions_; }

    void showMainWindow();
    // A second start of the program asked for this one: the guide while it
    // is open, else the main window, comes to the front.
    void raiseRunning();

private:
    void openOnboarding();
    void closeOnboarding();
    void reportSaveFailure();

    // Made first: the platform's defaults are replaced by it.
    std::shared_ptr<SavedDefaults> saved_;
    platform::Platform platform_;
    ExecutorScheduler scheduler_;
    std::shared_ptr<tools::LocalToolService> registry_;
    std::shared_ptr<tools::EventKitService> eventKit_;
    std::shared_ptr<PermissionManager> permissions_;
    std::shared_ptr<EndpointRowModel> endpoint_;
    std::shared_ptr<PermissionsPanelModel> panel_;
    OnboardingPresenter presenter_;
    QPointer<MainWindow> mainWindow_;
    QPointer<OnboardingWindow> onboarding_;
    QSystemTrayIcon* tray_ = nullptr;
    bool useTray_;
    tools::ChangeSignal::Subscription saveFailures_;
};

}  // namespace app::ui
