// Model changes arrive on the main executor; widgets are drawn on the GUI thread.
#pragma once

#include "app/tools/registry/change_signal.hpp"
#include "app/ui/scheduler.hpp"

#include <QCoreApplication>
#include <QPointer>

#include <memory>
#include <type_traits>

namespace app::ui {

// For each change the signal announces, runs widget->render() on the GUI
// thread, while the widget lives.
template <class Widget>
tools::ChangeSignal::Subscription renderOnGuiThread(Widget* widget, tools::ChangeSignal& changed) {
    QPointer<Widget> self(widget);
    return changed.subscribe([self] {
        QMetaObject::invokeMethod(qApp, [self] {
            if (self) self->render();
        }, Qt::QueuedConnection);
    });
}

// Runs job on the GUI thread.
template <class F>
void onGuiThread(F job) {
    QMetaObject::invokeMethod(qApp, std::move(job), Qt::QueuedConnection);
}

// Runs (model->*action)(args...) on the main executor, where models live.
template <class Model, class... Args>
void postAction(Scheduler& scheduler, const std::shared_ptr<Model>& model, void (Model::*action)(Args...),
                std::type_identity_t<Args>... args) {
    scheduler.post([model, action, args...] { ((*model).*action)(args...); });
}

}  // namespace app::ui
