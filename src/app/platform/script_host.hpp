// The script runner the scripting families hand their AppleScript texts to.
// On Linux the scripted applications do not exist: the template host
// recognises the exact script texts the families build, binds their values,
// checks consent to automate the target application and calls that
// application's stand-in.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "app/platform/access_prompter.hpp"
#include "app/platform/script_template.hpp"

namespace app::platform {

// The error-information map of a failed run.
struct ScriptErrorInfo {
    std::optional<std::string> message;      // the NSAppleScriptErrorMessage entry
    std::optional<std::int64_t> number;      // the NSAppleScriptErrorNumber entry
    std::optional<std::string> application;  // the NSAppleScriptErrorAppName entry

    // The text form of the whole map, e.g.
    // {NSAppleScriptErrorAppName = "Notes"; NSAppleScriptErrorMessage = "…"; NSAppleScriptErrorNumber = -1743;}
    std::string description() const;

    bool operator==(const ScriptErrorInfo&) const = default;
};

// What a runner reads after one run.
struct ScriptRun {
    enum class Outcome {
        NotMade,    // no script object could be made from the source
        Succeeded,  // a result; `text` is its string value, when it has one
        Failed,     // no result; `error` is the error information, when any
    };
    Outcome outcome = Outcome::NotMade;
    std::optional<std::string> text;
    std::optional<ScriptErrorInfo> error;

    static ScriptRun notMade() { return {}; }
    static ScriptRun succeeded(std::optional<std::string> text) { return {Outcome::Succeeded, std::move(text), {}}; }
    static ScriptRun failed(std::optional<ScriptErrorInfo> error) { return {Outcome::Failed, {}, std::move(error)}; }

    bool operator==(const ScriptRun&) const = default;
};

class ScriptHost {
public:
    virtual ~ScriptHost() = default;
    // Compiles and runs the script synchronously; returns when it has ended.
    virtual ScriptRun run(std::string_view source) = 0;
};

// Error numbers the host gives (those of the platform's script runner).
inline constexpr std::int64_t scriptSyntaxErrorNumber = -2741;
inline constexpr std::int64_t scriptGenericErrorNumber = -2700;
inline constexpr std::int64_t scriptNotPermittedErrorNumber = -1743;
inline constexpr std::int64_t scriptApplicationMissingErrorNumber = -600;

// A script error that a stand-in raises: it ends the run with this message.
class ScriptFailure : public std::runtime_error {
public:
    explicit ScriptFailure(std::string message, std::int64_t number = scriptGenericErrorNumber)
        : std::runtime_error(message), message_(std::move(message)), number_(number) {}
    // A failure whose error information holds no message.
    static ScriptFailure withoutMessage(std::int64_t number = scriptGenericErrorNumber);

    const std::optional<std::string>& message() const noexcept { return message_; }
    std::int64_t number() const noexcept { return number_; }

private:
    std::optional<std::string> message_;
    std::int64_t number_;
};

// One recognised script: which template, for which application, with which values.
struct ScriptCall {
    std::string templateId;
    std::string application;
    ScriptBindings bindings;

    bool operator==(const ScriptCall&) const = default;
};

// What stands in for one scripted application. perform() returns the
// script's result text (none for a result without text) or throws
// ScriptFailure; any other exception also ends the run as a script error.
class ScriptStandIn {
public:
    virtual ~ScriptStandIn() = default;
    virtual std::optional<std::string> perform(const ScriptCall& call) = 0;
};

class TemplateScriptHost : public ScriptHost {
public:
    explicit TemplateScriptHost(std::shared_ptr<AccessPrompter> prompter);

    // Throws std::invalid_argument for a malformed template or a taken id.
    void registerTemplate(std::string id, std::string application, std::string_view source);
    // Replaces the stand-in an application had.
    void registerStandIn(std::string application, std::shared_ptr<ScriptStandIn> standIn);

    // The first registered template the source matches; nullopt for an
    // unknown script. Throws ScriptCompileError for a source that does not lex.
    std::optional<ScriptCall> recognise(std::string_view source) const;

    // Source not UTF-8: not made. Compile error, unknown script, consent
    // refused, no stand-in, or a stand-in's failure: failed with error
    // information. Otherwise the stand-in's result. A stand-in stopped with
    // its call (rt::Cancelled) throws that on.
    ScriptRun run(std::string_view source) override;

private:
    std::shared_ptr<AccessPrompter> prompter_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<const ScriptTemplate>> templates_;
    std::map<std::string, std::shared_ptr<ScriptStandIn>, std::less<>> standIns_;
};

}  // namespace app::platform
