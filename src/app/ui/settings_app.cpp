#include "app/ui/settings_app.hpp"

#include "app/platform/defaults_store.hpp"
#include "app/platform/environment.hpp"
#include "app/platform/store_database.hpp"
#include "app/platform/url_opener.hpp"
#include "app/ui/artwork.hpp"
#include "app/ui/gui_thread.hpp"
#include "app/ui/main_window.hpp"
#include "app/ui/onboarding_window.hpp"

#include <QApplication>
#include <QClipboard>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QScreen>
#include <QSystemTrayIcon>

#include <cstdlib>
#include <stdexcept>

namespace app::ui {

namespace {

// Where the desktop's own accessibility settings are, if it has them.
struct DesktopPanel {
    const char* program;
    const char* argument;
};
constexpr DesktopPanel kAccessibilityPanels[] = {
    {"gnome-control-center", "universal-access"},
    {"systemsettings", "kcm_access"},
    {"xfce4-accessibility-settings", nullptr},
};

void notify(const QString& text) {
    auto* box = new QMessageBox(QMessageBox::Information, QStringLiteral("Brisolet"), text);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setObjectName(QStringLiteral("settingsNotice"));
    box->open();  // never blocks the caller
}

class QtSettingsPanes : public SettingsPanes {
public:
    explicit QtSettingsPanes(QPointer<SettingsApp> app) : app_(std::move(app)) {}

    void showPermissionsPanel() override {
        onGuiThread([app = app_] {
            if (app) app->showMainWindow();
        });
    }

    void openAccessibilitySettings() override {
        onGuiThread([] {
            const char* path = std::getenv("PATH");
            for (const DesktopPanel& panel : kAccessibilityPanels) {
                std::string program = platform::findExecutable(panel.program, path ? path : "");
                if (program.empty()) continue;
                QStringList arguments;
                if (panel.argument) arguments << QString::fromUtf8(panel.argument);
                if (QProcess::startDetached(QString::fromStdString(program), arguments)) return;
            }
            notify(QStringLiteral("这个桌面没有辅助功能设置面板。桌面控制需要 X11 会话和辅助功能总线（AT-SPI）。"));
        });
    }

