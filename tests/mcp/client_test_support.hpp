// Helpers for the client tests: a deadline that cancels blocking calls, the
// text of a failure, and scripted replies.
#pragma once

#include "json/json.hpp"
#include "support/scripted_transport.hpp"
#include "mcp/transport.hpp"
#include "runtime/runtime.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace clienttest {
using namespace std::chrono_literals;
using logging::Logger;
using logging::testing::Record;
using logging::testing::RecordingHandler;
using logging::testing::RecordSink;
using logging::testing::recordingLogger;
using testsupport::ScriptedTransport;

inline constexpr auto kTimeout = std::chrono::seconds(10);

// Requests stop on its token once the duration has passed, so that no
// blocking call of a test can wait longer.
class Deadline {
public:
    explicit Deadline(std::chrono::steady_clock::duration duration)
        : thread_([this, duration](std::stop_token own) {
              std::mutex mutex;
              std::condition_variable_any cv;
              std::unique_lock lock(mutex);
              cv.wait_for(lock, own, duration, [] { return false; });
              if (!own.stop_requested()) source_.request_stop();
          }) {}
    std::stop_token token() const { return source_.get_token(); }

private:
    std::stop_source source_;
    std::jthread thread_;
};

// What the call threw, or "no error".
inline std::string failureText(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no error";
}

inline bool isUuidText(const std::string& text) {
    static const std::regex uuid("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
    return std::regex_match(text, uuid);
}

using testsupport::Responder;

inline std::string reply(const json::Value& id, json::Value result) {
    return json::write(json::Value(json::Object{{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}}));
}
inline std::string errorReply(const json::Value& id, int code, std::string message) {
    return json::write(json::Value(json::Object{
        {"jsonrpc", "2.0"},
        {"id", id},
        {"error", json::Value(json::Object{{"code", code}, {"message", std::move(message)}})}}));
}

// Answers each request by its method from the table; methods not in it and
// notifications get no answer.
inline Responder answering(std::vector<std::pair<std::string, json::Value>> results) {
    return [results = std::move(results)](const json::Value& sent) {
        std::vector<std::string> out;
        if (!sent.isObject() || !sent.find("id") || !sent.find("method")) return out;
        for (const auto& [method, result] : results) {
            if (sent.find("method")->asString() == method) out.push_back(reply(*sent.find("id"), result));
        }
        return out;
    };
}

}  // namespace clienttest
