// The HTTP client interface the protocol transports and the event-source client
// are built on: a request delivers its response head first, then its body in
// pieces as they arrive. Every wait honours a std::stop_token.
#pragma once

#include <chrono>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace http {

// Header fields in the order given; a name may occur several times. Names are
// looked up without regard to ASCII case.
class Headers {
public:
    struct Field {
        std::string name;
        std::string value;
        friend bool operator==(const Field&, const Field&) = default;
    };

    Headers() = default;
    Headers(std::initializer_list<Field> fields) : fields_(fields) {}

    // Appends a field, keeping any earlier one of the same name.
    void add(std::string name, std::string value);
    // Replaces every field of that name by one (appended when there was none).
    void set(std::string name, std::string value);
    void remove(std::string_view name);

    // The first value of that name.
    std::optional<std::string> get(std::string_view name) const;
    std::vector<std::string> getAll(std::string_view name) const;
    bool contains(std::string_view name) const { return get(name).has_value(); }

    const std::vector<Field>& fields() const { return fields_; }
    bool empty() const { return fields_.empty(); }

private:
    std::vector<Field> fields_;
};

bool equalsIgnoringCase(std::string_view a, std::string_view b);
// Whether `text` holds `part` anywhere, ASCII case ignored.
bool containsIgnoringCase(std::string_view text, std::string_view part);

struct Request {
    std::string method = "GET";
    std::string url;
    Headers headers;
    std::string body;
    // The longest the request may go without receiving a byte (an idle
    // time-out, never a limit on the whole transfer). Unset: the client's.
    std::optional<std::chrono::milliseconds> timeout;
};

// A failed request. Cancellation is not an Error: it is rt::Cancelled.
class Error : public std::runtime_error {
public:
    enum class Kind {
        invalidRequest,    // bad URL, unsupported scheme, a header that cannot be sent
        connectionFailed,  // name resolution, connect, TLS
        timedOut,          // no byte for the idle time-out
        transferFailed,    // the connection broke or the response was malformed
    };
    Error(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

// One response: its head is complete when the object exists; the body is
// pulled with readChunk. Destroying it cancels the transfer if still running.
class Response {
public:
    virtual ~Response() = default;

    virtual int status() const = 0;
    virtual const Headers& headers() const = 0;

    // The next piece of the body (never empty), or nullopt at its end (again on
    // every later call). Throws Error when the transfer fails and rt::Cancelled
    // when it was cancelled; a stop request through `stop` cancels the transfer.
    virtual std::optional<std::string> readChunk(std::stop_token stop = {}) = 0;

    // Aborts the transfer; a waiting or later readChunk throws rt::Cancelled.
    virtual void cancel() = 0;
};

class HttpClient {
public:
    virtual ~HttpClient() = default;

    // Sends the request and blocks until the response head arrived. A stop
    // request through `stop`, before or after this returns, cancels the
    // transfer (rt::Cancelled). Throws Error on failure.
    virtual std::unique_ptr<Response> start(Request request, std::stop_token stop = {}) = 0;

    // Cancels every request in flight; later requests are served as usual.
    virtual void cancelAll() = 0;
    // Cancels every request in flight and refuses later ones with rt::Cancelled.
    virtual void invalidate() = 0;
};

struct Configuration {
    // Idle time-out of requests that set none.
    std::chrono::milliseconds idleTimeout{60000};
    // Body bytes held for a reader that falls behind; past it the transfer
    // pauses until the reader catches up (exceeded by at most one network read).
    std::size_t bodyBufferLimit = 1 << 20;
};

}  // namespace http
