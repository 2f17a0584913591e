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
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport {
// What the test returns for one message sent: the replies to push.
using Responder = std::function<std::vector<std::string>(const json::Value& sent)>;

// Records what its user (client or server) sends and hands it what the test
// pushes; receive() returns the same stream every time, as real transports do.
class ScriptedTransport final : public mcp::Transport {
public:
    explicit ScriptedTransport(std::shared_ptr<logging::testing::RecordSink> sink =
                                   std::make_shared<logging::testing::RecordSink>())
        : sink_(std::move(sink)), logger_(logging::testing::recordingLogger(sink_)) {}

    const logging::Logger& logger() const override { return logger_; }

    void connect(std::stop_token) override {
        std::lock_guard lock(mutex_);
        ++connects_;
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
            responder = responder_;
        }
        sentCount_.fetch_add(1);
        sent_->yield(message);
        if (responder) for (auto& answer : responder(json::parse(message))) push(std::move(answer));
    }
    mcp::MessageStream receive() override {
        std::lock_guard lock(mutex_);
        ++receives_;
        return current_;
    }

    void setResponder(Responder responder) {
        std::lock_guard lock(mutex_);
        responder_ = std::move(responder);
    }
    void push(std::string message) { currentStream()->yield(std::move(message)); }
    void endStream(std::exception_ptr error = nullptr) { currentStream()->finish(std::move(error)); }

    std::string nextSentRaw() {
        auto message = sent_->nextFor(std::chrono::seconds(10));
        if (!message) throw std::runtime_error("sent stream ended");
        return *message;
    }
    json::Value nextSent() { return json::parse(nextSentRaw()); }
    std::string exchange(std::string message) {
        push(std::move(message));
        return nextSentRaw();
    }
    int sentCount() const { return sentCount_.load(); }
    int receives() const { return locked(receives_); }
    int connects() const { return locked(connects_); }
    int disconnects() const { return locked(disconnects_); }

private:
    int locked(const int& count) const {
        std::lock_guard lock(mutex_);
        return count;
    }
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
    int receives_ = 0;
    int connects_ = 0;
    int disconnects_ = 0;
};

}  // namespace testsupport
