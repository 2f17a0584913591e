#include "app/ui/onboarding_window.hpp"

#include "app/ui/artwork.hpp"
#include "app/ui/gui_thread.hpp"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QEasingCurve>
#include <QHBoxLayout>
#include <QLabel>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include <cmath>

namespace app::ui {

namespace {

constexpr int kSlideMilliseconds = 800;

// The buttons draw no frame of their own: keyboard focus gets a ring.
const QString kFocusRing = QStringLiteral("QPushButton:focus { border: 2px solid palette(highlight); }");

QLabel* text(const QString& content, const QFont& font, double opacity = 1.0, QWidget* parent = nullptr) {
    auto* label = new QLabel(content, parent);
    label->setFont(font);
    if (opacity < 1.0) label->setStyleSheet(QStringLiteral("color: rgba(0, 0, 0, %1);").arg(int(opacity * 255)));
    return label;
}

QLabel* picture(const QPixmap& pixmap) {
    auto* label = new QLabel;
    label->setPixmap(pixmap);
    label->setAlignment(Qt::AlignCenter);
    return label;
}

// Filled with the text colour, lettered in the window colour.
QPushButton* primaryButton(const QString& title, const char* name, int width = 160) {
    auto* button = new QPushButton(title);
    button->setObjectName(QLatin1String(name));
    button->setFont(pageFont(16, QFont::Medium));
    button->setFixedSize(width, 44);
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet(QStringLiteral("QPushButton { background: palette(window-text); color: palette(window);"
                                         " border: none; border-radius: 22px; }") +
                          kFocusRing);
    return button;
}

QPushButton* outlineButton(const QString& title, const char* name) {
    auto* button = new QPushButton(title);
    button->setObjectName(QLatin1String(name));
    button->setFont(pageFont(14, QFont::Medium));
    button->setFixedSize(100, 44);
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet(QStringLiteral("QPushButton { background: transparent; color: rgba(0, 0, 0, 153);"
                                         " border: 1px solid rgba(0, 0, 0, 26); border-radius: 22px; }") +
                          kFocusRing);
    return button;
}

QWidget* pageFrame(QVBoxLayout*& layout) {
    auto* page = new QWidget;
    page->setFixedSize(kOnboardingWidth, kOnboardingHeight);
    layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    return page;
}

}  // namespace

qreal OnboardingWindow::springProgress(qreal progress) {
    if (progress >= 1.0) return 1.0;
    if (progress <= 0.0) return 0.0;
    const double omega = 2 * M_PI / 0.5;  // response 0.5 s
    const double zeta = 0.8;
    const double damped = omega * std::sqrt(1 - zeta * zeta);
    const double t = progress * kSlideMilliseconds / 1000.0;
    return 1 - std::exp(-zeta * omega * t) * (std::cos(damped * t) + zeta * omega / damped * std::sin(damped * t));
}

OnboardingWindow::OnboardingWindow(std::shared_ptr<OnboardingModel> model, Scheduler& scheduler, QWidget* parent)
    : QWidget(parent), model_(std::move(model)), scheduler_(scheduler) {
    setWindowTitle(QStringLiteral("Brisolet 引导设置"));
    setFixedSize(kOnboardingWidth, kOnboardingHeight);
    setAutoFillBackground(true);

    // The strip is a child the clip window moves; there is nothing to drag.
    strip_ = new QWidget(this);
    strip_->setGeometry(0, 0, kOnboardingWidth * 4, kOnboardingHeight);
    auto* row = new QHBoxLayout(strip_);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    pages_ = {buildWelcome(), buildPermissions(), buildTools(), buildDone()};
    for (QWidget* p : pages_) row->addWidget(p);

    // A page out of view keeps its place in the strip but takes no focus:
    // Tab and Space reach only the page shown.
    for (QWidget* p : pages_) {
        QSizePolicy policy = p->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        p->setSizePolicy(policy);
    }
    showOnly(1);

    slide_ = new QPropertyAnimation(strip_, "pos", this);
    slide_->setDuration(kSlideMilliseconds);
    QEasingCurve curve;
    curve.setCustomType(&OnboardingWindow::springProgress);
    slide_->setEasingCurve(curve);
    connect(slide_, &QPropertyAnimation::finished, this, [this] { showOnly(shownStep_); });

    saveFailure_ = new QLabel(this);
    saveFailure_->setObjectName(QStringLiteral("saveFailure"));
    saveFailure_->setFont(pageFont(13));
    saveFailure_->setWordWrap(true);
    saveFailure_->setAlignment(Qt::AlignCenter);
    saveFailure_->setStyleSheet(QStringLiteral("QLabel { color: white; background: rgb(190, 40, 40); padding: 6px; }"));
    saveFailure_->setGeometry(0, 0, kOnboardingWidth, 48);
    saveFailure_->hide();

    subscription_ = renderOnGuiThread(this, model_->changed());
    render();
}

OnboardingWindow::~OnboardingWindow() { subscription_.cancel(); }

bool OnboardingWindow::isSettled() const { return slide_->state() != QAbstractAnimation::Running; }

QWidget* OnboardingWindow::page(int step) const {
    return step >= 1 && step <= 4 ? pages_[static_cast<std::size_t>(step - 1)] : nullptr;
}

void OnboardingWindow::act(void (OnboardingModel::*action)()) {
    postAction(scheduler_, model_, action);
}

void OnboardingWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    act(&OnboardingModel::appear);
    act(&OnboardingModel::startPoll);
}