    void explainFullDiskAccess(const std::string& path) override {
        onGuiThread([path] {
            notify(QStringLiteral("请让这个文件对当前用户可读：\n%1").arg(QString::fromStdString(path)));
        });
    }

private:
    QPointer<SettingsApp> app_;
};

std::shared_ptr<PermissionManager> makePermissions(const platform::Platform& platform,
                                                   std::shared_ptr<tools::EventKitService> eventKit,
                                                   std::shared_ptr<SettingsPanes> panes) {
    PermissionManager::Services services;
    services.eventKit = std::move(eventKit);
    services.contacts = std::make_shared<tools::ContactsManager>(platform.contactStore, platform.diagnostics);
    services.trust = platform.accessibilityTrust;
    services.messagesDatabasePath = platform::messagesDatabasePath(*platform.environment);
    services.panes = std::move(panes);
    services.diagnostics = platform.diagnostics;
    return std::make_shared<PermissionManager>(std::move(services));
}

const platform::Platform& checked(const platform::Platform& p) {
    if (!p.defaults || !p.environment || !p.scriptHost || !p.eventStore || !p.contactStore || !p.diagnostics)
        throw std::invalid_argument("the settings program needs the platform's stores and environment");
    return p;
}

platform::Platform withDefaults(platform::Platform p, std::shared_ptr<platform::DefaultsStore> defaults) {
    p.defaults = std::move(defaults);
    return p;
}

}  // namespace

SettingsApp::SettingsApp(rt::MainExecutor& executor, platform::Platform platform, Options options)
    : saved_(std::make_shared<SavedDefaults>(platform::defaultsFilePath(*checked(platform).environment),
                                             platform.diagnostics)),
      platform_(withDefaults(platform, saved_)),
      scheduler_(executor),
      // The program changes switches only; the families' tools are the server's.
      registry_(std::make_shared<tools::LocalToolService>(platform_.defaults, executor,
                                                          std::vector<std::unique_ptr<tools::ToolFamily>>{})),
      eventKit_(std::make_shared<tools::EventKitService>(platform_.eventStore, platform_.diagnostics)),
      permissions_(makePermissions(platform_, eventKit_, std::make_shared<QtSettingsPanes>(QPointer(this)))),
      presenter_(platform_.defaults, [this] { openOnboarding(); }, [this] { closeOnboarding(); }),
      useTray_(options.useTray) {
    const std::string configuration = stdioClientConfiguration(options.brisoletCommand);
    endpoint_ = std::make_shared<EndpointRowModel>(
        EndpointRowModel::Fields{"STDIO", configuration, std::nullopt, configuration}, scheduler_,
        [](const std::string& text) {
            onGuiThread([content = QString::fromStdString(text)] { QGuiApplication::clipboard()->setText(content); });
        });
    panel_ = std::make_shared<PermissionsPanelModel>(eventKit_, scheduler_);
    saveFailures_ = saved_->saveFailed().subscribe([self = QPointer(this)] {
        onGuiThread([self] {
            if (self) self->reportSaveFailure();
        });
    });
}

void SettingsApp::reportSaveFailure() {
    // The switches read the file again, so they show what it holds.
    scheduler_.post([registry = registry_] { registry->reloadFromStore(); });
    const QString reason = QString::fromStdString(saved_->lastFailure());
    if (onboarding_)
        onboarding_->showSaveFailure(reason);
    else
        notify(QStringLiteral("设置未能保存：") + reason);
}

void SettingsApp::raiseRunning() {
    QWidget* window = onboarding_ ? static_cast<QWidget*>(onboarding_.data()) : nullptr;
    if (!window) return showMainWindow();
    window->show();
    window->raise();
    window->activateWindow();
}

SettingsApp::~SettingsApp() {
    saveFailures_.cancel();
    delete onboarding_.data();
    delete mainWindow_.data();
}

void SettingsApp::start() {
    if (useTray_ && QSystemTrayIcon::isSystemTrayAvailable()) {
        tray_ = new QSystemTrayIcon(QIcon(symbol(QStringLiteral("server.rack"), 64, Qt::black)), this);
        tray_->setToolTip(QStringLiteral("Brisolet"));
        auto* menu = new QMenu;
        menu->addAction(QStringLiteral("打开设置"), this, &SettingsApp::showMainWindow);
        menu->addAction(QStringLiteral("退出"), qApp, &QCoreApplication::quit);
        tray_->setContextMenu(menu);
        connect(tray_, &QSystemTrayIcon::destroyed, menu, &QObject::deleteLater);
        connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) showMainWindow();
        });
        tray_->show();
        qApp->setQuitOnLastWindowClosed(false);
    } else {
        showMainWindow();
    }
    presenter_.showOnboarding();
}

void SettingsApp::showMainWindow() {
    if (!mainWindow_) mainWindow_ = new MainWindow(endpoint_, panel_, scheduler_);
    mainWindow_->show();
    mainWindow_->raise();
    mainWindow_->activateWindow();
}

void SettingsApp::openOnboarding() {
    auto model = OnboardingModel::make(registry_, permissions_, scheduler_, [self = QPointer(this)] {
        // Called on the executor; the window belongs to the GUI thread.
        onGuiThread([self] {
            if (self) self->presenter_.finishOnboarding();
        });
    });
    onboarding_ = new OnboardingWindow(std::move(model), scheduler_);
    // The guide may have granted access: the panel reads its lines anew.
    connect(onboarding_, &OnboardingWindow::closed, this,
            [this] { postAction(scheduler_, panel_, &PermissionsPanelModel::appear); });
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = onboarding_->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        onboarding_->move(frame.topLeft());
    }
    onboarding_->show();
    onboarding_->raise();
    onboarding_->activateWindow();
}

void SettingsApp::closeOnboarding() {
    if (!onboarding_) return;
    onboarding_->close();
    onboarding_->deleteLater();
}

}  // namespace app::ui
