// Helpers for the client and transport tests: a deadline that cancels
// blocking calls, a recording logger, the text of a failure, and a transport
// scripted by the test.
#pragma once

#include "json/json.hpp"
#include "logging/recording_handler.hpp"
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

inline Logger recordingLogger(const std::shared_ptr<RecordSink>& sink, std::string label = "test") {
    return Logger(std::move(label), Logger::OneArgFactory([sink](const std::string& label) {
                      return logging::AnyLogHandler(RecordingHandler(sink, label, Logger::Level::trace));
                  }));
}

// What the call threw, or "no error".
inline std::string failureText(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no error";
}

inline std::string metadataText(const Record& record, const std::string& key) {
    if (!record.metadata) return "<no metadata>";
    auto it = record.metadata->find(key);
    return it == record.metadata->end() ? "<missing>" : it->second.description();
}

inline bool isUuidText(const std::string& text) {
    static const std::regex uuid("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
    return std::regex_match(text, uuid);
}

// What the test returns for one message the client sent: the replies to push.
using Responder = std::function<std::vector<std::string>(const json::Value& sent)>;

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

// Records what the client sends and hands it what the test pushes. By default
// receive() returns the same stream every time, as the system's transports do.
class ScriptedTransport final : public mcp::Transport {
public:
    explicit ScriptedTransport(std::shared_ptr<RecordSink> sink = std::make_shared<RecordSink>())
        : sink_(std::move(sink)), logger_(recordingLogger(sink_)) {}

    const Logger& logger() const override { return logger_; }

    void connect(std::stop_token) override {
        std::lock_guard lock(mutex_);
        ++connects_;
        if (connectError_) std::rethrow_exception(connectError_);
    }
    void disconnect() override {
        MessageStreamHandle stream;
        {
            std::lock_guard lock(mutex_);
            ++disconnects_;
            stream = current_;
        }
        stream->finish();
    }
    void send(std::string message, std::stop_token) override {
        Responder responder;
        {
            std::lock_guard lock(mutex_);
            if (sendError_) std::rethrow_exception(sendError_);
            responder = responder_;
        }
        sentCount_.fetch_add(1);
        sent_->yield(message);
        if (responder) {
            for (auto& answer : responder(json::parse(message))) push(std::move(answer));
        }
    }
    mcp::MessageStream receive() override {
        std::lock_guard lock(mutex_);
        ++receives_;
        if (freshEndedStreams_) {
            auto stream = rt::AsyncStream<std::string>::make();
            stream->finish();
            return stream;
        }
        return current_;
    }

    // ---- Test side ----

    void setResponder(Responder responder) {
        std::lock_guard lock(mutex_);
        responder_ = std::move(responder);
    }
    void setConnectError(std::exception_ptr error) {
        std::lock_guard lock(mutex_);
        connectError_ = std::move(error);
    }
    void setSendError(std::exception_ptr error) {
        std::lock_guard lock(mutex_);
        sendError_ = std::move(error);
    }
    // Every later receive() hands out a new stream that has already ended.
    void setFreshEndedStreams(bool on) {
        std::lock_guard lock(mutex_);
        freshEndedStreams_ = on;
    }

    void push(std::string message) { currentStream()->yield(std::move(message)); }
    // Ends the current stream (with error when given); with `replace` later
    // receive() calls hand out a new live stream.
    void endStream(std::exception_ptr error = nullptr, bool replace = false) {
        MessageStreamHandle old;
        {
            std::lock_guard lock(mutex_);
            old = current_;
            if (replace) current_ = rt::AsyncStream<std::string>::make();
        }
        old->finish(std::move(error));
    }

    std::string nextSentRaw() {
        auto message = sent_->nextFor(kTimeout);
        if (!message) throw std::runtime_error("sent stream ended");
        return *message;
    }
    json::Value nextSent() { return json::parse(nextSentRaw()); }
    int sentCount() const { return sentCount_.load(); }
    int receives() const {
        std::lock_guard lock(mutex_);
        return receives_;
    }
    int connects() const {
        std::lock_guard lock(mutex_);
        return connects_;
    }
    int disconnects() const {
        std::lock_guard lock(mutex_);
        return disconnects_;
    }

private:
    using MessageStreamHandle = rt::StreamHandle<std::string>;
    MessageStreamHandle currentStream() {
        std::lock_guard lock(mutex_);
        return current_;
    }

    std::shared_ptr<RecordSink> sink_;
    const Logger logger_;
    mutable std::mutex mutex_;
    MessageStreamHandle current_ = rt::AsyncStream<std::string>::make();
    const MessageStreamHandle sent_ = rt::AsyncStream<std::string>::make();
    std::atomic<int> sentCount_{0};
    Responder responder_;
    std::exception_ptr connectError_;
    std::exception_ptr sendError_;
    bool freshEndedStreams_ = false;
    int receives_ = 0;
    int connects_ = 0;
    int disconnects_ = 0;
};

}  // namespace clienttest
