// A transport scripted by the test, for the client, the server and the bridge:
// it records what is sent, answers through an optional responder and hands
// out what the test pushes.
#pragma once

#include "json/json.hpp"
#include "mcp/transport.hpp"
#include "runtime/runtime.hpp"
#include "support/recording_handler.hpp"

#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport {
// What the test returns for one message sent: the replies to push.
using Responder = std::function<std::vector<std::string>(const json::Value& sent)>;

// Records what its user (client or server) sends and hands it what the test pushes. By default
// receive() returns the same stream every time, as the system's transports do.
class ScriptedTransport final : public mcp::Transport {
public:
    explicit ScriptedTransport(std::shared_ptr<logging::testing::RecordSink> sink =
                                   std::make_shared<logging::testing::RecordSink>())
        : sink_(std::move(sink)), logger_(logging::testing::recordingLogger(sink_)) {}

    const logging::Logger& logger() const override { return logger_; }

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
            if (sendError_ && sendFailures_ > 0) {
                --sendFailures_;
                std::rethrow_exception(sendError_);
            }
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
    // The next `times` sends fail with `error`.
    void setSendError(std::exception_ptr error, int times = std::numeric_limits<int>::max()) {
        std::lock_guard lock(mutex_);
        sendError_ = std::move(error);
        sendFailures_ = times;
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
        auto message = sent_->nextFor(std::chrono::seconds(10));
        if (!message) throw std::runtime_error("sent stream ended");
        return *message;
    }
    json::Value nextSent() { return json::parse(nextSentRaw()); }
    // Pushes one message and returns the next one sent.
    std::string exchange(std::string message) {
        push(std::move(message));
        return nextSentRaw();
    }
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

    std::shared_ptr<logging::testing::RecordSink> sink_;
    const logging::Logger logger_;
    mutable std::mutex mutex_;
    MessageStreamHandle current_ = rt::AsyncStream<std::string>::make();
    const MessageStreamHandle sent_ = rt::AsyncStream<std::string>::make();
    std::atomic<int> sentCount_{0};
    Responder responder_;
    std::exception_ptr connectError_;
    std::exception_ptr sendError_;
    int sendFailures_ = 0;
    bool freshEndedStreams_ = false;
    int receives_ = 0;
    int connects_ = 0;
    int disconnects_ = 0;
};

}  // namespace testsupport
