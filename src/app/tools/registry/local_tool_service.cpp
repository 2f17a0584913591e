#include "app/tools/registry/local_tool_service.hpp"

#include "app/tools/registry/tool_error.hpp"

#include <limits>
#include <utility>
#include <stdexcept>

namespace app::tools {

namespace {

constexpr const char* kCounterKey = "toolCallCount";

// Six switches count only a stored boolean; the four later ones take the
// store's coercing boolean reading.
bool readSwitch(platform::DefaultsStore& store, ToolSwitch s) {
    switch (s) {
        case ToolSwitch::Music:
        case ToolSwitch::Maps:
        case ToolSwitch::MacOS:
        case ToolSwitch::Vision: return store.boolean(switchKey(s));
        default: {
            auto value = store.object(switchKey(s));
            const bool* b = value ? std::get_if<bool>(&*value) : nullptr;
            return b && *b;
        }
    }
}

}  // namespace

LocalToolService::LocalToolService(std::shared_ptr<platform::DefaultsStore> defaults, rt::MainExecutor& executor,
                                   std::vector<std::unique_ptr<ToolFamily>> families)
    : defaults_(std::move(defaults)), executor_(executor) {
    if (!defaults_) throw std::invalid_argument("LocalToolService needs a defaults store");
    for (auto& family : families) {
        if (!family) throw std::invalid_argument("LocalToolService: null tool family");
        auto& slot = families_[switchIndex(family->toolSwitch())];
        if (slot) {
            throw std::invalid_argument("LocalToolService: two families for " +
                                        std::string(switchKey(family->toolSwitch())));
        }
        slot = std::move(family);
    }
    // A family's tool names never change: index them once, the first family
    // in lookup order owning a name.
    for (ToolSwitch s : kLookupOrder) {
        if (ToolFamily* f = family(s)) {
            for (const auto& tool : f->definitions()) owners_.emplace(tool.name, s);
        }
    }
    toolCallCount_ = defaults_->integer(kCounterKey);
    for (ToolSwitch s : kLookupOrder) enabled_[switchIndex(s)] = readSwitch(*defaults_, s);
}

LocalToolService::~LocalToolService() {
    if (!executor_.isCurrent()) executor_.drain();
}

std::int64_t LocalToolService::toolCallCount() const {
    std::lock_guard lock(mutex_);
    return toolCallCount_;
}

void LocalToolService::setToolCallCount(std::int64_t value) {
    executor_.run([&] { setToolCallCountOnMain(value); });
}

void LocalToolService::setToolCallCountOnMain(std::int64_t value) {
    {
        std::lock_guard lock(mutex_);
        toolCallCount_ = value;
    }
    objectChanged_.send();
    // Every call bumps it: its file writes are coalesced.
    defaults_->setInteger(kCounterKey, value, platform::WriteMode::Coalesced);
}

bool LocalToolService::isEnabled(ToolSwitch s) const {
    std::lock_guard lock(mutex_);
    return enabled_[switchIndex(s)];
}

void LocalToolService::setEnabled(ToolSwitch s, bool value) {
    executor_.run([&] {
        {
            std::lock_guard lock(mutex_);
            enabled_[switchIndex(s)] = value;
        }
        objectChanged_.send();
        defaults_->setBool(switchKey(s), value);
        toolsChanged_.send();
    });
}

void LocalToolService::disableAllTools() {
    executor_.run([&] {
        for (ToolSwitch s : kLookupOrder) setEnabled(s, false);
    });
}

std::vector<MCPTool> LocalToolService::enabledTools() {
    return executor_.run([&] {
        std::vector<MCPTool> tools;
        for (ToolSwitch s : kListingOrder) {
            ToolFamily* f = family(s);
            if (!f || !isEnabled(s)) continue;
            auto definitions = f->definitions();
            for (auto& tool : definitions) tools.push_back(std::move(tool));
        }
        return tools;
    });
}

std::string LocalToolService::callTool(const std::string& name, Arguments arguments, std::stop_token stop) {
    // The job owns its copies: a caller that stops waiting returns while the
    // job may still be queued.
    return executor_.run(
        [this, name, arguments = std::move(arguments), stop] { return callOnMain(name, arguments, stop); }, stop);
}

std::string LocalToolService::callOnMain(const std::string& name, const Arguments& arguments, std::stop_token stop) {
    // Counted first, so unknown, refused and failing calls all count. The
    // counter stops at its largest value rather than wrapping.
    std::int64_t count = toolCallCount();
    setToolCallCountOnMain(count == std::numeric_limits<std::int64_t>::max() ? count : count + 1);

    std::optional<ToolError> refusal;
    ToolFamily* f = findFamily(name, refusal);
    if (!f) throw *refusal;
    return f->handle(name, arguments, stop);
}

ToolFamily* LocalToolService::findFamily(const std::string& name, std::optional<ToolError>& refusal) const {
    // owners_ is fixed after construction: readable from any thread.
    auto owner = owners_.find(name);
    if (owner == owners_.end()) {
        refusal.emplace("LocalTool", 404, "Tool not found: " + name);
        return nullptr;
    }
    const ToolSwitch s = owner->second;
    if (!isEnabled(s)) {
        refusal.emplace("LocalTool", 403, std::string(familyWord(s)) + " tool is disabled");
        return nullptr;
    }
    return family(s);
}

ToolFamily* LocalToolService::beginCall(const std::string& name, std::optional<ToolError>& refusal) {
    countCall();
    return findFamily(name, refusal);
}

void LocalToolService::countCall() {
    bool post = false;
    {
        std::lock_guard lock(mutex_);
        if (toolCallCount_ != std::numeric_limits<std::int64_t>::max()) ++toolCallCount_;
        post = !std::exchange(counterStorePending_, true);
    }
    if (!post) return;
    // One store for a burst of calls: each stores the latest count.
    executor_.post([this] {
        std::int64_t value = 0;
        {
            std::lock_guard lock(mutex_);
            counterStorePending_ = false;
            value = toolCallCount_;
        }
        objectChanged_.send();
        defaults_->setInteger(kCounterKey, value, platform::WriteMode::Coalesced);
    });
}

}  // namespace app::tools
