// Threads, queues, one-shot results and cancellation: the blocking forms of the
// design's asynchronous operations. Every wait honours a std::stop_token.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <thread>
#include <type_traits>
#include <utility>
#include <variant>

namespace rt {

using Clock = std::chrono::steady_clock;

// Thrown by a wait whose stop token was triggered.
class Cancelled : public std::runtime_error {
public:
    Cancelled() : std::runtime_error("Cancelled") {}
};

// Thrown by a wait given a deadline that passed first.
class TimedOut : public std::runtime_error {
public:
    TimedOut() : std::runtime_error("Timed out") {}
};

// Sleeps on the clock that runs through system sleep (CLOCK_BOOTTIME); throws
// Cancelled as soon as stop is requested.
void sleepFor(Clock::duration duration, std::stop_token stop = {});

// The stop of the call this thread runs, for work far below it that takes no
// token of its own (a store reading its files): set for a scope by whoever
// runs the call, the outer one back at its end; without one, a stop that is
// never requested.
class StopScope {
public:
    explicit StopScope(std::stop_token stop);
    ~StopScope();
    StopScope(const StopScope&) = delete;
    StopScope& operator=(const StopScope&) = delete;

private:
    std::stop_token outer_;
};
std::stop_token currentStop();

namespace detail {
// Waits on cv until pred holds; throws Cancelled on stop, TimedOut past deadline.
template <class Lock, class Pred>
void waitUntil(std::condition_variable_any& cv, Lock& lock, std::stop_token stop,
               std::optional<Clock::time_point> deadline, Pred pred) {
    while (!pred()) {
        if (stop.stop_requested()) throw Cancelled();
        if (deadline) {
            if (!cv.wait_until(lock, stop, *deadline, pred)) {
                if (stop.stop_requested()) throw Cancelled();
                if (Clock::now() >= *deadline) throw TimedOut();
            }
        } else {
            cv.wait(lock, stop, pred);
        }
    }
}
}  // namespace detail

// FIFO of received elements: many producers, one consumer. Shared by handle
// (std::shared_ptr). After finish(), next() drains what is queued and then
// reports the end (nullopt) or throws the finishing error.
template <class T>
class AsyncStream {
public:
    AsyncStream() = default;
    // A capacity of 0 is unbounded.
    explicit AsyncStream(std::size_t capacity) : capacity_(capacity) {}

    static std::shared_ptr<AsyncStream> make(std::size_t capacity = 0) {
        return std::make_shared<AsyncStream>(capacity);
    }

    // Queues an element, whatever the capacity; false (and the element
    // dropped) once finished.
    bool yield(T value) {
        {
            std::lock_guard lock(mutex_);
            if (finished_) return false;
            queue_.push_back(std::move(value));
        }
        cv_.notify_all();
        return true;
    }

    // Queues an element, first waiting while the queue is at its capacity: a
    // reader that outpaces its consumer stops reading instead of growing the
    // queue. False once finished; Cancelled on stop.
    bool push(T value, std::stop_token stop = {}) {
        {
            std::unique_lock lock(mutex_);
            detail::waitUntil(cv_, lock, stop, std::nullopt,
                              [&] { return finished_ || capacity_ == 0 || queue_.size() < capacity_; });
            if (finished_) return false;
            queue_.push_back(std::move(value));
        }
        cv_.notify_all();
        return true;
    }

    // Ends the stream; later calls are ignored.
    void finish(std::exception_ptr error = nullptr) {
        {
            std::lock_guard lock(mutex_);
            if (finished_) return;
            finished_ = true;
            error_ = error;
        }
        cv_.notify_all();
    }

    // Ends the stream at once, finished or not: what is queued is dropped, and
    // next() throws `error` (or the earlier finishing error, or reports the end).
    void cancel(std::exception_ptr error = nullptr) {
        std::deque<T> dropped;
        {
            std::lock_guard lock(mutex_);
            if (!finished_) error_ = error;
            finished_ = true;
            dropped.swap(queue_);
        }
        cv_.notify_all();
    }

    // The next element; nullopt at the end; throws the finishing error after
    // the queue drained, Cancelled on stop, TimedOut past the deadline.
    std::optional<T> next(std::stop_token stop = {}, std::optional<Clock::time_point> deadline = {}) {
        std::unique_lock lock(mutex_);
        detail::waitUntil(cv_, lock, stop, deadline, [&] { return !queue_.empty() || finished_; });
        if (!queue_.empty()) return popLocked(lock);
        if (error_) std::rethrow_exception(error_);
        return std::nullopt;
    }

    std::optional<T> nextFor(Clock::duration timeout, std::stop_token stop = {}) {
        return next(stop, Clock::now() + timeout);
    }

    // An element if one is queued, without waiting.
    std::optional<T> tryNext() {
        std::unique_lock lock(mutex_);
        if (queue_.empty()) return std::nullopt;
        return popLocked(lock);
    }

