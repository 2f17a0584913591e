#include "http/curl_http_client.hpp"

#include "runtime/runtime.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace http {

namespace {

using Clock = std::chrono::steady_clock;

// A response head larger than this is refused rather than held.
constexpr std::size_t kMaxHeadBytes = 1 << 20;

bool isTokenChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isToken(std::string_view s) { return !s.empty() && std::all_of(s.begin(), s.end(), isTokenChar); }

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) s.remove_suffix(1);
    return s;
}

// The URL without user information, fit for error messages.
std::string redactedUrl(const std::string& url) {
    const auto scheme = url.find("://");
    if (scheme == std::string::npos) return url;
    const auto authorityStart = scheme + 3;
    const auto authorityEnd = std::min(url.find_first_of("/?#", authorityStart), url.size());
    const auto at = url.rfind('@', authorityEnd == 0 ? 0 : authorityEnd - 1);
    if (at == std::string::npos || at < authorityStart) return url;
    return url.substr(0, authorityStart) + url.substr(at + 1);
}

void validate(const Request& request) {
    const std::string what = "HTTP request not sent: ";
    if (!isToken(request.method)) throw Error(Error::Kind::invalidRequest, what + "invalid method \"" + request.method + "\"");
    if (request.url.empty()) throw Error(Error::Kind::invalidRequest, what + "empty URL");
    for (const auto& f : request.headers.fields()) {
        if (!isToken(f.name)) throw Error(Error::Kind::invalidRequest, what + "invalid header name \"" + f.name + "\"");
        if (f.value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
            throw Error(Error::Kind::invalidRequest, what + "header \"" + f.name + "\" holds a line break or NUL");
        }
    }
    if (request.timeout && request.timeout->count() <= 0) throw Error(Error::Kind::invalidRequest, what + "time-out must be positive");
}

struct Transfer {
    explicit Transfer(Request r) : request(std::move(r)) {}
    ~Transfer() {
        if (easy) curl_easy_cleanup(easy);
        if (headerList) curl_slist_free_all(headerList);
    }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    // Set up by the starting thread, afterwards touched by the worker only.
    Request request;  // owns the body curl sends from
    std::string description;
    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    std::chrono::milliseconds idleTimeout{0};
    std::size_t bufferLimit = 0;
    Clock::time_point lastActivity;
    curl_off_t lastUploaded = 0;
    std::size_t headBytes = 0;
    std::vector<Headers::Field> pendingFields;
    bool headPublished = false;
    std::exception_ptr abortReason;  // why a callback aborted the transfer

    // Shared with the reader.
    std::mutex mutex;
    std::condition_variable cv;
    bool headReady = false;
    int status = 0;
    Headers headers;
    std::deque<std::string> chunks;
    std::size_t buffered = 0;
    bool paused = false;        // the worker paused it because the buffer is full
    bool resumeQueued = false;  // the reader asked the worker to go on
    bool ended = false;         // nothing more will arrive
    bool cancelled = false;
    std::exception_ptr error;   // with ended: the transfer failed

    // Cancels unless the body was completely delivered already.
    void markCancelled() {
        {
            std::lock_guard lock(mutex);
            if (cancelled || (ended && !error && chunks.empty())) return;
            cancelled = true;
            ended = true;
            chunks.clear();
            buffered = 0;
        }
        cv.notify_all();
    }

    // Ends the transfer with an error unless it ended already.
    void fail(std::exception_ptr e) {
        {
            std::lock_guard lock(mutex);
            if (ended) return;
            ended = true;
            error = std::move(e);
        }
        cv.notify_all();
    }

    std::exception_ptr makeError(Error::Kind kind, const std::string& cause) const {
        return std::make_exception_ptr(Error(kind, "HTTP " + description + " failed: " + cause));
    }
};

