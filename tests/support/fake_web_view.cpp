#include "support/fake_web_view.hpp"

namespace app::tools {

void FakeWebView::evaluateJavaScript(const std::string& script, ScriptCompletion completion) {
    {
        std::lock_guard lock(mutex_);
        scripts_.push_back(script);
    }
    completion(result, error);
}

std::vector<std::string> FakeWebView::scripts() const {
    std::lock_guard lock(mutex_);
    return scripts_;
}

}  // namespace app::tools
