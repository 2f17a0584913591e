// HttpClient on libcurl: one worker thread drives every transfer of a client
// through a multi handle; readers pull the body from a bounded buffer.
#pragma once

#include "http/http_client.hpp"

#include <memory>

namespace http {

class CurlHttpClient final : public HttpClient {
public:
    explicit CurlHttpClient(Configuration configuration = {});
    // Cancels what is still in flight and stops the worker. Responses that
    // outlive the client report rt::Cancelled.
    ~CurlHttpClient() override;
    CurlHttpClient(const CurlHttpClient&) = delete;
    CurlHttpClient& operator=(const CurlHttpClient&) = delete;

    std::unique_ptr<Response> start(Request request, std::stop_token stop = {}) override;
    void cancelAll() override;
    void invalidate() override;

    const Configuration& configuration() const { return configuration_; }

    class Engine;

private:
    Configuration configuration_;
    std::shared_ptr<Engine> engine_;
};

}  // namespace http