size_t onHeader(char* data, size_t size, size_t count, void* userdata) {
    auto* t = static_cast<Transfer*>(userdata);
    const size_t length = size * count;
    t->lastActivity = Clock::now();
    if (t->headPublished) return length;  // trailers
    t->headBytes += length;
    if (t->headBytes > kMaxHeadBytes) {
        t->abortReason = t->makeError(Error::Kind::transferFailed,
                                      "response head exceeds " + std::to_string(kMaxHeadBytes) + " bytes");
        return 0;
    }
    const std::string_view raw(data, length);
    const std::string_view line = trimmed(raw);
    if (raw.starts_with("HTTP/")) {
        t->pendingFields.clear();
        return length;
    }
    if (line.empty()) {
        long code = 0;
        curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &code);
        if (code >= 100 && code < 200) {
            t->pendingFields.clear();  // an interim head; the final one follows
            return length;
        }
        t->headPublished = true;
        Headers headers;
        for (auto& f : t->pendingFields) headers.add(std::move(f.name), std::move(f.value));
        t->pendingFields.clear();
        {
            std::lock_guard lock(t->mutex);
            t->status = static_cast<int>(code);
            t->headers = std::move(headers);
            t->headReady = true;
        }
        t->cv.notify_all();
        return length;
    }
    if (raw.front() == ' ' || raw.front() == '\t') {
        // An obsolete folded continuation of the previous field.
        if (!t->pendingFields.empty()) t->pendingFields.back().value.append(" ").append(line);
        return length;
    }
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) return length;
    t->pendingFields.push_back({std::string(trimmed(line.substr(0, colon))), std::string(trimmed(line.substr(colon + 1)))});
    return length;
}

size_t onWrite(char* data, size_t size, size_t count, void* userdata) {
    auto* t = static_cast<Transfer*>(userdata);
    const size_t length = size * count;
    {
        std::lock_guard lock(t->mutex);
        if (t->cancelled || t->ended) return 0;
        if (t->buffered >= t->bufferLimit) {
            t->paused = true;
            return CURL_WRITEFUNC_PAUSE;  // curl hands the same bytes again on resume
        }
        if (length > 0) {
            t->chunks.emplace_back(data, length);
            t->buffered += length;
        }
    }
    t->lastActivity = Clock::now();
    t->cv.notify_all();
    return length;
}

int onProgress(void* userdata, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded) {
    auto* t = static_cast<Transfer*>(userdata);
    // Bytes going out count as activity too: a large body is not idle.
    if (uploaded != t->lastUploaded) {
        t->lastUploaded = uploaded;
        t->lastActivity = Clock::now();
    }
    return 0;
}

Error::Kind kindOf(CURLcode code) {
    switch (code) {
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_URL_MALFORMAT:
            return Error::Kind::invalidRequest;
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
            return Error::Kind::connectionFailed;
        case CURLE_OPERATION_TIMEDOUT:
            return Error::Kind::timedOut;
        default:
            return Error::Kind::transferFailed;
    }
}

}  // namespace

// ---- Engine: the worker thread and its multi handle ------------------------

