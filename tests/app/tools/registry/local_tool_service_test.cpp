#include "app/tools/registry/local_tool_service.hpp"

#include "app/tools/tool_test_support.hpp"
#include "support/wait.hpp"
#include "support/memory_defaults_store.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace app::tools {
namespace {
using platform::DefaultsValue;
using platform::MemoryDefaultsStore;

// A family whose tools are the names given.
class FakeFamily : public ToolFamily {
public:
    FakeFamily(ToolSwitch s, std::vector<std::string> names) : switch_(s), names_(std::move(names)) {}

    ToolSwitch toolSwitch() const override { return switch_; }
    std::vector<MCPTool> definitions() const override {
        ++definitionCalls;
        std::vector<MCPTool> tools;
        for (const auto& n : names_) tools.push_back(MCPTool::make(n, "d", "显示", AnyMap{{"type", "object"}}));
        return tools;
    }
    ToolResult run(const std::string& name, const Arguments& arguments, std::stop_token) override {
        calls.push_back(name);
        onMain = executor && executor->isCurrent();
        if (onHandle) onHandle();
        if (error) throw *error;
        auto text = textArgument(arguments, "echo");
        return familyName() + ":" + name + (text ? ":" + *text : "");
    }
    std::string familyName() const { return std::string(switchKey(switch_)); }

    mutable std::atomic<int> definitionCalls{0};
    std::vector<std::string> calls;
    std::optional<ToolError> error;
    std::function<void()> onHandle;
    rt::MainExecutor* executor = nullptr;
    bool onMain = false;

private:
    ToolSwitch switch_;
    std::vector<std::string> names_;
};

std::string tool(ToolSwitch s, const char* suffix) { return std::string(switchKey(s)) + suffix; }

class RegistryTest : public ::testing::Test {
protected:
    rt::MainExecutor executor;
    std::shared_ptr<MemoryDefaultsStore> store = std::make_shared<MemoryDefaultsStore>();
    std::array<FakeFamily*, kToolSwitchCount> fakes{};

    // One fake per slot, tools "<switch key>_one" and "<switch key>_two".
    std::unique_ptr<LocalToolService> makeFullService() {
        std::vector<std::unique_ptr<ToolFamily>> families;
        for (ToolSwitch s : kLookupOrder) {
            auto f = std::make_unique<FakeFamily>(s, std::vector<std::string>{tool(s, "_one"), tool(s, "_two")});
            f->executor = &executor;
            fakes[switchIndex(s)] = f.get();
            families.push_back(std::move(f));
        }
        return std::make_unique<LocalToolService>(store, executor, std::move(families));
    }

