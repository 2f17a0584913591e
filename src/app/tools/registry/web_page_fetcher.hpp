// Reads the HTML of a page loaded in a web view. No browser engine comes with
// the program: whoever has one implements WebView and forwards its
// navigation callbacks to the fetcher.
#pragma once

#include "runtime/runtime.hpp"

#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace app::tools {

class WebView {
public:
    // text: the result when it is a text, else absent; error: why it failed, if it did.
    using ScriptCompletion = std::function<void(std::optional<std::string> text, std::exception_ptr error)>;

    virtual ~WebView() = default;
    // Evaluates the script in the loaded page and calls completion once,
    // now or later, on any thread.
    virtual void evaluateJavaScript(const std::string& script, ScriptCompletion completion) = 0;
};

class WebPageFetcher {
public:
    using Continuation = std::shared_ptr<rt::OneShot<std::string>>;

    WebPageFetcher();  // no web view, no continuation

    std::shared_ptr<WebView> webView() const;
    void setWebView(std::shared_ptr<WebView> webView);
    Continuation continuation() const;
    void setContinuation(Continuation continuation);

    // The page finished loading: asks it for "document.documentElement.outerHTML"
    // and resumes the continuation with the text, or with the evaluation's
    // error, or with ToolError "WebPageFetcher" 500 "Failed to get HTML";
    // then clears both fields.
    void didFinish(WebView& webView);
    // A load failed: resumes the continuation with the error, then clears both fields.
    void didFail(WebView& webView, std::exception_ptr error);
    void didFailProvisionalNavigation(WebView& webView, std::exception_ptr error);

private:
    struct State {
        std::mutex mutex;
        std::shared_ptr<WebView> webView;
        Continuation continuation;
    };
    // Takes the continuation and releases the web view.
    static Continuation takeAll(State& state, std::shared_ptr<WebView>& released);

    // Shared with pending completions, which may outlive the fetcher.
    std::shared_ptr<State> state_;
};

}  // namespace app::tools