void OnboardingWindow::closeEvent(QCloseEvent* event) {
    act(&OnboardingModel::stopPoll);
    QWidget::closeEvent(event);
    emit closed();
}

void OnboardingWindow::render() {
    const OnboardingModel::State state = model_->state();
    if (state.currentStep != shownStep_) scrollTo(state.currentStep);
    accessibilityGranted_->setVisible(state.isAccessibilityEnabled);
    accessibilityButton_->setVisible(!state.isAccessibilityEnabled);
    fullDiskGranted_->setVisible(state.isFullDiskAccessEnabled);
    fullDiskButton_->setVisible(!state.isFullDiskAccessEnabled);
    for (std::size_t i = 0; i < switches_.size(); ++i) {
        QSignalBlocker block(switches_[i]);
        switches_[i]->setChecked(state.switches[i]);
    }
}

void OnboardingWindow::showSaveFailure(const QString& reason) {
    saveFailure_->setText(QStringLiteral("设置未能保存：") + reason);
    saveFailure_->show();
    saveFailure_->raise();
}

void OnboardingWindow::showOnly(int step) {
    for (int i = 1; i <= kOnboardingSteps; ++i) page(i)->setVisible(i == step);
}

void OnboardingWindow::scrollTo(int step) {
    shownStep_ = step;
    // The page coming into view takes the focus; the one leaving is hidden
    // once the slide ends.
    QWidget* target = page(step);
    target->show();
    if (QWidget* focus = focusWidget(); !focus || !target->isAncestorOf(focus)) {
        for (QWidget* w : target->findChildren<QWidget*>()) {
            if ((w->focusPolicy() & Qt::TabFocus) && w->isVisibleTo(target) && w->isEnabled()) {
                w->setFocus(Qt::TabFocusReason);
                break;
            }
        }
    }
    slide_->stop();
    slide_->setStartValue(strip_->pos());
    slide_->setEndValue(QPoint(-(step - 1) * kOnboardingWidth, 0));
    slide_->start();
}

QWidget* OnboardingWindow::buildWelcome() {
    QVBoxLayout* layout = nullptr;
    QWidget* page = pageFrame(layout);
    layout->addSpacing(48);
    layout->addWidget(picture(illustration(QStringLiteral("图一"), kOnboardingWidth)));
    layout->addStretch();
    auto* title = text(QStringLiteral("Orlavint"), pageFont(32, QFont::DemiBold));
    title->setObjectName(QStringLiteral("welcomeTitle"));
    layout->addWidget(title, 0, Qt::AlignHCenter);
    layout->addSpacing(12);
    auto* line = text(QStringLiteral("让 AI 驱动你的电脑，释放生产力"), pageFont(16), 0.6);
    line->setObjectName(QStringLiteral("welcomeLine"));
    layout->addWidget(line, 0, Qt::AlignHCenter);
    layout->addSpacing(12);
    QPushButton* enter = primaryButton(QStringLiteral("立即进入"), "enterButton");
    connect(enter, &QPushButton::clicked, this, [this] { act(&OnboardingModel::enter); });
    layout->addWidget(enter, 0, Qt::AlignHCenter);
    layout->addStretch();
    return page;
}