    static ToolError callError(LocalToolService& service, const std::string& name, Arguments args = {}) {
        SCOPED_TRACE(name);
        return testing::thrownToolError([&] { service.callTool(name, std::move(args)); })
            .value_or(ToolError("", 0, "nothing thrown"));
    }
};

TEST_F(RegistryTest, SwitchedOffFamiliesAreNeitherListedNorAsked) {
    auto service = makeFullService();
    const int before = fakes[switchIndex(ToolSwitch::Calendar)]->definitionCalls.load();
    service->setMailEnabled(true);
    service->setVisionEnabled(true);
    std::vector<std::string> names;
    for (const auto& t : service->enabledTools()) names.push_back(t.name);
    EXPECT_EQ(names, (std::vector<std::string>{"isMailEnabled_one", "isMailEnabled_two", "isVisionEnabled_one",
                                               "isVisionEnabled_two"}));
    EXPECT_EQ(fakes[switchIndex(ToolSwitch::Calendar)]->definitionCalls.load(), before);
}

TEST_F(RegistryTest, EverySwitchedOffFamilyIsRefusedWithItsOwnText) {
    auto service = makeFullService();
    const std::pair<ToolSwitch, const char*> cases[] = {
        {ToolSwitch::Calendar, "Calendar tool is disabled"}, {ToolSwitch::Reminders, "Reminders tool is disabled"},
        {ToolSwitch::Contacts, "Contacts tool is disabled"}, {ToolSwitch::Messages, "Messages tool is disabled"},
        {ToolSwitch::Notes, "Notes tool is disabled"},       {ToolSwitch::Mail, "Mail tool is disabled"},
        {ToolSwitch::Music, "Music tool is disabled"},       {ToolSwitch::Maps, "Maps tool is disabled"},
        {ToolSwitch::MacOS, "macOS Control tool is disabled"}, {ToolSwitch::Vision, "Vision tool is disabled"},
    };
    for (const auto& [s, text] : cases) {
        EXPECT_EQ(callError(*service, tool(s, "_two")), ToolError("LocalTool", 403, text));
        EXPECT_TRUE(fakes[switchIndex(s)]->calls.empty());
    }
    EXPECT_EQ(service->toolCallCount(), 10);
}

TEST_F(RegistryTest, CounterIsStoredBeforeTheFamilyRuns) {
    store->set("toolCallCount", std::int64_t{41});
    auto service = makeFullService();
    service->setMapsEnabled(true);
    auto* maps = fakes[switchIndex(ToolSwitch::Maps)];
    std::int64_t seenByHandler = -1, storedForHandler = -1;
    maps->onHandle = [&] {
        seenByHandler = service->toolCallCount();
        storedForHandler = store->integer("toolCallCount");
    };
    EXPECT_EQ(service->callTool("isMapsEnabled_one", {}), "isMapsEnabled:isMapsEnabled_one");
    EXPECT_EQ(seenByHandler, 42);
    EXPECT_EQ(storedForHandler, 42);
    EXPECT_FALSE(maps->onMain) << "handlers run on their family's lane";

    // A failing handler's error passes unchanged, and the call still counts.
    maps->error = ToolError("MapsTool", 500, "boom");
    EXPECT_EQ(callError(*service, "isMapsEnabled_one"), ToolError("MapsTool", 500, "boom"));
    EXPECT_EQ(store->integer("toolCallCount"), 43);
    EXPECT_EQ(store->writes().back().mode, platform::WriteMode::Coalesced);
}

TEST_F(RegistryTest, ConcurrentCallsLoseNoCount) {
    auto service = makeFullService();
    service->setMusicEnabled(true);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) service->callTool(i % 2 ? "isMusicEnabled_one" : "isMusicEnabled_two", {});
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(service->toolCallCount(), 400);
    EXPECT_EQ(store->integer("toolCallCount"), 400);
}

// Each lane bounds its own pending calls (256, or 16 MiB of arguments): a
// family at its bound refuses the next call at once, and never holds another
// family's. Calendar and reminders share a lane, and so a bound. Alone, even a
// larger call runs.
TEST_F(RegistryTest, PendingCallsAreBoundedPerFamilyInNumberAndArgumentBytes) {
    auto service = makeFullService();
    const std::size_t mib = 1 << 20;
    struct Row {
        ToolSwitch flooded;
        std::size_t calls, bytesEach;
        ToolSwitch next;
        std::size_t nextBytes;
        bool admitted;
    };
    const Row rows[] = {
        {ToolSwitch::Notes, 255, 1, ToolSwitch::Notes, 1, true},
        {ToolSwitch::Notes, 256, 1, ToolSwitch::Notes, 1, false},
        {ToolSwitch::Notes, 256, 1, ToolSwitch::Mail, 1, true},
        {ToolSwitch::Vision, 1, 12 * mib, ToolSwitch::Vision, 4 * mib, true},
        {ToolSwitch::Vision, 1, 12 * mib, ToolSwitch::Vision, 4 * mib + 1, false},
        {ToolSwitch::Vision, 1, 12 * mib, ToolSwitch::Maps, 15 * mib, true},
        {ToolSwitch::Calendar, 256, 1, ToolSwitch::Reminders, 1, false},
        {ToolSwitch::Reminders, 0, 0, ToolSwitch::Reminders, 100 * mib, true},
    };
    for (const auto& [flooded, calls, bytesEach, next, nextBytes, admitted] : rows) {
        SCOPED_TRACE(std::string(familyWord(flooded)) + " " + std::to_string(calls) + " then " +
                     std::string(familyWord(next)));
        rt::OneShot<std::monostate> latch;
        std::atomic<std::size_t> ran{0};
        for (std::size_t i = 0; i < calls; ++i) {
            ASSERT_FALSE(service->runHandler(flooded, bytesEach, [&] { latch.waitFor(std::chrono::seconds(30)), ++ran; }));
        }
        const auto before = std::chrono::steady_clock::now();
        const std::optional<ToolError> busy = service->runHandler(next, nextBytes, [&] { ++ran; });
        EXPECT_EQ(!busy, admitted);
        if (busy) {
            EXPECT_EQ(busy->domain(), "LocalTool");
            EXPECT_TRUE(busy->message().starts_with(std::string(familyWord(next)) + " tool is busy")) << busy->message();
            // A call made straight through the registry is refused alike, not left waiting.
            if (nextBytes == 1) {
                service->setEnabled(next, true);
                EXPECT_EQ(callError(*service, tool(next, "_one")).message(), busy->message());
            }
        }
        EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5)) << "refused at once";
        // A call admitted beside a flood of another family runs before the flood ends.
        if (admitted && calls > 0 && next != flooded && next != ToolSwitch::Reminders) {
            EXPECT_TRUE(testsupport::waitUntil([&] { return ran.load() == 1; }, std::chrono::seconds(10)));
        }
        latch.resume({});
        service->waitForHandlers();
        EXPECT_EQ(ran.load(), calls + admitted);
        EXPECT_EQ(service->pendingCalls(), 0u);
    }
}