class CurlHttpClient::Engine {
public:
    Engine() {
        static std::once_flag globalInit;
        std::call_once(globalInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
        multi_ = curl_multi_init();
        if (!multi_) throw Error(Error::Kind::transferFailed, "HTTP client not created: curl_multi_init failed");
        thread_ = std::thread([this] { run(); });
    }

    ~Engine() { shutdown(); }

    void submit(const std::shared_ptr<Transfer>& t) {
        std::lock_guard lock(mutex_);
        if (invalidated_ || stopping_) throw rt::Cancelled();
        registry_.insert(t);
        commands_.push_back({Command::add, t});
        curl_multi_wakeup(multi_);
    }

    void cancel(const std::shared_ptr<Transfer>& t) {
        t->markCancelled();
        post({Command::remove, t});
    }

    void resume(const std::shared_ptr<Transfer>& t) { post({Command::resume, t}); }

    void cancelAll(bool invalidate) {
        std::set<std::shared_ptr<Transfer>> live;
        {
            std::lock_guard lock(mutex_);
            if (invalidate) invalidated_ = true;
            live = registry_;
        }
        for (const auto& t : live) t->markCancelled();
        post({Command::removeAll, nullptr});
    }

    void shutdown() {
        {
            std::lock_guard lock(mutex_);
            if (!stopping_) {
                stopping_ = true;
                if (!workerDone_) curl_multi_wakeup(multi_);
            }
        }
        if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    }

private:
    struct Command {
        enum Kind { add, remove, resume, removeAll } kind;
        std::shared_ptr<Transfer> transfer;
    };

    void post(Command command) {
        std::lock_guard lock(mutex_);
        if (workerDone_) return;
        commands_.push_back(std::move(command));
        curl_multi_wakeup(multi_);
    }

    void run() {
        for (;;) {
            std::vector<Command> commands;
            bool stopping;
            {
                std::lock_guard lock(mutex_);
                commands.swap(commands_);
                stopping = stopping_;
            }
            for (auto& c : commands) handle(c);
            if (stopping) break;

            int running = 0;
            curl_multi_perform(multi_, &running);
            int queued = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi_, &queued)) {
                if (msg->msg != CURLMSG_DONE) continue;
                const auto it = active_.find(msg->easy_handle);
                if (it == active_.end()) continue;
                const auto t = it->second;
                complete(t, msg->data.result);
            }
            const auto now = Clock::now();
            auto wait = std::chrono::milliseconds(1000);
            std::vector<std::shared_ptr<Transfer>> idle;
            for (const auto& [easy, t] : active_) {
                {
                    std::lock_guard lock(t->mutex);
                    if (t->paused) continue;  // a slow reader is not an idle server
                }
                const auto deadline = t->lastActivity + t->idleTimeout;
                if (now >= deadline) {
                    idle.push_back(t);
                } else {
                    wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
                }
            }
            for (const auto& t : idle) {
                t->fail(t->makeError(Error::Kind::timedOut,
                                     "timed out (no data for " + std::to_string(t->idleTimeout.count()) + " ms)"));
                detach(t);
            }
            long curlTimeout = -1;
            curl_multi_timeout(multi_, &curlTimeout);
            if (curlTimeout >= 0) wait = std::min(wait, std::chrono::milliseconds(curlTimeout));
            curl_multi_poll(multi_, nullptr, 0, static_cast<int>(wait.count()), nullptr);
        }
        // Stopping: everything still running is cancelled.
        std::vector<std::shared_ptr<Transfer>> remaining;
        for (const auto& [easy, t] : active_) remaining.push_back(t);
        for (const auto& t : remaining) {
            t->markCancelled();
            detach(t);
        }
        std::vector<Command> late;
        {
            std::lock_guard lock(mutex_);
            workerDone_ = true;
            late.swap(commands_);
        }
        for (auto& c : late) {
            if (c.transfer) c.transfer->markCancelled();
        }
        curl_multi_cleanup(multi_);
        multi_ = nullptr;
        std::lock_guard lock(mutex_);
        registry_.clear();
    }

    void handle(Command& c) {
        switch (c.kind) {
            case Command::add: {
                const auto& t = c.transfer;
                bool cancelled;
                {
                    std::lock_guard lock(t->mutex);
                    cancelled = t->cancelled;
                }
                if (cancelled || stoppingNow()) {
                    t->markCancelled();
                    forget(t);
                    return;
                }
                t->lastActivity = Clock::now();
                if (curl_multi_add_handle(multi_, t->easy) != CURLM_OK) {
                    t->fail(t->makeError(Error::Kind::transferFailed, "the transfer could not be started"));
                    forget(t);
                    return;
                }
                active_.emplace(t->easy, t);
                return;
            }
            case Command::remove:
                if (c.transfer->easy && active_.count(c.transfer->easy)) detach(c.transfer);
                return;
            case Command::resume: {
                const auto& t = c.transfer;
                if (!t->easy || !active_.count(t->easy)) return;
                {
                    std::lock_guard lock(t->mutex);
                    t->resumeQueued = false;
                    if (!t->paused) return;
                    t->paused = false;
                }
                t->lastActivity = Clock::now();
                curl_easy_pause(t->easy, CURLPAUSE_CONT);
                return;
            }
            case Command::removeAll: {
                std::vector<std::shared_ptr<Transfer>> all;
                for (const auto& [easy, t] : active_) all.push_back(t);
                for (const auto& t : all) {
                    t->markCancelled();
                    detach(t);
                }
                return;
            }
        }
    }

    bool stoppingNow() {
        std::lock_guard lock(mutex_);
        return stopping_;
    }

    void complete(const std::shared_ptr<Transfer>& t, CURLcode code) {
        if (t->abortReason) {
            t->fail(t->abortReason);
        } else if (code != CURLE_OK) {
            std::string cause = curl_easy_strerror(code);
            if (t->errorBuffer[0] != '\0') cause += std::string(" (") + t->errorBuffer + ")";
            t->fail(t->makeError(kindOf(code), cause));
        } else {
            bool head;
            {
                std::lock_guard lock(t->mutex);
                head = t->headReady;
                if (head) t->ended = true;
            }
            if (head) {
                t->cv.notify_all();
            } else {
                t->fail(t->makeError(Error::Kind::transferFailed, "no response head received"));
            }
        }
        detach(t);
    }

    // Takes the transfer off the multi handle and releases its curl handle.
    void detach(const std::shared_ptr<Transfer>& t) {
        if (t->easy) {
            curl_multi_remove_handle(multi_, t->easy);
            active_.erase(t->easy);
            curl_easy_cleanup(t->easy);
            t->easy = nullptr;
        }
        forget(t);
    }

    void forget(const std::shared_ptr<Transfer>& t) {
        std::lock_guard lock(mutex_);
        registry_.erase(t);
    }

    std::mutex mutex_;
    std::vector<Command> commands_;
    std::set<std::shared_ptr<Transfer>> registry_;  // submitted and not yet done
    bool invalidated_ = false;
    bool stopping_ = false;
    bool workerDone_ = false;
    CURLM* multi_ = nullptr;
    std::thread thread_;
    std::unordered_map<CURL*, std::shared_ptr<Transfer>> active_;  // worker only
};