QWidget* OnboardingWindow::buildPermissions() {
    QVBoxLayout* layout = nullptr;
    QWidget* page = pageFrame(layout);
    layout->addSpacing(48);
    layout->addWidget(picture(illustration(QStringLiteral("图二"), kOnboardingWidth)));
    auto* block = new QVBoxLayout;
    block->setContentsMargins(36, 16, 36, 24);
    block->setSpacing(10);
    auto* title = text(QStringLiteral("需要一些权限"), pageFont(20, QFont::DemiBold));
    title->setObjectName(QStringLiteral("permissionsTitle"));
    block->addWidget(title);
    block->addWidget(text(QStringLiteral("仅在需要时调用，请放心开启"), pageFont(14, QFont::Medium), 0.7));

    struct Row {
        const char* title;
        const char* description;
        const char* button;
        QWidget** granted;
        QAbstractButton** open;
        void (OnboardingModel::*action)();
    };
    const Row rows[] = {
        {"辅助功能", "允许 AI 控制界面和执行操作", "accessibilityButton", &accessibilityGranted_,
         &accessibilityButton_, &OnboardingModel::enableAccessibility},
        {"完全磁盘访问", "允许 AI 读取信息和其他文件", "fullDiskAccessButton", &fullDiskGranted_, &fullDiskButton_,
         &OnboardingModel::enableFullDiskAccess},
    };
    for (const Row& r : rows) {
        auto* frame = new QFrame;
        frame->setStyleSheet(QStringLiteral(".QFrame { background: rgba(0, 0, 0, 13); border-radius: 12px; }"));
        auto* line = new QHBoxLayout(frame);
        line->setContentsMargins(16, 10, 16, 10);
        auto* texts = new QVBoxLayout;
        texts->addWidget(text(QString::fromUtf8(r.title), pageFont(16)));
        texts->addWidget(text(QString::fromUtf8(r.description), pageFont(14), 0.5));
        line->addLayout(texts);
        line->addStretch();

        auto* granted = new QWidget;
        granted->setObjectName(QLatin1String(r.button) + QStringLiteral("Granted"));
        auto* mark = new QHBoxLayout(granted);
        mark->setContentsMargins(0, 0, 0, 0);
        mark->addWidget(picture(symbol(QStringLiteral("checkmark"), 12, palette().color(QPalette::WindowText))));
        mark->addWidget(text(QStringLiteral("已开启"), pageFont(14)));
        line->addWidget(granted);
        *r.granted = granted;

        auto* open = new QPushButton(QStringLiteral("开启"));
        open->setObjectName(QLatin1String(r.button));
        open->setFont(pageFont(14));
        open->setStyleSheet(QStringLiteral("QPushButton { background: rgba(0, 0, 0, 20); border: none;"
                                           " border-radius: 12px; padding: 4px 14px; }") +
                            kFocusRing);
        auto action = r.action;
        connect(open, &QPushButton::clicked, this, [this, action] { act(action); });
        line->addWidget(open);
        *r.open = open;
        block->addWidget(frame);
    }
    block->addStretch();
    block->addWidget(buildNavigation(2));
    layout->addLayout(block);
    return page;
}

QWidget* OnboardingWindow::buildTools() {
    QVBoxLayout* layout = nullptr;
    QWidget* page = pageFrame(layout);
    layout->addSpacing(120);
    auto* column = new QVBoxLayout;
    column->setContentsMargins(36, 0, 36, 48);
    column->setSpacing(16);
    auto* title = text(QStringLiteral("选择要开启的工具"), pageFont(24, QFont::DemiBold));
    title->setObjectName(QStringLiteral("toolsTitle"));
    column->addWidget(title);

    auto* scroll = new QScrollArea;
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    auto* list = new QWidget;
    auto* rows = new QVBoxLayout(list);
    rows->setContentsMargins(0, 0, 8, 0);
    rows->setSpacing(12);
    for (std::size_t i = 0; i < kToolRows.size(); ++i) {
        const ToolRow& info = kToolRows[i];
        auto* frame = new QFrame;
        frame->setStyleSheet(QStringLiteral(".QFrame { background: rgba(255, 255, 255, 128);"
                                            " border: 1px solid rgba(0, 0, 0, 30); border-radius: 12px; }"));
        auto* line = new QHBoxLayout(frame);
        line->setContentsMargins(12, 12, 12, 12);
        line->setSpacing(16);
        // The symbol until the user's application is found; it stays when there is none.
        auto* icon = picture(symbol(QString::fromUtf8(info.symbol), 24, palette().color(QPalette::WindowText)));
        icon->setObjectName(QStringLiteral("toolIcon%1").arg(i));
        icon->setFixedWidth(36);
        icons_[i] = icon;
        line->addWidget(icon);
        auto* texts = new QVBoxLayout;
        texts->setSpacing(4);
        QFont titleFont;
        titleFont.setPixelSize(15);
        titleFont.setWeight(QFont::DemiBold);
        texts->addWidget(text(QString::fromUtf8(info.title), titleFont));
        QFont subtitleFont;
        subtitleFont.setPixelSize(12);
        texts->addWidget(text(QString::fromUtf8(info.subtitle), subtitleFont, 0.55));
        line->addLayout(texts);
        line->addStretch();
        auto* toggle = new QCheckBox;
        toggle->setCursor(Qt::PointingHandCursor);
        toggle->setStyleSheet(QStringLiteral(  // a small switch
            "QCheckBox::indicator { width: 30px; height: 18px; border-radius: 9px; background: rgba(0, 0, 0, 40); }"
            "QCheckBox::indicator:checked { background: palette(highlight); }"
            "QCheckBox::indicator:focus { border: 2px solid palette(highlight); }"));
        // Named by the switch it writes, as the defaults file names it.
        const std::string_view key = tools::switchKey(info.toolSwitch);
        toggle->setObjectName(QString::fromLatin1(key.data(), static_cast<qsizetype>(key.size())));
        connect(toggle, &QCheckBox::clicked, this, [this, i, toggle](bool on) {
            // The click only asks: the box shows the registry until it answers.
            {
                QSignalBlocker block(toggle);
                toggle->setChecked(model_->state().switches[i]);
            }
            postAction(scheduler_, model_, &OnboardingModel::setRowSwitch, i, on);
        });
        switches_[i] = toggle;
        line->addWidget(toggle);
        rows->addWidget(frame);
    }
    rows->addStretch();
    scroll->setWidget(list);
    column->addWidget(scroll, 1);
    column->addWidget(buildNavigation(3));
    layout->addLayout(column, 1);
    lookUpApplicationIcons();
    return page;
}

