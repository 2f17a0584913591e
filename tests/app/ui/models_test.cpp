#include "app/platform/contact_store.hpp"
#include "app/platform/defaults_store.hpp"
#include "app/platform/event_store.hpp"
#include "app/tools/registry/local_tool_service.hpp"
#include "app/ui/onboarding_model.hpp"
#include "app/ui/permission_manager.hpp"
#include "app/ui/scheduler.hpp"
#include "app/ui/window_models.hpp"
#include "json/json.hpp"
#include "support/fake_access_prompter.hpp"
#include "support/in_memory_contact_store.hpp"
#include "support/in_memory_event_store.hpp"
#include "support/memory_defaults_store.hpp"
#include "support/memory_diagnostic_sink.hpp"
#include "support/settings_address.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <fstream>
#include <future>
#include <thread>
#include <map>
#include <stdexcept>
#include <tuple>

#include <unistd.h>

namespace uitest {

// Everything runs on the calling thread, which stands for the executor.
class ManualScheduler : public app::ui::Scheduler {
public:
    void post(app::ui::Job job) override { posted_.push_back(std::move(job)); }
    std::shared_ptr<app::ui::Timer> after(std::chrono::milliseconds delay, app::ui::Job job) override {
        auto timer = std::make_shared<app::ui::Timer>();
        timers_.emplace(now_ + delay, std::make_pair(timer, std::move(job)));  // equal times keep their order
        return timer;
    }
    void background(std::function<bool()> w, std::function<void(bool)> done) override { work_.emplace_back(w, done); }
    void runPosted() { for (; !posted_.empty(); posted_.pop_front()) posted_.front()(); }
    // Moves the clock on, running the timers that fall due in time order.
    void advance(std::chrono::milliseconds by) {
        const auto end = now_ + by;
        while (!timers_.empty() && timers_.begin()->first <= end) {
            auto due = timers_.extract(timers_.begin());
            now_ = due.key();
            if (!due.mapped().first->isCancelled()) due.mapped().second();
        }
        now_ = end;
    }
    std::size_t pendingWork() const { return work_.size(); }
    // Runs the oldest background work and hands its answer back.
    void completeWork() {
        auto [work, done] = std::move(work_.front());
        work_.pop_front();
        done(work());
    }

private:
    std::chrono::milliseconds now_{0};
    std::deque<app::ui::Job> posted_;
    std::multimap<std::chrono::milliseconds, std::pair<std::shared_ptr<app::ui::Timer>, app::ui::Job>> timers_;
    std::deque<std::pair<std::function<bool()>, std::function<void(bool)>>> work_;
};

struct FakeTrust : app::platform::AccessibilityTrust {
    bool trusted = false;
    std::vector<bool> asked;  // the prompt flag of each question
    bool isProcessTrusted(bool prompt) override { return asked.push_back(prompt), trusted; }
};

struct RecordingPanes : app::ui::SettingsPanes {
    std::vector<std::string> shown;
    void showPermissionsPanel() override { shown.push_back("panel"); }
    void openAccessibilitySettings() override { shown.push_back("accessibility"); }
    void explainFullDiskAccess(const std::string& path) override { shown.push_back("file " + path); }
};

}  // namespace uitest

namespace app::ui {
namespace {

using namespace std::chrono_literals;
using platform::AccessSubject;
using platform::AuthorizationStatus;
using Kind = PermissionKind;
using Status = PermissionStatus;
using Strings = std::vector<std::string>;

// The permission model over fakes; "file" in a pane list stands for the
// explanation naming the database.
struct Services {
    std::shared_ptr<platform::FakeAccessPrompter> prompter = std::make_shared<platform::FakeAccessPrompter>();
    std::shared_ptr<tools::EventKitService> eventKit = std::make_shared<tools::EventKitService>(
        std::make_shared<platform::InMemoryEventStore>(prompter), std::make_shared<platform::MemoryDiagnosticSink>());
    std::shared_ptr<uitest::FakeTrust> trust = std::make_shared<uitest::FakeTrust>();
    std::shared_ptr<uitest::RecordingPanes> panes = std::make_shared<uitest::RecordingPanes>();
    std::shared_ptr<platform::MemoryDiagnosticSink> sink = std::make_shared<platform::MemoryDiagnosticSink>();
    std::string database = ::testing::TempDir() + "chat-" + std::to_string(::getpid()) + ".db";

