// The first-run guide's window: four pages in a strip that only the buttons
// move, sliding with a spring. Clicks go to the model on the main executor;
// the model's state comes back on the GUI thread and is all that is drawn.
#pragma once

#include "app/ui/onboarding_model.hpp"

#include <QWidget>

#include <array>
#include <memory>

class QAbstractButton;
class QCheckBox;
class QLabel;
class QPropertyAnimation;

namespace app::ui {

inline constexpr int kOnboardingWidth = 520;
inline constexpr int kOnboardingHeight = 600;

class OnboardingWindow : public QWidget {
    Q_OBJECT
public:
    OnboardingWindow(std::shared_ptr<OnboardingModel> model, Scheduler& scheduler, QWidget* parent = nullptr);
    ~OnboardingWindow() override;

    // The page (1 to 4) the strip rests on or is moving to.
    int shownStep() const { return shownStep_; }
    // False while the strip slides.
    bool isSettled() const;
    QWidget* page(int step) const;

    // The spring the pages slide with (response 0.5 s, damping 0.8), over
    // the animation's progress 0 to 1.
    static qreal springProgress(qreal progress);

    void render();
    // Shows in the window that a change was not saved, and why.
    void showSaveFailure(const QString& reason);

signals:
    void closed();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void act(void (OnboardingModel::*action)());
    void scrollTo(int step);
    void showOnly(int step);
    QWidget* buildWelcome();
    QWidget* buildPermissions();
    QWidget* buildTools();
    QWidget* buildDone();
    QWidget* buildNavigation(int step);
    // Puts each row's application icon in place of its symbol, once found.
    void lookUpApplicationIcons();

    std::shared_ptr<OnboardingModel> model_;
    Scheduler& scheduler_;
    tools::ChangeSignal::Subscription subscription_;
    QWidget* strip_ = nullptr;
    QPropertyAnimation* slide_ = nullptr;
    std::array<QWidget*, 4> pages_{};
    int shownStep_ = 1;
    QWidget* accessibilityGranted_ = nullptr;
    QAbstractButton* accessibilityButton_ = nullptr;
    QWidget* fullDiskGranted_ = nullptr;
    QAbstractButton* fullDiskButton_ = nullptr;
    std::array<QCheckBox*, kToolRows.size()> switches_{};
    std::array<QLabel*, kToolRows.size()> icons_{};
    QLabel* saveFailure_ = nullptr;
};

}  // namespace app::ui
