#include "app/ui/main_window.hpp"

#include "app/ui/artwork.hpp"
#include "app/ui/gui_thread.hpp"

#include <QApplication>
#include <QClipboard>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace app::ui {

EndpointRowWidget::EndpointRowWidget(std::shared_ptr<EndpointRowModel> model, Scheduler& scheduler, QWidget* parent)
    : QFrame(parent), model_(std::move(model)), scheduler_(scheduler) {
    setObjectName(QStringLiteral("endpointRow"));
    setStyleSheet(QStringLiteral("#endpointRow { background: rgba(0, 0, 0, 10); border-radius: 10px; }"));
    const auto& fields = model_->fields();
    auto* layout = new QVBoxLayout(this);
    auto* head = new QHBoxLayout;
    auto* badge = new QLabel(QString::fromStdString(fields.badge));
    badge->setStyleSheet(QStringLiteral("background: #2563eb; color: white; border-radius: 6px; padding: 2px 8px;"));
    head->addWidget(badge);
    head->addStretch();
    tip_ = new QLabel(QStringLiteral("已复制"));
    tip_->setObjectName(QStringLiteral("copiedTip"));
    tip_->setFont(pageFont(12));
    head->addWidget(tip_);
    // A copy button only for a text there is.
    auto addCopy = [&](const std::optional<std::string>& text, const QString& title, const char* name,
                       void (EndpointRowModel::*action)()) {
        if (!text) return;
        auto* button = new QPushButton(title);
        button->setObjectName(QLatin1String(name));
        button->setFont(pageFont(12));
        connect(button, &QPushButton::clicked, this,
                [this, action] { postAction(scheduler_, model_, action); });
        head->addWidget(button);
    };
    addCopy(fields.copyLink, QStringLiteral("复制链接"), "copyLinkButton", &EndpointRowModel::copyLink);
    addCopy(fields.copyJSON, QStringLiteral("复制 JSON"), "copyJSONButton", &EndpointRowModel::copyJSON);
    layout->addLayout(head);
    auto* content = new QLabel(QString::fromStdString(fields.content));
    content->setObjectName(QStringLiteral("endpointContent"));
    content->setFont(QFont(QStringLiteral("monospace"), 9));
    content->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(content);
    subscription_ = renderOnGuiThread(this, model_->changed());
    render();
}

EndpointRowWidget::~EndpointRowWidget() { subscription_.cancel(); }

void EndpointRowWidget::enterEvent(QEnterEvent* event) {
    QFrame::enterEvent(event);
    postAction(scheduler_, model_, &EndpointRowModel::setHovered, true);
}

void EndpointRowWidget::leaveEvent(QEvent* event) {
    QFrame::leaveEvent(event);
    postAction(scheduler_, model_, &EndpointRowModel::setHovered, false);
}

void EndpointRowWidget::render() {
    const auto state = model_->state();
    tip_->setVisible(state.showCopiedTip);
    setStyleSheet(state.isHovered ? QStringLiteral("#endpointRow { background: rgba(0, 0, 0, 20); border-radius: 10px; }")
                                  : QStringLiteral("#endpointRow { background: rgba(0, 0, 0, 10); border-radius: 10px; }"));
}

PermissionsPanelWidget::PermissionsPanelWidget(std::shared_ptr<PermissionsPanelModel> model, Scheduler& scheduler,
                                               QWidget* parent)
    : QFrame(parent), model_(std::move(model)), scheduler_(scheduler) {
    auto* grid = new QGridLayout(this);
    auto* heading = new QLabel(QStringLiteral("权限"));
    heading->setFont(pageFont(15, QFont::DemiBold));
    grid->addWidget(heading, 0, 0, 1, 3);
    struct Row {
        const char* title;
        QLabel** status;
        QPushButton** button;
        const char* name;
        void (PermissionsPanelModel::*request)();
    };
    const Row rows[] = {
        {"日历", &calendarStatus_, &calendarRequest_, "calendarRequestButton", &PermissionsPanelModel::requestCalendar},
        {"提醒事项", &reminderStatus_, &reminderRequest_, "reminderRequestButton",
         &PermissionsPanelModel::requestReminders},
    };
    int line = 1;
    for (const Row& r : rows) {
        auto* title = new QLabel(QString::fromUtf8(r.title));
        title->setFont(pageFont(13));
        grid->addWidget(title, line, 0);
        *r.status = new QLabel;
        (*r.status)->setObjectName(QLatin1String(r.name) + QStringLiteral("Status"));
        (*r.status)->setFont(pageFont(13));
        grid->addWidget(*r.status, line, 1);
        *r.button = new QPushButton(QStringLiteral("请求"));
        (*r.button)->setObjectName(QLatin1String(r.name));
        (*r.button)->setFont(pageFont(13));
        auto request = r.request;
        connect(*r.button, &QPushButton::clicked, this,
                [this, request] { postAction(scheduler_, model_, request); });
        (*r.button)->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        grid->addWidget(*r.button, line, 2);
        ++line;
    }
    grid->setColumnStretch(1, 1);
    subscription_ = renderOnGuiThread(this, model_->changed());
    render();
}

PermissionsPanelWidget::~PermissionsPanelWidget() { subscription_.cancel(); }

void PermissionsPanelWidget::showEvent(QShowEvent* event) {
    QFrame::showEvent(event);
    postAction(scheduler_, model_, &PermissionsPanelModel::appear);
}

void PermissionsPanelWidget::render() {
    const auto state = model_->state();
    calendarStatus_->setText(QString::fromStdString(state.calendarStatus));
    reminderStatus_->setText(QString::fromStdString(state.reminderStatus));
    calendarRequest_->setVisible(PermissionsPanelModel::showsRequestButton(state.calendarStatus));
    reminderRequest_->setVisible(PermissionsPanelModel::showsRequestButton(state.reminderStatus));
    calendarRequest_->setEnabled(!state.isRequesting);
    reminderRequest_->setEnabled(!state.isRequesting);
}

MainWindow::MainWindow(std::shared_ptr<EndpointRowModel> endpoint, std::shared_ptr<PermissionsPanelModel> permissions,
                       Scheduler& scheduler, QWidget* parent)
    : QWidget(parent) {
    setWindowTitle(QStringLiteral("Brisolet"));
    setWindowIcon(QIcon(symbol(QStringLiteral("server.rack"), 64, Qt::black)));
    auto* layout = new QVBoxLayout(this);
    auto* title = new QLabel(QStringLiteral("本机服务"));
    title->setObjectName(QStringLiteral("mainTitle"));
    title->setFont(pageFont(18, QFont::DemiBold));
    layout->addWidget(title);
    layout->addWidget(new EndpointRowWidget(std::move(endpoint), scheduler));
    auto* panel = new PermissionsPanelWidget(std::move(permissions), scheduler);
    panel->setObjectName(QStringLiteral("permissionsPanel"));
    layout->addWidget(panel);
    layout->addStretch();
    resize(520, 420);
}

}  // namespace app::ui