    Services() { ::unlink(database.c_str()); }
    std::shared_ptr<PermissionManager> manager() {
        auto contacts = std::make_shared<platform::InMemoryContactStore>(prompter);
        return std::make_shared<PermissionManager>(PermissionManager::Services{
            eventKit, std::make_shared<tools::ContactsManager>(contacts, sink), trust, database, panes, sink});
    }
    void createDatabase() { std::ofstream(database) << "x"; }
    void refuse() { prompter->setAsker([](const AccessSubject&) { return false; }); }
    Strings shown(Strings panes) {
        for (auto& p : panes) p = p == "file" ? "file " + database : p;
        return panes;
    }
};

using Prepare = std::function<void(Services&)>;
Prepare store(AccessSubject subject, int raw) {
    return [subject, raw](Services& s) { s.prompter->setStatus(subject, AuthorizationStatus(raw)); };
}
const Prepare nothing = [](Services&) {};
const Prepare refuse = [](Services& s) { s.refuse(); };

TEST(PermissionManager, StatusOfEachCategory) {
    const std::tuple<PermissionCategory, Prepare, Status> cases[] = {
        {PermissionCategory::of(Kind::Calendar), nothing, Status::NotDetermined},
        {PermissionCategory::of(Kind::Calendar), store(AccessSubject::events(), 1), Status::Denied},
        {PermissionCategory::of(Kind::Calendar), store(AccessSubject::events(), 2), Status::Denied},
        {PermissionCategory::of(Kind::Calendar), store(AccessSubject::events(), 3), Status::Granted},
        {PermissionCategory::of(Kind::Calendar), store(AccessSubject::events(), 4), Status::Denied},  // write-only
        {PermissionCategory::of(Kind::Reminders), store(AccessSubject::events(), 3), Status::NotDetermined},
        {PermissionCategory::of(Kind::Contacts), store(AccessSubject::contacts(), 3), Status::Granted},
        {PermissionCategory::of(Kind::Accessibility), nothing, Status::NotDetermined},  // never denied
        {PermissionCategory::of(Kind::Accessibility), [](Services& s) { s.trust->trusted = true; }, Status::Granted},
        {PermissionCategory::of(Kind::FullDiskAccess), nothing, Status::Denied},  // missing file
        {PermissionCategory::of(Kind::FullDiskAccess), [](Services& s) { s.createDatabase(); }, Status::Granted},
        {PermissionCategory::of(Kind::FullDiskAccess), [](Services& s) { s.database.clear(); }, Status::Denied},
        {PermissionCategory::of(Kind::None), nothing, Status::Granted},
        {PermissionCategory::automation("Mail"), store(AccessSubject::automation("Mail"), 3), Status::NotDetermined},
    };
    for (const auto& c : cases) {
        const auto& [category, setup, expected] = c;
        SCOPED_TRACE(settingsAddress(category) + " " + std::to_string(&c - cases));
        Services services;
        setup(services);
        EXPECT_EQ(services.manager()->checkStatus(category), expected);
        EXPECT_EQ(std::count(services.trust->asked.begin(), services.trust->asked.end(), true), 0);  // no prompt
    }
}

TEST(PermissionManager, RequestsAndTheirDiagnostics) {
    const Prepare fail = [](Services& s) {
        s.prompter->setAsker([](const AccessSubject&) -> bool { throw std::runtime_error("bus gone"); });
    };
    // category, setup, answer, panes shown, trust questions asked, diagnostics
    const std::tuple<PermissionCategory, Prepare, bool, Strings, std::vector<bool>, Strings> cases[] = {
        {PermissionCategory::of(Kind::Calendar), refuse, false, {}, {}, {}},
        {PermissionCategory::of(Kind::Calendar), fail, false, {}, {}, {"Error requesting calendar access: bus gone"}},
        {PermissionCategory::of(Kind::Reminders), fail, false, {}, {}, {"Error requesting reminders access: bus gone"}},
        {PermissionCategory::of(Kind::Contacts), nothing, true, {}, {}, {}},
        {PermissionCategory::of(Kind::Contacts), refuse, false, {}, {}, {"Error requesting contacts access: Access denied"}},
        // Only explains, even when the file is readable already.
        {PermissionCategory::of(Kind::FullDiskAccess), [](Services& s) { s.createDatabase(); }, false, {"file"}, {}, {}},
        {PermissionCategory::of(Kind::Accessibility), nothing, false, {}, {true}, {}},
        {PermissionCategory::of(Kind::Accessibility), [](Services& s) { s.trust->trusted = true; }, true, {}, {true}, {}},
        {PermissionCategory::automation("Music"), refuse, true, {}, {}, {}},
        {PermissionCategory::of(Kind::None), refuse, true, {}, {}, {}},
    };
    for (const auto& c : cases) {
        const auto& [category, setup, expected, panes, trustQuestions, diagnostics] = c;
        SCOPED_TRACE(&c - cases);
        Services services;
        setup(services);
        EXPECT_EQ(services.manager()->requestPermission(category), expected);
        EXPECT_EQ(services.panes->shown, services.shown(panes));
        EXPECT_EQ(services.trust->asked, trustQuestions);
        EXPECT_EQ(services.sink->lines(), diagnostics);
    }
}

TEST(PermissionManager, SettingsPanesNeverAnAppleAddress) {
    const std::pair<PermissionCategory, std::string> cases[] = {
        {PermissionCategory::of(Kind::Contacts), "panel"}, {PermissionCategory::automation("Notes"), "panel"},
        {PermissionCategory::of(Kind::None), "panel"}, {PermissionCategory::of(Kind::Accessibility), "accessibility"},
        {PermissionCategory::of(Kind::FullDiskAccess), "file"}};
    for (const auto& [category, pane] : cases) {
        Services services;
        services.manager()->openSettings(category);
        EXPECT_EQ(services.panes->shown, services.shown({pane})) << settingsAddress(category);
    }
}

TEST(EndpointRow, CopiedTipLastsTwoSecondsAfterTheLastCopy) {
    uitest::ManualScheduler scheduler;
    Strings pasteboard;
    auto paste = [&](const std::string& t) { pasteboard.push_back(t); };
    auto row = std::make_shared<EndpointRowModel>(EndpointRowModel::Fields{"STDIO", "c", "link", "{}"}, scheduler, paste);
    row->copyToPasteboard("");
    EXPECT_FALSE(row->state().showCopiedTip);
    row->copyLink();
    scheduler.advance(1000ms);
    row->copyJSON();
    scheduler.advance(1999ms);
    EXPECT_TRUE(row->state().showCopiedTip);  // 3 s after the first copy
    row->copyToPasteboard("");                // leaves the tip alone
    scheduler.advance(1ms);
    EXPECT_FALSE(row->state().showCopiedTip);
    EXPECT_EQ(pasteboard, (Strings{"link", "{}"}));
    row->copyLink();
    row.reset();  // gone before its tip hides
    scheduler.advance(2000ms);
}

TEST(EndpointRow, ClientConfigurationStartsThisCommand) {
    const std::string command = "/home/a \"b\"\\c/路径/brisolet";
    json::Value config = json::parse(stdioClientConfiguration(command));
    const json::Value* server = config.find("mcpServers") ? config.find("mcpServers")->find("brisolet") : nullptr;
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(server->find("command")->asString(), command);
    EXPECT_TRUE(server->find("args")->asArray().empty());
}

TEST(Panel, RefusedRequestEndsWithBothLinesReadAgain) {
    Services services;
    uitest::ManualScheduler scheduler;
    auto panel = std::make_shared<PermissionsPanelModel>(services.eventKit, scheduler);
    int changes = 0;
    auto watch = panel->changed().subscribe([&] { ++changes; });
    services.refuse();
    panel->appear();
    EXPECT_EQ(panel->state().calendarStatus, "⏳ 未请求 (notDetermined)");
    panel->requestCalendar();
    EXPECT_TRUE(panel->state().isRequesting);
    panel->requestReminders();  // both buttons are disabled meanwhile
    EXPECT_EQ(scheduler.pendingWork(), 1u);
    services.prompter->setStatus(AccessSubject::reminders(), AuthorizationStatus::FullAccess);
    scheduler.completeWork();
    EXPECT_FALSE(panel->state().isRequesting);
    EXPECT_EQ(panel->state().calendarStatus, "❌ 已拒绝 (denied)");
    EXPECT_EQ(panel->state().reminderStatus, "✅ 已授权 (authorized)");
    EXPECT_EQ(changes, 3);
}

struct Onboarding : ::testing::Test {
    Services services;
    uitest::ManualScheduler scheduler;
    rt::MainExecutor executor;
    std::shared_ptr<platform::MemoryDefaultsStore> defaults = std::make_shared<platform::MemoryDefaultsStore>(
        std::map<std::string, platform::DefaultsValue, std::less<>>{{"isMailEnabled", true}, {"isVisionEnabled", true}});
    std::shared_ptr<tools::LocalToolService> registry = std::make_shared<tools::LocalToolService>(
        defaults, executor, std::vector<std::unique_ptr<tools::ToolFamily>>{});
    std::shared_ptr<OnboardingModel> model =
        OnboardingModel::make(registry, services.manager(), scheduler, [] {});