TEST_F(RegistryTest, EverySwitchWriteStoresItsKeyAndSendsOneEvent) {
    auto service = makeFullService();
    int events = 0;
    bool allOnMain = true;
    auto subscription = service->toolsChanged().subscribe([&] {
        ++events;
        allOnMain = allOnMain && executor.isCurrent();
    });
    int expectedEvents = 0;
    for (ToolSwitch s : kLookupOrder) {
        for (bool value : {true, true, false, false}) {  // unchanged values count too
            store->clearWrites();
            service->setEnabled(s, value);
            ++expectedEvents;
            EXPECT_EQ(events, expectedEvents);
            EXPECT_EQ(service->isEnabled(s), value);
            auto writes = store->writes();
            ASSERT_EQ(writes.size(), 1u);
            EXPECT_EQ(writes[0].key, switchKey(s));
            EXPECT_EQ(writes[0].value, DefaultsValue(value));
        }
    }
    EXPECT_TRUE(allOnMain);
    // The counter has no part in the tool list.
    service->setToolCallCount(5);
    EXPECT_EQ(events, expectedEvents);
    EXPECT_EQ(store->integer("toolCallCount"), 5);
}

TEST_F(RegistryTest, TheTwoBooleanReadingRules) {
    // Stored, then as read by the six switches that count only a stored boolean and by the four that use the
    // store's boolean reading.
    const std::tuple<DefaultsValue, bool, bool> cases[] = {
        {true, true, true},           {false, false, false},         {std::string("YES"), false, true},
        {std::string("true"), false, true}, {std::string("1"), false, true}, {std::string("0"), false, false},
        {std::string("no"), false, false},  {std::int64_t{1}, false, true},  {std::int64_t{0}, false, false},
        {2.5, false, true},
    };
    for (const auto& [stored, exactRule, coercingRule] : cases) {
        store = std::make_shared<MemoryDefaultsStore>();
        for (ToolSwitch s : kLookupOrder) store->set(switchKey(s), stored);
        store->clearWrites();
        auto service = makeFullService();
        for (ToolSwitch s : kLookupOrder) {
            bool coercing = s == ToolSwitch::Music || s == ToolSwitch::Maps || s == ToolSwitch::MacOS ||
                            s == ToolSwitch::Vision;
            EXPECT_EQ(service->isEnabled(s), coercing ? coercingRule : exactRule) << switchKey(s);
        }
        EXPECT_TRUE(store->writes().empty());
    }
}

}  // namespace
}  // namespace app::tools
