// A web view that answers every script at once.
#pragma once

#include "app/tools/registry/web_page_fetcher.hpp"

#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace app::tools {

// Answers every script at once with the set result.
class FakeWebView : public WebView {
public:
    std::optional<std::string> result;
    std::exception_ptr error;

    void evaluateJavaScript(const std::string& script, ScriptCompletion completion) override;
    std::vector<std::string> scripts() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> scripts_;
};

}  // namespace app::tools
