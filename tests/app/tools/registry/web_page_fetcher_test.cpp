#include "app/tools/registry/web_page_fetcher.hpp"

#include "app/tools/registry/tool_error.hpp"
#include "support/fake_web_view.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>

namespace app::tools {
namespace {
using namespace std::chrono_literals;

std::string waitText(const WebPageFetcher::Continuation& c) { return c->waitFor(1s); }

TEST(WebPageFetcher, AContinuationIsResumedAtMostOnce) {
    WebPageFetcher fetcher;
    auto view = std::make_shared<FakeWebView>();
    view->result = "first";
    auto continuation = std::make_shared<rt::OneShot<std::string>>();
    fetcher.setContinuation(continuation);
    fetcher.didFinish(*view);
    EXPECT_EQ(fetcher.continuation(), nullptr) << "a resumed continuation is let go";
    view->result = "second";
    fetcher.didFinish(*view);  // nothing left to resume
    fetcher.didFail(*view, std::make_exception_ptr(std::runtime_error("late")));
    EXPECT_EQ(waitText(continuation), "first");
}

}  // namespace
}  // namespace app::tools
