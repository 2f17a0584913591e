// The settings program: the first-run guide, the client configuration to
// copy and the permissions, over the same user files the server reads.
#include "app/platform/defaults_store.hpp"
#include "app/platform/environment.hpp"
#include "app/platform/linux_platform.hpp"
#include "app/ui/settings_app.hpp"
#include "app/ui/single_instance.hpp"
#include "app/ui/window_models.hpp"
#include "runtime/runtime.hpp"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <exception>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("brisolet-settings"));
    try {
        // The executor outlives the program object, whose jobs it may still hold.
        rt::MainExecutor executor;
        const char* path = std::getenv("PATH");
        app::ui::SettingsApp::Options options;
        options.brisoletCommand =
            app::ui::brisoletCommand(QCoreApplication::applicationDirPath().toStdString(), path ? path : "");
        int status = 0;
        {
            app::platform::Platform platform = app::platform::makeLinuxPlatform();
            // A second start brings the running one forward and ends.
            app::ui::SingleInstance instance(
                app::ui::singleInstanceName(app::platform::defaultsFilePath(*platform.environment)));
            if (!instance.claim()) {
                std::fprintf(stderr, "brisolet-settings: already running; brought it to the front\n");
                return 0;
            }
            app::ui::SettingsApp settings(executor, std::move(platform), options);
            QObject::connect(&instance, &app::ui::SingleInstance::raiseRequested, &settings,
                             &app::ui::SettingsApp::raiseRunning);
            settings.start();
            status = QApplication::exec();
            executor.drain();
        }
        return status;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "brisolet-settings: %s\n", e.what());
        return 1;
    }
}
