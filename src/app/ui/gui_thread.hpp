// Model changes arrive on the main executor; widgets are drawn on the GUI thread.
#pragma once

#include "app/tools/registry/change_signal.hpp"

#include <QCoreApplication>
#include <QPointer>

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

}  // namespace app::ui
