#include "app/platform/script_host.hpp"

#include "json/utf8.hpp"
#include "runtime/runtime.hpp"

namespace app::platform {

namespace {

void appendQuoted(std::string& out, std::string_view text) {
    out.push_back('"');
    for (char c : text) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
}

ScriptRun failure(std::optional<std::string> message, std::int64_t number,
                  std::optional<std::string> application = std::nullopt) {
    return ScriptRun::failed(ScriptErrorInfo{std::move(message), number, std::move(application)});
}

}  // namespace

std::string ScriptErrorInfo::description() const {
    std::string out = "{";
    if (application) {
        out += "NSAppleScriptErrorAppName = ";
        appendQuoted(out, *application);
        out += "; ";
    }
    if (message) {
        out += "NSAppleScriptErrorMessage = ";
        appendQuoted(out, *message);
        out += "; ";
    }
    if (number) out += "NSAppleScriptErrorNumber = " + std::to_string(*number) + "; ";
    if (out.size() > 1) out.pop_back();  // the blank after the last ';'
    out += "}";
    return out;
}

ScriptFailure ScriptFailure::withoutMessage(std::int64_t number) {
    ScriptFailure failure("script failed without a message", number);
    failure.message_.reset();
    return failure;
}

// TemplateScriptHost

TemplateScriptHost::TemplateScriptHost(std::shared_ptr<AccessPrompter> prompter) : prompter_(std::move(prompter)) {
    if (!prompter_) throw std::invalid_argument("TemplateScriptHost needs an access prompter");
}

void TemplateScriptHost::registerTemplate(std::string id, std::string application, std::string_view source) {
    auto compiled = std::make_shared<const ScriptTemplate>(std::move(id), std::move(application), source);
    std::lock_guard lock(mutex_);
    for (const auto& existing : templates_)
        if (existing->id() == compiled->id())
            throw std::invalid_argument("script template " + compiled->id() + ": the id is already registered");
    templates_.push_back(std::move(compiled));
}

void TemplateScriptHost::registerStandIn(std::string application, std::shared_ptr<ScriptStandIn> standIn) {
    std::lock_guard lock(mutex_);
    standIns_[std::move(application)] = std::move(standIn);
}

std::optional<ScriptCall> TemplateScriptHost::recognise(std::string_view source) const {
    LexedScript lexed = lexAppleScript(source);
    std::vector<std::shared_ptr<const ScriptTemplate>> templates;
    {
        std::lock_guard lock(mutex_);
        templates = templates_;
    }
    for (const auto& candidate : templates) {
        if (auto bindings = candidate->match(lexed))
            return ScriptCall{candidate->id(), candidate->application(), std::move(*bindings)};
    }
    return std::nullopt;
}

ScriptRun TemplateScriptHost::run(std::string_view source) {
    if (!json::isValidUtf8(source)) return ScriptRun::notMade();
    std::optional<ScriptCall> call;
    try {
        call = recognise(source);
    } catch (const ScriptCompileError& error) {
        return failure(error.what(), scriptSyntaxErrorNumber);
    }
    if (!call) return failure("This script is not one this system can run.", scriptGenericErrorNumber);

    const std::string& application = call->application;
    try {
        AccessSubject subject = AccessSubject::automation(application);
        AuthorizationStatus status = prompter_->authorizationStatus(subject);
        bool allowed = status == AuthorizationStatus::FullAccess ||
                       (status == AuthorizationStatus::NotDetermined && prompter_->requestAccess(subject));
        if (!allowed)
            return failure("Not authorized to send Apple events to " + application + ".",
                           scriptNotPermittedErrorNumber, application);
    } catch (const std::exception& error) {
        return failure("Could not ask for consent to automate " + application + ": " + error.what(),
                       scriptNotPermittedErrorNumber, application);
    }

    std::shared_ptr<ScriptStandIn> standIn;
    {
        std::lock_guard lock(mutex_);
        auto it = standIns_.find(application);
        if (it != standIns_.end()) standIn = it->second;
    }
    if (!standIn)
        return failure("Application \"" + application + "\" is not available on this system.",
                       scriptApplicationMissingErrorNumber, application);
    try {
        return ScriptRun::succeeded(standIn->perform(*call));
    } catch (const rt::Cancelled&) {
        throw;  // the call was stopped: it has no outcome to give
    } catch (const ScriptFailure& error) {
        return failure(error.message(), error.number(), application);
    } catch (const std::exception& error) {
        return failure(error.what(), scriptGenericErrorNumber, application);
    }
}

}  // namespace app::platform