    auto switches() { return executor.drain(), model->state().switches; }  // changes are announced there
};

TEST_F(Onboarding, FirstStepSwitchesAllTenFamiliesOffEachTimeItShows) {
    EXPECT_TRUE(switches()[4]);  // mail, as an earlier run left it
    model->appear();
    const auto writes = defaults->writes();
    ASSERT_EQ(writes.size(), 10u);
    for (std::size_t i = 0; i < writes.size(); ++i) {
        EXPECT_EQ(writes[i].key, tools::switchKey(tools::kLookupOrder[i]));
        EXPECT_EQ(writes[i].value, platform::DefaultsValue(false));
    }
    EXPECT_EQ(switches(), (std::array<bool, 6>{}));
    model->enter();
    model->appear();  // past step 1: nothing
    EXPECT_EQ(defaults->writes().size(), 10u);
}

TEST_F(Onboarding, ButtonsMoveTheStepWithinTheFourPages) {
    using Action = void (OnboardingModel::*)();
    const std::tuple<const char*, std::vector<Action>, int> cases[] = {
        {"the guide's Back on page 1 stays on page 1", {&OnboardingModel::back}, 1},
        {"Next past page 4 stays on page 4", {&OnboardingModel::enter, &OnboardingModel::next,
                                              &OnboardingModel::next, &OnboardingModel::next}, 4},
        {"Back from page 4 to page 3", {&OnboardingModel::enter, &OnboardingModel::next, &OnboardingModel::next,
                                        &OnboardingModel::back}, 3},
    };
    for (const auto& [name, actions, step] : cases) {
        SCOPED_TRACE(name);
        auto m = OnboardingModel::make(registry, services.manager(), scheduler, [] {});
        for (Action action : actions) ((*m).*action)();
        EXPECT_EQ(m->state().currentStep, step);
    }
}

TEST_F(Onboarding, RowSwitchesWriteTheEnableActionsAnswer) {
    // row, setup, whether it asks (off the executor), the switch afterwards, panes shown
    const std::tuple<std::size_t, Prepare, bool, bool, Strings> cases[] = {
        {0, nothing, true, true, {}},   {0, refuse, true, false, {}}, {1, refuse, true, false, {}},
        {2, nothing, true, true, {}},   {2, refuse, true, false, {}},
        {3, nothing, false, true, {"file"}},  // on although the database is missing
        {4, refuse, false, true, {}},   {5, refuse, false, true, {}},
    };
    for (const auto& c : cases) {
        const auto& [row, setup, asks, expected, panes] = c;
        SCOPED_TRACE(&c - cases);
        Services services;
        setup(services);
        auto m = OnboardingModel::make(registry, services.manager(), scheduler, [] {});
        const tools::ToolSwitch toolSwitch = kToolRows[row].toolSwitch;
        registry->disableAllTools();
        defaults->clearWrites();
        m->setRowSwitch(row, true);
        EXPECT_TRUE(defaults->writes().empty());  // nothing before the answer
        if (asks) scheduler.completeWork();
        scheduler.runPosted();
        EXPECT_EQ(switches(), m->state().switches);
        EXPECT_EQ(m->state().switches[row], expected);
        ASSERT_EQ(defaults->writes().size(), 1u);  // a refusal writes false once more
        EXPECT_EQ(defaults->writes()[0].key, tools::switchKey(toolSwitch));
        EXPECT_EQ(services.panes->shown, services.shown(panes));
        m->setRowSwitch(row, false);  // asks nothing
        EXPECT_FALSE(registry->isEnabled(toolSwitch) || scheduler.pendingWork());
    }
}

TEST_F(Onboarding, OffBeforeTheAnswerThenTheAnswerHolds) {
    model->appear();
    model->setRowSwitch(0, true);
    model->setRowSwitch(0, false);
    EXPECT_FALSE(switches()[0]);
    scheduler.completeWork();
    EXPECT_EQ(switches(), (std::array<bool, 6>{true, false, false, false, false, false}));
}

TEST_F(Onboarding, PollShowsGrantsWithinATickUntilStopped) {
    model->startPoll();
    services.createDatabase();
    services.trust->trusted = true;
    scheduler.advance(999ms);
    EXPECT_FALSE(model->state().isFullDiskAccessEnabled);
    scheduler.advance(1ms);
    EXPECT_TRUE(model->state().isFullDiskAccessEnabled);
    EXPECT_TRUE(model->state().isAccessibilityEnabled);
    EXPECT_EQ(services.trust->asked, (std::vector<bool>{false, false}));  // polling never prompts
    model->stopPoll();
    ::unlink(services.database.c_str());
    scheduler.advance(5000ms);
    EXPECT_TRUE(model->state().isFullDiskAccessEnabled);

    model->enableAccessibility();
    scheduler.completeWork();
    EXPECT_EQ(services.panes->shown, Strings{"accessibility"});
    EXPECT_EQ(services.trust->asked.back(), true);
}

TEST(OnboardingPresenter, OpensUntilCompletedAndFinishesAlsoWhenClosed) {
    auto defaults = std::make_shared<platform::MemoryDefaultsStore>();
    Strings calls;
    OnboardingPresenter presenter(defaults, [&] { calls.push_back("open"); }, [&] { calls.push_back("close"); });
    EXPECT_TRUE(presenter.showOnboarding());
    EXPECT_FALSE(presenter.showOnboarding());  // one window at a time
    presenter.finishOnboarding();
    defaults->setBool("hasCompletedOnboarding", false);
    presenter.finishOnboarding();  // already closed: stored again
    EXPECT_EQ(calls, (Strings{"open", "close"}));
    EXPECT_TRUE(defaults->boolean("hasCompletedOnboarding"));
    EXPECT_FALSE(presenter.showOnboarding());
}

TEST(ExecutorScheduler, CancelledTimersNeverRunAndAnswersComeBackOnTheExecutor) {
    rt::MainExecutor executor;
    ExecutorScheduler scheduler(executor);
    std::atomic<int> ran{0};
    std::promise<bool> answered, last;
    std::shared_ptr<Timer> late;
    std::promise<void> release;
    executor.post([&, gate = release.get_future().share()] { gate.wait(), late->cancel(); });  // the executor is busy
    scheduler.after(10ms, [&] { ++ran; })->cancel();
    late = scheduler.after(30ms, [&] { ++ran; });  // due meanwhile, cancelled before the executor gets to it
    std::this_thread::sleep_for(60ms);
    release.set_value();
    scheduler.background([] { return true; }, [&](bool a) { answered.set_value(a && executor.isCurrent()); });
    scheduler.after(90ms, [&] { last.set_value(executor.isCurrent()); });
    auto a = answered.get_future(), l = last.get_future();
    ASSERT_EQ(l.wait_for(5s), std::future_status::ready);
    ASSERT_EQ(a.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(a.get() && l.get());
    EXPECT_EQ(ran, 0);
}

}  // namespace
}  // namespace app::ui
