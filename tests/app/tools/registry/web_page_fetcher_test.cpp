#include "app/tools/registry/web_page_fetcher.hpp"

#include "app/tools/registry/tool_error.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>

namespace app::tools {
namespace {
using namespace std::chrono_literals;

std::string waitText(const WebPageFetcher::Continuation& c) { return c->waitFor(1s); }

TEST(WebPageFetcher, FinishedLoadDeliversTheHtmlAndClearsBothFields) {
    WebPageFetcher fetcher;
    auto view = std::make_shared<FakeWebView>();
    view->result = "<html><body>hi</body></html>";
    auto continuation = std::make_shared<rt::OneShot<std::string>>();
    fetcher.setWebView(view);
    fetcher.setContinuation(continuation);
    fetcher.didFinish(*view);
    EXPECT_EQ(waitText(continuation), "<html><body>hi</body></html>");
    EXPECT_EQ(view->scripts(), std::vector<std::string>{"document.documentElement.outerHTML"});
    EXPECT_EQ(fetcher.webView(), nullptr);
    EXPECT_EQ(fetcher.continuation(), nullptr);
}

TEST(WebPageFetcher, AContinuationIsResumedAtMostOnce) {
    WebPageFetcher fetcher;
    auto view = std::make_shared<FakeWebView>();
    view->result = "first";
    auto continuation = std::make_shared<rt::OneShot<std::string>>();
    fetcher.setContinuation(continuation);
    fetcher.didFinish(*view);
    view->result = "second";
    fetcher.didFinish(*view);  // nothing left to resume
    fetcher.didFail(*view, std::make_exception_ptr(std::runtime_error("late")));
    EXPECT_EQ(waitText(continuation), "first");
}

}  // namespace
}  // namespace app::tools
