#include "app/tools/registry/web_page_fetcher.hpp"

#include "app/tools/registry/tool_error.hpp"

namespace app::tools {

WebPageFetcher::WebPageFetcher() : state_(std::make_shared<State>()) {}

std::shared_ptr<WebView> WebPageFetcher::webView() const {
    std::lock_guard lock(state_->mutex);
    return state_->webView;
}

void WebPageFetcher::setWebView(std::shared_ptr<WebView> webView) {
    std::shared_ptr<WebView> old;
    std::lock_guard lock(state_->mutex);
    old = std::exchange(state_->webView, std::move(webView));
}

WebPageFetcher::Continuation WebPageFetcher::continuation() const {
    std::lock_guard lock(state_->mutex);
    return state_->continuation;
}

void WebPageFetcher::setContinuation(Continuation continuation) {
    std::lock_guard lock(state_->mutex);
    state_->continuation = std::move(continuation);
}

WebPageFetcher::Continuation WebPageFetcher::takeAll(State& state, std::shared_ptr<WebView>& released) {
    std::lock_guard lock(state.mutex);
    released = std::move(state.webView);
    state.webView.reset();
    return std::exchange(state.continuation, nullptr);
}

void WebPageFetcher::didFinish(WebView& webView) {
    // Kept alive until the call returns, even when the completion runs inside
    // it and releases the field.
    std::shared_ptr<WebView> keep = this->webView();
    webView.evaluateJavaScript(
        "document.documentElement.outerHTML",
        [state = state_](std::optional<std::string> text, std::exception_ptr error) {
            std::shared_ptr<WebView> released;
            Continuation continuation = takeAll(*state, released);
            if (!continuation) return;
            if (text) {
                continuation->resume(std::move(*text));
            } else {
                continuation->fail(error ? error
                                         : std::make_exception_ptr(
                                               ToolError("WebPageFetcher", 500, "Failed to get HTML")));
            }
        });
}

void WebPageFetcher::didFail(WebView&, std::exception_ptr error) {
    std::shared_ptr<WebView> released;
    Continuation continuation = takeAll(*state_, released);
    if (!continuation) return;
    // A failure without an error object still must not leave the caller with nothing to rethrow.
    continuation->fail(error ? error : std::make_exception_ptr(ToolError("WebPageFetcher", 500, "Page load failed")));
}

void WebPageFetcher::didFailProvisionalNavigation(WebView& webView, std::exception_ptr error) {
    didFail(webView, error);
}

}  // namespace app::tools
