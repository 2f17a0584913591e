// Helpers for the client tests: the text of a failure and scripted replies.
#pragma once

#include "json/json.hpp"
#include "support/scripted_transport.hpp"
#include "support/wait.hpp"

#include <functional>
#include <regex>
#include <string>
#include <vector>

namespace clienttest {
using namespace std::chrono_literals;
using logging::testing::RecordSink;
using testsupport::Deadline;
using testsupport::ScriptedTransport;

inline constexpr auto kTimeout = std::chrono::seconds(10);

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
        for (const auto& [method, result] : results)
            if (sent.find("method")->asString() == method) out.push_back(reply(*sent.find("id"), result));
        return out;
    };
}

}  // namespace clienttest
