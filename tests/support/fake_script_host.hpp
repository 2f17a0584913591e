// A script host and a stand-in that record what reaches them.
#pragma once

#include "app/platform/script_host.hpp"

#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace app::platform {

// Records every call and answers through a replaceable handler (default: a
// result without text).
class RecordingStandIn : public ScriptStandIn {
public:
    using Handler = std::function<std::optional<std::string>(const ScriptCall&)>;

    explicit RecordingStandIn(Handler handler = {});
    std::optional<std::string> perform(const ScriptCall& call) override;

    void setHandler(Handler handler);
    std::vector<ScriptCall> calls() const;

private:
    mutable std::mutex mutex_;
    Handler handler_;
    std::vector<ScriptCall> calls_;
};

// A host for runner tests: records the sources and answers with queued runs
// (once the queue is empty, with the fallback run).
class FakeScriptHost : public ScriptHost {
public:
    explicit FakeScriptHost(ScriptRun fallback = ScriptRun::succeeded(std::nullopt));
    ScriptRun run(std::string_view source) override;

    void enqueue(ScriptRun run);
    std::vector<std::string> sources() const;

private:
    mutable std::mutex mutex_;
    ScriptRun fallback_;
    std::deque<ScriptRun> queued_;
    std::vector<std::string> sources_;
};

}  // namespace app::platform