// ---- Response ----------------------------------------------------------------

namespace {

using StopCallback = std::stop_callback<std::function<void()>>;

class CurlResponse final : public Response {
public:
    CurlResponse(std::shared_ptr<CurlHttpClient::Engine> engine, std::shared_ptr<Transfer> transfer,
                 std::unique_ptr<StopCallback> onStop)
        : engine_(std::move(engine)), transfer_(std::move(transfer)), onStop_(std::move(onStop)) {}

    ~CurlResponse() override {
        onStop_.reset();
        cancel();
    }

    int status() const override { return transfer_->status; }
    const Headers& headers() const override { return transfer_->headers; }

    std::optional<std::string> readChunk(std::stop_token stop) override {
        StopCallback onStop(stop, [this] { cancel(); });
        Transfer& t = *transfer_;
        std::string chunk;
        bool resume = false;
        {
            std::unique_lock lock(t.mutex);
            t.cv.wait(lock, [&] { return !t.chunks.empty() || t.ended; });
            if (t.cancelled) throw rt::Cancelled();
            if (t.chunks.empty()) {
                if (t.error) std::rethrow_exception(t.error);
                return std::nullopt;
            }
            chunk = std::move(t.chunks.front());
            t.chunks.pop_front();
            t.buffered -= chunk.size();
            // Resume at half the limit so a steady reader does not pause the
            // transfer on every read.
            if (t.paused && !t.resumeQueued && t.buffered <= t.bufferLimit / 2) {
                t.resumeQueued = true;
                resume = true;
            }
        }
        if (resume) engine_->resume(transfer_);
        return chunk;
    }

