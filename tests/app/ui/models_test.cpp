#include "ui_test_support.hpp"

#include "app/platform/defaults_store.hpp"
#include "app/platform/diagnostic_sink.hpp"
#include "app/tools/registry/local_tool_service.hpp"
#include "app/ui/onboarding_model.hpp"
#include "app/ui/window_models.hpp"
#include "json/json.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <future>
#include <stdexcept>

#include <sys/stat.h>
#include <unistd.h>

namespace app::ui {
namespace {

using namespace std::chrono_literals;
using platform::AccessSubject;
using platform::AuthorizationStatus;
using tools::ToolSwitch;

std::string makeTempDir() {
    std::string pattern = ::testing::TempDir() + "ui-models-XXXXXX";
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

// The permission model over fakes: statuses and answers set per test.
struct Services {
    std::shared_ptr<platform::FakeAccessPrompter> prompter = std::make_shared<platform::FakeAccessPrompter>();
    std::shared_ptr<tools::EventKitService> eventKit = std::make_shared<tools::EventKitService>(
        std::make_shared<platform::InMemoryEventStore>(prompter), std::make_shared<platform::MemoryDiagnosticSink>());
    std::shared_ptr<uitest::FakeTrust> trust = std::make_shared<uitest::FakeTrust>();
    std::shared_ptr<uitest::RecordingPanes> panes = std::make_shared<uitest::RecordingPanes>();
    std::shared_ptr<platform::MemoryDiagnosticSink> sink = std::make_shared<platform::MemoryDiagnosticSink>();
    std::string database = makeTempDir() + "/chat.db";

    std::shared_ptr<PermissionManager> manager(bool withTrust = true) {
        return std::make_shared<PermissionManager>(PermissionManager::Services{
            eventKit,
            std::make_shared<tools::ContactsManager>(std::make_shared<platform::InMemoryContactStore>(prompter), sink),
            withTrust ? trust : nullptr, database, panes, sink});
    }
    void createDatabase() { std::ofstream(database) << "x"; }
};

// ---- Permission model -------------------------------------------------------

TEST(PermissionManager, StatusOfEachCategory) {
    struct Case {
        const char* name;
        PermissionCategory category;
        std::function<void(Services&)> setup;
        PermissionStatus expected;
    };
    auto store = [](AccessSubject subject, int raw) {
        return [subject, raw](Services& s) { s.prompter->setStatus(subject, AuthorizationStatus(raw)); };
    };
    const auto calendar = PermissionCategory::of(PermissionKind::Calendar);
    const auto reminders = PermissionCategory::of(PermissionKind::Reminders);
    const auto contacts = PermissionCategory::of(PermissionKind::Contacts);
    const auto accessibility = PermissionCategory::of(PermissionKind::Accessibility);
    const auto fullDisk = PermissionCategory::of(PermissionKind::FullDiskAccess);
    const Case cases[] = {
        {"calendar undecided", calendar, [](Services&) {}, PermissionStatus::NotDetermined},
        {"calendar restricted", calendar, store(AccessSubject::events(), 1), PermissionStatus::Denied},
        {"calendar denied", calendar, store(AccessSubject::events(), 2), PermissionStatus::Denied},
        {"calendar full", calendar, store(AccessSubject::events(), 3), PermissionStatus::Granted},
        {"calendar write-only", calendar, store(AccessSubject::events(), 4), PermissionStatus::Denied},
        {"calendar later value", calendar, store(AccessSubject::events(), 9), PermissionStatus::Denied},
        {"reminders write-only", reminders, store(AccessSubject::reminders(), 4), PermissionStatus::Denied},
        {"reminders full", reminders, store(AccessSubject::reminders(), 3), PermissionStatus::Granted},
        {"calendar apart from reminders", reminders, store(AccessSubject::events(), 3), PermissionStatus::NotDetermined},
        {"contacts denied", contacts, store(AccessSubject::contacts(), 2), PermissionStatus::Denied},
        {"contacts full", contacts, store(AccessSubject::contacts(), 3), PermissionStatus::Granted},
        {"untrusted is never denied", accessibility, [](Services&) {}, PermissionStatus::NotDetermined},
        {"trusted", accessibility, [](Services& s) { s.trust->trusted = true; }, PermissionStatus::Granted},
        {"missing database", fullDisk, [](Services&) {}, PermissionStatus::Denied},
        {"readable database", fullDisk, [](Services& s) { s.createDatabase(); }, PermissionStatus::Granted},
        {"empty path", fullDisk, [](Services& s) { s.database.clear(); }, PermissionStatus::Denied},
        {"no permission needed", PermissionCategory::of(PermissionKind::None), [](Services&) {},
         PermissionStatus::Granted},
        {"automation, whatever the name", PermissionCategory::automation("Mail"),
         store(AccessSubject::automation("Mail"), 3), PermissionStatus::NotDetermined},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Services services;
        c.setup(services);
        EXPECT_EQ(services.manager()->checkStatus(c.category), c.expected);
        EXPECT_TRUE(services.trust->asked.empty() || !services.trust->asked.back());  // checking never prompts
    }
    Services withoutTrust;
    EXPECT_EQ(withoutTrust.manager(false)->checkStatus(accessibility), PermissionStatus::NotDetermined);
}

TEST(PermissionManager, Requests) {
    struct Case {
        const char* name;
        PermissionCategory category;
        std::function<void(Services&)> setup;
        bool expected;
        std::vector<std::string> panes;          // "file" stands for the database's explanation
        std::vector<bool> trustQuestions;
        std::string diagnostic;                  // empty: none
    };
    auto refuse = [](Services& s) { s.prompter->setAsker([](const AccessSubject&) { return false; }); };
    auto fail = [](Services& s) {
        s.prompter->setAsker([](const AccessSubject&) -> bool { throw std::runtime_error("bus gone"); });
    };
    const Case cases[] = {
        {"calendar granted on asking", PermissionCategory::of(PermissionKind::Calendar), [](Services&) {}, true},
        {"calendar refused", PermissionCategory::of(PermissionKind::Calendar), refuse, false},
        {"calendar failing", PermissionCategory::of(PermissionKind::Calendar), fail, false, {}, {},
         "Error requesting calendar access: bus gone"},
        {"reminders failing", PermissionCategory::of(PermissionKind::Reminders), fail, false, {}, {},
         "Error requesting reminders access: bus gone"},
        {"contacts granted", PermissionCategory::of(PermissionKind::Contacts), [](Services&) {}, true},
        {"contacts refused", PermissionCategory::of(PermissionKind::Contacts), refuse, false, {}, {},
         "Error requesting contacts access: Access denied"},
        {"full disk access only explains, even when readable", PermissionCategory::of(PermissionKind::FullDiskAccess),
         [](Services& s) { s.createDatabase(); }, false, {"file"}},
        {"accessibility untrusted prompts", PermissionCategory::of(PermissionKind::Accessibility), [](Services&) {},
         false, {}, {true}},
        {"accessibility trusted", PermissionCategory::of(PermissionKind::Accessibility),
         [](Services& s) { s.trust->trusted = true; }, true, {}, {true}},
        {"automation asks nothing", PermissionCategory::automation("Music"), refuse, true},
        {"none asks nothing", PermissionCategory::of(PermissionKind::None), refuse, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Services services;
        c.setup(services);
        EXPECT_EQ(services.manager()->requestPermission(c.category), c.expected);
        std::vector<std::string> panes;
        for (const auto& p : c.panes) panes.push_back(p == "file" ? "file " + services.database : p);
        EXPECT_EQ(services.panes->shown, panes);
        EXPECT_EQ(services.trust->asked, c.trustQuestions);
        std::vector<std::string> lines;
        if (!c.diagnostic.empty()) lines.push_back(c.diagnostic);
        EXPECT_EQ(services.sink->lines(), lines);
    }
    // Nothing is asked of the user twice: a refusal is remembered.
    Services services;
    refuse(services);
    auto manager = services.manager();
    EXPECT_FALSE(manager->requestCalendarPermission());
    EXPECT_FALSE(manager->requestCalendarPermission());
    EXPECT_EQ(services.prompter->promptCount(AccessSubject::events()), 1);
    EXPECT_EQ(manager->checkStatus(PermissionCategory::of(PermissionKind::Calendar)), PermissionStatus::Denied);
}

TEST(PermissionManager, SettingsPanes) {
    const std::string base = "x-apple.systempreferences:com.apple.preference.security";
    struct Case {
        PermissionCategory category;
        std::string address;
        std::string pane;
    };
    const Case cases[] = {
        {PermissionCategory::of(PermissionKind::Calendar), base + "?Privacy_Calendars", "panel"},
        {PermissionCategory::of(PermissionKind::Reminders), base + "?Privacy_Reminders", "panel"},
        {PermissionCategory::of(PermissionKind::Contacts), base + "?Privacy_Contacts", "panel"},
        {PermissionCategory::of(PermissionKind::Accessibility), base + "?Privacy_Accessibility", "accessibility"},
        {PermissionCategory::of(PermissionKind::FullDiskAccess), base + "?Privacy_AllFiles", "file"},
        {PermissionCategory::automation("Notes"), base + "?Privacy_Automation", "panel"},
        {PermissionCategory::of(PermissionKind::None), base, "panel"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        Services services;
        EXPECT_EQ(settingsAddress(c.category), c.address);
        services.manager()->openSettings(c.category);
        ASSERT_EQ(services.panes->shown.size(), 1u);
        EXPECT_EQ(services.panes->shown[0], c.pane == "file" ? "file " + services.database : c.pane);
    }
}

// ---- Endpoint row -------------------------------------------------------------

TEST(EndpointRow, CopiedTipLastsTwoSecondsAfterTheLastCopy) {
    uitest::ManualScheduler scheduler;
    std::vector<std::string> pasteboard;
    auto row = std::make_shared<EndpointRowModel>(EndpointRowModel::Fields{"STDIO", "c", "link", "{}"}, scheduler,
                                                  [&](const std::string& t) { pasteboard.push_back(t); });
    row->copyToPasteboard("");
    EXPECT_TRUE(pasteboard.empty());
    EXPECT_FALSE(row->state().showCopiedTip);

    row->copyLink();
    scheduler.advance(1000ms);
    row->copyJSON();
    scheduler.advance(1999ms);
    EXPECT_TRUE(row->state().showCopiedTip);  // 3 s after the first copy
    row->copyToPasteboard("");                // leaves the tip alone
    scheduler.advance(1ms);
    EXPECT_FALSE(row->state().showCopiedTip);
    EXPECT_EQ(pasteboard, (std::vector<std::string>{"link", "{}"}));

    // A row gone before its tip hides is left alone.
    row->copyLink();
    row.reset();
    scheduler.advance(2000ms);
}

TEST(EndpointRow, RowsWithoutTextsCopyNothing) {
    uitest::ManualScheduler scheduler;
    int copies = 0;
    auto row = std::make_shared<EndpointRowModel>(EndpointRowModel::Fields{"HTTP", "x", std::nullopt, std::nullopt},
                                                  scheduler, [&](const std::string&) { ++copies; });
    row->copyLink();
    row->copyJSON();
    EXPECT_EQ(copies, 0);
    EXPECT_FALSE(row->state().showCopiedTip);
}

TEST(EndpointRow, ClientConfigurationStartsThisCommand) {
    for (std::string command : {"/opt/brisolet/bin/brisolet", "/home/a \"b\"\\c/brisolet", "/tmp/路径/brisolet"}) {
        SCOPED_TRACE(command);
        json::Value config = json::parse(stdioClientConfiguration(command));
        const json::Value* servers = config.find("mcpServers");
        const json::Value* server = servers ? servers->find("brisolet") : nullptr;
        ASSERT_NE(server, nullptr);
        EXPECT_EQ(server->find("command")->asString(), command);
        EXPECT_TRUE(server->find("args")->asArray().empty());
    }
    const std::string dir = makeTempDir();
    EXPECT_EQ(brisoletCommand(dir, ""), "brisolet");
    const std::string beside = dir + "/brisolet";
    std::ofstream(beside) << "#!/bin/sh\n";
    EXPECT_EQ(brisoletCommand(dir, ""), "brisolet");  // not executable
    ::chmod(beside.c_str(), 0755);
    EXPECT_EQ(brisoletCommand(dir, ""), beside);
}

// ---- Permissions panel ------------------------------------------------------------

struct Panel : ::testing::Test {
    Services services;
    uitest::ManualScheduler scheduler;
    std::shared_ptr<PermissionsPanelModel> panel = std::make_shared<PermissionsPanelModel>(services.eventKit, scheduler);
    int changes = 0;
    tools::ChangeSignal::Subscription watch = panel->changed().subscribe([this] { ++changes; });
};

TEST_F(Panel, RefusedRequestEndsWithTheRefusalShown) {
    services.prompter->setAsker([](const AccessSubject&) { return false; });
    panel->appear();
    EXPECT_EQ(panel->state().calendarStatus, "⏳ 未请求 (notDetermined)");
    panel->requestCalendar();
    EXPECT_TRUE(panel->state().isRequesting);
    panel->requestReminders();  // the buttons are disabled meanwhile
    EXPECT_EQ(scheduler.pendingWork(), 1u);
    services.prompter->setStatus(AccessSubject::reminders(), AuthorizationStatus::FullAccess);
    scheduler.completeWork();
    auto state = panel->state();
    EXPECT_FALSE(state.isRequesting);
    EXPECT_EQ(state.calendarStatus, "❌ 已拒绝 (denied)");
    EXPECT_EQ(state.reminderStatus, "✅ 已授权 (authorized)");  // the other line is brought up to date too
    EXPECT_EQ(changes, 3);
    panel->requestReminders();
    EXPECT_EQ(scheduler.pendingWork(), 1u);
}

TEST_F(Panel, RequestButtonShowsUnlessAuthorized) {
    const std::pair<int, bool> cases[] = {{0, true}, {1, true}, {2, true}, {3, false}, {4, true}, {7, true}};
    for (auto [raw, shown] : cases) {
        SCOPED_TRACE(raw);
        services.prompter->setStatus(AccessSubject::events(), AuthorizationStatus(raw));
        panel->appear();
        EXPECT_EQ(PermissionsPanelModel::showsRequestButton(panel->state().calendarStatus), shown);
    }
}

// ---- Onboarding ---------------------------------------------------------------------

struct Onboarding : ::testing::Test {
    Services services;
    uitest::ManualScheduler scheduler;
    rt::MainExecutor executor;
    std::shared_ptr<platform::MemoryDefaultsStore> defaults = std::make_shared<platform::MemoryDefaultsStore>(
        std::map<std::string, platform::DefaultsValue, std::less<>>{{"isMailEnabled", true}, {"isVisionEnabled", true}});
    std::shared_ptr<tools::LocalToolService> registry = std::make_shared<tools::LocalToolService>(
        defaults, executor, std::vector<std::unique_ptr<tools::ToolFamily>>{});
    int finished = 0;
    std::shared_ptr<OnboardingModel> model =
        std::make_shared<OnboardingModel>(registry, services.manager(), scheduler, [this] { ++finished; });

    std::array<bool, kToolRows.size()> switches() {
        executor.drain();
        return model->state().switches;
    }
    std::size_t writesOf(std::string_view key) {
        std::size_t n = 0;
        for (const auto& w : defaults->writes()) n += w.key == key;
        return n;
    }
};

TEST_F(Onboarding, FirstStepSwitchesAllTenFamiliesOffEachTimeItShows) {
    EXPECT_TRUE(switches()[4]);  // mail, as an earlier run left it
    model->appear();
    auto writes = defaults->writes();
    ASSERT_EQ(writes.size(), 10u);
    for (std::size_t i = 0; i < writes.size(); ++i) {
        EXPECT_EQ(writes[i].key, tools::switchKey(tools::kLookupOrder[i]));
        EXPECT_EQ(writes[i].value, platform::DefaultsValue(false));
    }
    EXPECT_EQ(switches(), (std::array<bool, 6>{}));
    model->enter();
    model->appear();  // shown again past step 1: nothing
    EXPECT_EQ(defaults->writes().size(), 10u);
}

TEST_F(Onboarding, StepsStayWithinTheFourPages) {
    struct Case {
        void (OnboardingModel::*action)();
        int step;
    };
    const Case cases[] = {{&OnboardingModel::back, 1},  {&OnboardingModel::enter, 2}, {&OnboardingModel::next, 3},
                          {&OnboardingModel::next, 4},  {&OnboardingModel::next, 4},  {&OnboardingModel::back, 3},
                          {&OnboardingModel::back, 2},  {&OnboardingModel::back, 1}};
    for (const Case& c : cases) {
        ((*model).*c.action)();
        EXPECT_EQ(model->state().currentStep, c.step);
    }
    EXPECT_EQ(finished, 0);
    model->finish();
    model->finish();
    EXPECT_EQ(finished, 2);
}

TEST_F(Onboarding, RowSwitchesWriteTheEnableActionsAnswer) {
    struct Case {
        std::size_t row;
        std::function<void(Services&)> setup;
        bool background;  // asks off the executor
        bool expected;
        std::vector<std::string> panes;
    };
    auto refuse = [](Services& s) { s.prompter->setAsker([](const AccessSubject&) { return false; }); };
    auto none = [](Services&) {};
    const Case cases[] = {
        {0, none, true, true, {}},
        {0, refuse, true, false, {}},
        {1, refuse, true, false, {}},
        {2, none, true, true, {}},
        {2, refuse, true, false, {}},
        {3, none, false, true, {"file"}},  // on even though the database is missing
        {4, refuse, false, true, {}},
        {5, refuse, false, true, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.row);
        Services services;
        c.setup(services);
        auto m = std::make_shared<OnboardingModel>(registry, services.manager(), scheduler, [] {});
        registry->disableAllTools();
        defaults->clearWrites();
        const auto key = tools::switchKey(kToolRows[c.row].toolSwitch);
        m->setRowSwitch(c.row, true);
        EXPECT_EQ(writesOf(key), 0u);  // nothing before the answer
        if (c.background) scheduler.completeWork();
        scheduler.runPosted();
        executor.drain();
        EXPECT_EQ(registry->isEnabled(kToolRows[c.row].toolSwitch), c.expected);
        EXPECT_EQ(writesOf(key), 1u);  // a refusal writes false once more
        EXPECT_EQ(m->state().switches[c.row], c.expected);
        std::vector<std::string> panes;
        for (const auto& p : c.panes) panes.push_back("file " + services.database);
        EXPECT_EQ(services.panes->shown, panes);
        m->setRowSwitch(c.row, false);
        EXPECT_FALSE(registry->isEnabled(kToolRows[c.row].toolSwitch));
        EXPECT_EQ(scheduler.pendingWork(), 0u);  // off asks nothing
    }
}

TEST_F(Onboarding, OffBeforeTheAnswerThenTheAnswerHolds) {
    model->appear();
    model->setRowSwitch(0, true);
    model->setRowSwitch(0, false);
    EXPECT_FALSE(switches()[0]);
    scheduler.completeWork();
    EXPECT_TRUE(switches()[0]);

    // Back from the last page keeps what the tool page left.
    model->enter();
    model->next();
    model->setRowSwitch(4, true);
    scheduler.runPosted();
    model->next();
    model->back();
    EXPECT_EQ(model->state().currentStep, 3);
    EXPECT_EQ(switches(), (std::array<bool, 6>{true, false, false, false, true, false}));
}

TEST_F(Onboarding, PollShowsGrantsWithinATickUntilStopped) {
    model->startPoll();
    EXPECT_FALSE(model->state().isFullDiskAccessEnabled);
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
    EXPECT_FALSE(model->state().isPolling);

    model->enableAccessibility();
    scheduler.completeWork();
    EXPECT_EQ(services.panes->shown, (std::vector<std::string>{"accessibility"}));
    EXPECT_EQ(services.trust->asked.back(), true);
}

TEST(OnboardingPresenter, OpensUntilCompletedAndFinishesOnce) {
    auto defaults = std::make_shared<platform::MemoryDefaultsStore>();
    std::vector<std::string> calls;
    OnboardingPresenter presenter(defaults, [&] { calls.push_back("open"); }, [&] { calls.push_back("close"); });
    EXPECT_TRUE(presenter.showOnboarding());
    EXPECT_FALSE(presenter.showOnboarding());  // one window at a time
    presenter.finishOnboarding();
    presenter.finishOnboarding();  // already closed: stored again, nothing to close
    EXPECT_EQ(calls, (std::vector<std::string>{"open", "close"}));
    EXPECT_TRUE(defaults->boolean("hasCompletedOnboarding"));
    EXPECT_FALSE(presenter.showOnboarding());

    auto done = std::make_shared<platform::MemoryDefaultsStore>(
        std::map<std::string, platform::DefaultsValue, std::less<>>{{"hasCompletedOnboarding", true}});
    OnboardingPresenter finished(done, [&] { calls.push_back("open"); }, [] {});
    EXPECT_FALSE(finished.showOnboarding());
}

// ---- The program's scheduler ----------------------------------------------------

TEST(ExecutorScheduler, RunsOnTheExecutorAfterTheDelayUnlessCancelled) {
    rt::MainExecutor executor;
    ExecutorScheduler scheduler(executor);
    std::promise<std::pair<bool, std::chrono::steady_clock::duration>> fired;
    std::promise<std::pair<bool, bool>> answered;
    std::atomic<bool> cancelledRan{false};
    const auto start = std::chrono::steady_clock::now();
    auto cancelled = scheduler.after(20ms, [&] { cancelledRan = true; });
    cancelled->cancel();
    scheduler.after(50ms, [&] { fired.set_value({executor.isCurrent(), std::chrono::steady_clock::now() - start}); });
    scheduler.background([]() -> bool { throw std::runtime_error("no"); },
                         [&](bool answer) { answered.set_value({executor.isCurrent(), answer}); });
    auto f = fired.get_future();
    auto a = answered.get_future();
    ASSERT_EQ(f.wait_for(5s), std::future_status::ready);
    ASSERT_EQ(a.wait_for(5s), std::future_status::ready);
    auto [onExecutor, elapsed] = f.get();
    EXPECT_TRUE(onExecutor);
    EXPECT_GE(elapsed, 50ms);
    EXPECT_EQ(a.get(), std::make_pair(true, false));
    executor.drain();
    EXPECT_FALSE(cancelledRan);
}

}  // namespace
}  // namespace app::ui
