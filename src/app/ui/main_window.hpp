// The main window: the endpoint row with the client configuration to copy,
// and the permissions panel for calendar and reminders.
#pragma once

#include "app/ui/scheduler.hpp"
#include "app/ui/window_models.hpp"

#include <QFrame>
#include <QWidget>

#include <memory>

class QLabel;
class QPushButton;

namespace app::ui {

class EndpointRowWidget : public QFrame {
    Q_OBJECT
public:
    EndpointRowWidget(std::shared_ptr<EndpointRowModel> model, Scheduler& scheduler, QWidget* parent = nullptr);
    ~EndpointRowWidget() override;

    void render();

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:

    std::shared_ptr<EndpointRowModel> model_;
    Scheduler& scheduler_;
    tools::ChangeSignal::Subscription subscription_;
    QLabel* tip_ = nullptr;
};

class PermissionsPanelWidget : public QFrame {
    Q_OBJECT
public:
    PermissionsPanelWidget(std::shared_ptr<PermissionsPanelModel> model, Scheduler& scheduler,
                           QWidget* parent = nullptr);
    ~PermissionsPanelWidget() override;

    void render();

protected:
    void showEvent(QShowEvent* event) override;

private:

    std::shared_ptr<PermissionsPanelModel> model_;
    Scheduler& scheduler_;
    tools::ChangeSignal::Subscription subscription_;
    QLabel* calendarStatus_ = nullptr;
    QLabel* reminderStatus_ = nullptr;
    QPushButton* calendarRequest_ = nullptr;
    QPushButton* reminderRequest_ = nullptr;
};

class MainWindow : public QWidget {
    Q_OBJECT
public:
    MainWindow(std::shared_ptr<EndpointRowModel> endpoint, std::shared_ptr<PermissionsPanelModel> permissions,
               Scheduler& scheduler, QWidget* parent = nullptr);
};

}  // namespace app::ui