    void cancel() override {
        {
            std::lock_guard lock(transfer_->mutex);
            if (transfer_->cancelled || (transfer_->ended && transfer_->chunks.empty())) return;
        }
        engine_->cancel(transfer_);
    }

private:
    std::shared_ptr<CurlHttpClient::Engine> engine_;
    std::shared_ptr<Transfer> transfer_;
    std::unique_ptr<StopCallback> onStop_;
};

void setUp(Transfer& t) {
    const Request& r = t.request;
    t.easy = curl_easy_init();
    if (!t.easy) throw Error(Error::Kind::transferFailed, "HTTP " + t.description + " failed: curl_easy_init failed");
    CURL* e = t.easy;
    curl_easy_setopt(e, CURLOPT_URL, r.url.c_str());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t.errorBuffer);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(t.idleTimeout.count()));
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, onWrite);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);

    if (r.method == "GET" && r.body.empty()) {
        curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
    } else if (r.method == "HEAD" && r.body.empty()) {
        curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
    } else if (r.method == "POST" || !r.body.empty()) {
        curl_easy_setopt(e, CURLOPT_POST, 1L);
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.body.size()));
        curl_easy_setopt(e, CURLOPT_POSTFIELDS, r.body.data());
        if (r.method != "POST") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r.method.c_str());
    } else {
        curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r.method.c_str());
    }

    auto append = [&](const std::string& line) {
        curl_slist* next = curl_slist_append(t.headerList, line.c_str());
        if (!next) throw Error(Error::Kind::transferFailed, "HTTP " + t.description + " failed: out of memory");
        t.headerList = next;
    };
    for (const auto& f : r.headers.fields()) {
        // "Name;" is curl's way of sending a field with an empty value.
        append(f.value.empty() ? f.name + ";" : f.name + ": " + f.value);
    }
    // Send exactly what the caller set: no "Expect: 100-continue" round trip,
    // no form content type invented for a body.
    if (!r.headers.contains("Expect")) append("Expect:");
    const bool sendsBody = r.method == "POST" || !r.body.empty();
    if (sendsBody && !r.headers.contains("Content-Type")) append("Content-Type:");
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, t.headerList);
}

}  // namespace

// ---- CurlHttpClient ----------------------------------------------------------

CurlHttpClient::CurlHttpClient(Configuration configuration)
    : configuration_(configuration), engine_(std::make_shared<Engine>()) {
    if (configuration_.idleTimeout.count() <= 0) configuration_.idleTimeout = std::chrono::milliseconds(60000);
    if (configuration_.bodyBufferLimit == 0) configuration_.bodyBufferLimit = 1;
}

CurlHttpClient::~CurlHttpClient() { engine_->shutdown(); }

std::unique_ptr<Response> CurlHttpClient::start(Request request, std::stop_token stop) {
    validate(request);
    auto t = std::make_shared<Transfer>(std::move(request));
    t->description = t->request.method + " " + redactedUrl(t->request.url);
    t->idleTimeout = t->request.timeout.value_or(configuration_.idleTimeout);
    t->bufferLimit = configuration_.bodyBufferLimit;
    setUp(*t);
    if (stop.stop_requested()) throw rt::Cancelled();
    engine_->submit(t);

    auto onStop = std::make_unique<StopCallback>(stop, [engine = engine_, t] { engine->cancel(t); });
    try {
        std::unique_lock lock(t->mutex);
        t->cv.wait(lock, [&] { return t->headReady || t->ended; });
        if (t->cancelled) throw rt::Cancelled();
        if (!t->headReady) std::rethrow_exception(t->error);
    } catch (...) {
        onStop.reset();
        engine_->cancel(t);
        throw;
    }
    return std::make_unique<CurlResponse>(engine_, t, std::move(onStop));
}

void CurlHttpClient::cancelAll() { engine_->cancelAll(false); }

void CurlHttpClient::invalidate() { engine_->cancelAll(true); }

}  // namespace http