    // Elements queued now.
    std::size_t size() const {
        std::lock_guard lock(mutex_);
        return queue_.size();
    }

    bool isFinished() const {
        std::lock_guard lock(mutex_);
        return finished_;
    }
    // Finished and drained: next() would not wait.
    bool isEnded() const {
        std::lock_guard lock(mutex_);
        return finished_ && queue_.empty();
    }

private:
    T popLocked(std::unique_lock<std::mutex>& lock) {
        T value = std::move(queue_.front());
        queue_.pop_front();
        const bool wasFull = capacity_ != 0 && queue_.size() + 1 == capacity_;
        lock.unlock();
        if (wasFull) cv_.notify_all();  // a producer may be waiting for room
        return value;
    }

    const std::size_t capacity_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable_any cv_;
    std::deque<T> queue_;
    bool finished_ = false;
    std::exception_ptr error_;
};

template <class T>
using StreamHandle = std::shared_ptr<AsyncStream<T>>;

// A continuation resumed at most once (later resumes are ignored), waited
// with a stop token. Use OneShot<std::monostate> for a signal without a value.
template <class T>
class OneShot {
public:
    // True when this call resumed it.
    bool resume(T value) { return set(std::variant<std::monostate, T, std::exception_ptr>(std::in_place_index<1>, std::move(value))); }
    bool fail(std::exception_ptr error) { return set(std::variant<std::monostate, T, std::exception_ptr>(std::in_place_index<2>, error)); }

    bool isResumed() const {
        std::lock_guard lock(mutex_);
        return state_.index() != 0;
    }

    // Blocks until resumed; rethrows a failure; Cancelled on stop; TimedOut past deadline.
    T wait(std::stop_token stop = {}, std::optional<Clock::time_point> deadline = {}) {
        std::unique_lock lock(mutex_);
        detail::waitUntil(cv_, lock, stop, deadline, [&] { return state_.index() != 0; });
        if (state_.index() == 2) std::rethrow_exception(std::get<2>(state_));
        return std::get<1>(state_);
    }
    T waitFor(Clock::duration timeout, std::stop_token stop = {}) { return wait(stop, Clock::now() + timeout); }

private:
    bool set(std::variant<std::monostate, T, std::exception_ptr> v) {
        {
            std::lock_guard lock(mutex_);
            if (state_.index() != 0) return false;
            state_ = std::move(v);
        }
        cv_.notify_all();
        return true;
    }

    mutable std::mutex mutex_;
    std::condition_variable_any cv_;
    std::variant<std::monostate, T, std::exception_ptr> state_;
};

// A task: a thread plus its stop source. Destruction requests stop and joins.
class Task {
public:
    Task() = default;
    template <class F>
        requires std::is_invocable_v<F, std::stop_token>
    explicit Task(F&& body) : thread_(std::forward<F>(body)) {}

    Task(Task&&) = default;
    Task& operator=(Task&&) = default;

    void cancel() { thread_.request_stop(); }
    bool isCancelled() const { return thread_.get_stop_token().stop_requested(); }
    // Waits for the body to return; a task joining itself only detaches the wait.
    void join();
    bool joinable() const { return thread_.joinable(); }
    std::stop_token stopToken() const { return thread_.get_stop_token(); }
    std::thread::id id() const { return thread_.get_id(); }

private:
    std::jthread thread_;
};

// A job for a lane: any callable taking nothing, moved, never copied. One
// of up to six pointers' size is kept inline: a lane's common jobs (a call
// and what counts it) then cost no allocation of their own.
class Job {
public:
    Job() noexcept = default;
    template <class F>
        requires(!std::is_same_v<std::decay_t<F>, Job> && std::is_invocable_v<std::decay_t<F>&>)
    Job(F&& f) {  // NOLINT(google-explicit-constructor): a lambda is a job
        using Stored = std::decay_t<F>;
        if constexpr (sizeof(Stored) <= kInline && alignof(Stored) <= alignof(std::max_align_t) &&
                      std::is_nothrow_move_constructible_v<Stored>) {
            ::new (static_cast<void*>(inline_)) Stored(std::forward<F>(f));
            ops_ = &kInlineOps<Stored>;
        } else {
            heap_ = new Stored(std::forward<F>(f));
            ops_ = &kHeapOps<Stored>;
        }
    }
    Job(Job&& other) noexcept { takeFrom(other); }
    Job& operator=(Job&& other) noexcept {
        if (this != &other) {
            reset();
            takeFrom(other);
        }
        return *this;
    }
    ~Job() { reset(); }

    explicit operator bool() const noexcept { return ops_ != nullptr; }
    void operator()() { ops_->invoke(*this); }

private:
    static constexpr std::size_t kInline = 6 * sizeof(void*);