void OnboardingWindow::lookUpApplicationIcons() {
    // Desktop entries and icon files are read off the window (a slow folder
    // never holds it); the theme look-up and drawing happen back on it.
    struct Found {
        XdgFolders folders = XdgFolders::fromEnvironment();
        std::array<std::optional<ApplicationIcon>, kToolRows.size()> icons;
        std::vector<std::string> iconFolders;
    };
    auto found = std::make_shared<Found>();
    scheduler_.background(
        [found] {
            for (std::size_t i = 0; i < kToolRows.size(); ++i)
                if (auto entry = applicationFor(kToolRows[i], found->folders)) found->icons[i] = applicationIcon(*entry);
            found->iconFolders = iconThemeFolders(found->folders);
            return true;
        },
        [found, self = QPointer<OnboardingWindow>(this)](bool) {
            onGuiThread([found, self] {
                if (!self) return;
                useIconThemeFolders(found->iconFolders);
                for (std::size_t i = 0; i < kToolRows.size(); ++i) {
                    if (!found->icons[i]) continue;
                    const QPixmap pixmap = applicationIconPixmap(*found->icons[i], 36, self->devicePixelRatioF());
                    if (pixmap.isNull()) continue;
                    self->icons_[i]->setPixmap(pixmap);
                    self->icons_[i]->setFixedSize(36, 36);
                }
            });
        });
}

QWidget* OnboardingWindow::buildDone() {
    QVBoxLayout* layout = nullptr;
    QWidget* page = pageFrame(layout);
    layout->addSpacing(48);
    layout->addWidget(picture(illustration(QStringLiteral("图三"), kOnboardingWidth)));
    layout->addStretch();
    auto* title = text(QStringLiteral("一切准备就绪"), pageFont(28, QFont::Bold));
    title->setObjectName(QStringLiteral("doneTitle"));
    layout->addWidget(title, 0, Qt::AlignHCenter);
    layout->addSpacing(12);
    layout->addWidget(text(QStringLiteral("在系统托盘可以看到图标，点击即可进入配置"), pageFont(14), 0.6), 0,
                      Qt::AlignHCenter);
    layout->addSpacing(60);
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(22);
    buttons->addStretch();
    QPushButton* back = outlineButton(QStringLiteral("上一步"), "backButton4");
    connect(back, &QPushButton::clicked, this, [this] { act(&OnboardingModel::back); });
    buttons->addWidget(back);
    QPushButton* finish = primaryButton(QStringLiteral("开始使用"), "finishButton");
    connect(finish, &QPushButton::clicked, this, [this] { act(&OnboardingModel::finish); });
    buttons->addWidget(finish);
    buttons->addStretch();
    layout->addLayout(buttons);
    layout->addStretch();
    return page;
}

QWidget* OnboardingWindow::buildNavigation(int step) {
    auto* bar = new QWidget;
    auto* line = new QHBoxLayout(bar);
    line->setContentsMargins(0, 0, 0, 0);
    line->addStretch();
    const QByteArray backName = "backButton" + QByteArray::number(step);
    const QByteArray nextName = "nextButton" + QByteArray::number(step);
    QPushButton* back = outlineButton(QStringLiteral("上一步"), backName.constData());
    connect(back, &QPushButton::clicked, this, [this] { act(&OnboardingModel::back); });
    line->addWidget(back);
    QPushButton* next = primaryButton(QStringLiteral("下一步"), nextName.constData(), 100);
    next->setFont(pageFont(14, QFont::Medium));
    connect(next, &QPushButton::clicked, this, [this] { act(&OnboardingModel::next); });
    line->addWidget(next);
    return bar;
}

}  // namespace app::ui