    struct Ops {
        void (*invoke)(Job&);
        void (*moveTo)(Job& from, Job& to) noexcept;  // leaves `from` empty of its object
        void (*destroy)(Job&) noexcept;
    };
    template <class F>
    static F& inlined(Job& j) noexcept {
        return *std::launder(reinterpret_cast<F*>(j.inline_));
    }
    template <class F>
    static void invokeInline(Job& j) {
        inlined<F>(j)();
    }
    template <class F>
    static void moveInline(Job& from, Job& to) noexcept {
        ::new (static_cast<void*>(to.inline_)) F(std::move(inlined<F>(from)));
        inlined<F>(from).~F();
    }
    template <class F>
    static void destroyInline(Job& j) noexcept {
        inlined<F>(j).~F();
    }
    template <class F>
    static void invokeHeap(Job& j) {
        (*static_cast<F*>(j.heap_))();
    }
    static void moveHeap(Job& from, Job& to) noexcept { to.heap_ = from.heap_; }
    template <class F>
    static void destroyHeap(Job& j) noexcept {
        delete static_cast<F*>(j.heap_);
    }
    template <class F>
    static constexpr Ops kInlineOps{&invokeInline<F>, &moveInline<F>, &destroyInline<F>};
    template <class F>
    static constexpr Ops kHeapOps{&invokeHeap<F>, &moveHeap, &destroyHeap<F>};

    void takeFrom(Job& other) noexcept {
        if (!other.ops_) return;
        other.ops_->moveTo(other, *this);
        ops_ = std::exchange(other.ops_, nullptr);
    }
    void reset() noexcept {
        if (ops_) std::exchange(ops_, nullptr)->destroy(*this);
    }

    const Ops* ops_ = nullptr;
    union {
        alignas(std::max_align_t) unsigned char inline_[kInline];
        void* heap_;
    };
};

// Jobs run one after another in the order posted, on a thread of its own
// that the first job starts: work that must keep its order but must not hold
// the main executor.
//
// A job that has run is destroyed by the next post, on the posting thread,
// or by the lane when no post came for a millisecond. A job is mostly made
// by the thread that posts it: freed there, its memory goes back to that
// thread's allocator arena, instead of the lane taking that arena's lock
// from it at every job. Out of work, a lane stays awake a millisecond for
// the next post before it sleeps.
class SerialLane {
public:
    using Job = rt::Job;

    SerialLane() = default;
    ~SerialLane();  // runs the jobs already queued, then stops
    SerialLane(const SerialLane&) = delete;
    SerialLane& operator=(const SerialLane&) = delete;

    // Queues a job. An exception escaping it is reported on stderr.
    void post(Job job);

    // True on the thread that runs the jobs.
    bool isCurrent() const { return std::this_thread::get_id() == threadId_.load(); }

protected:
    // Starts the thread now rather than at the first job; `name` labels the
    // reports of failed jobs. Jobs are destroyed where they ran.
    explicit SerialLane(const char* name);

private:
    // How long jobs that ran wait for a post to take them.
    static constexpr std::chrono::milliseconds kSpentGrace{1};
    // How long a lane out of work stays awake for the next post before it
    // sleeps: a thread woken can take half a millisecond to run again on a
    // virtual machine, while a flood's jobs pile up to the callers' bounds.
    static constexpr std::chrono::milliseconds kAwake{1};

    void startLocked();
    void loop();
    // Returns at the first post, or after kAwake.
    void awaitPost() const;

    const char* name_ = "SerialLane";
    const bool handBack_ = true;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Job> jobs_;
    std::deque<Job> spent_;  // run, for the next post to destroy
    bool stopping_ = false;
    bool sleeping_ = false;  // the thread waits for jobs: a post must wake it
    std::atomic<bool> posted_ = false;  // a job came since the thread took the last ones, or a stop
    std::atomic<std::thread::id> threadId_;
    std::thread thread_;
};

// The main actor: one thread running jobs in FIFO order.
class MainExecutor : public SerialLane {
public:
    MainExecutor() : SerialLane("MainExecutor") {}

    // Runs fn on the executor and returns its result, rethrowing its exception.
    // On the executor thread itself it runs inline. Waiting honours stop.
    template <class F>
    auto run(F&& fn, std::stop_token stop = {}) -> std::invoke_result_t<F> {
        using R = std::invoke_result_t<F>;
        if (isCurrent()) return fn();
        using Stored = std::conditional_t<std::is_void_v<R>, std::monostate, R>;
        auto done = std::make_shared<OneShot<Stored>>();
        post([done, f = std::forward<F>(fn)]() mutable {
            try {
                if constexpr (std::is_void_v<R>) {
                    f();
                    done->resume(std::monostate{});
                } else {
                    done->resume(f());
                }
            } catch (...) {
                done->fail(std::current_exception());
            }
        });
        if constexpr (std::is_void_v<R>) {
            done->wait(stop);
        } else {
            return done->wait(stop);
        }
    }

    // Blocks until every job queued before this call has run.
    void drain() { run([] {}); }
};

}  // namespace rt
