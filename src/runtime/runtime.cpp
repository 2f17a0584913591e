#include "runtime/runtime.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <system_error>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace rt {

namespace {
thread_local std::stop_token threadStop;
}  // namespace

StopScope::StopScope(std::stop_token stop) : outer_(std::exchange(threadStop, std::move(stop))) {}

StopScope::~StopScope() { threadStop = std::move(outer_); }

std::stop_token currentStop() { return threadStop; }

void sleepFor(Clock::duration duration, std::stop_token stop) {
    if (stop.stop_requested()) throw Cancelled();
    if (duration <= Clock::duration::zero()) return;
    // A timer on the clock that keeps counting while the system sleeps: a
    // pause of a minute is over a minute after it began, suspended or not.
    const int timer = ::timerfd_create(CLOCK_BOOTTIME, TFD_CLOEXEC);
    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (timer < 0 || wake < 0) {
        if (timer >= 0) ::close(timer);
        if (wake >= 0) ::close(wake);
        throw std::system_error(errno, std::generic_category(), "sleep timer");
    }
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
    itimerspec interval{};
    interval.it_value.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    interval.it_value.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    ::timerfd_settime(timer, 0, &interval, nullptr);
    {
        std::stop_callback onStop(stop, [wake] {
            const std::uint64_t one = 1;
            [[maybe_unused]] const auto n = ::write(wake, &one, sizeof one);
        });
        pollfd fds[2] = {{timer, POLLIN, 0}, {wake, POLLIN, 0}};
        while (::poll(fds, 2, -1) < 0 && errno == EINTR) {
        }
    }
    ::close(timer);
    ::close(wake);
    if (stop.stop_requested()) throw Cancelled();
}

void Task::join() {
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
        return;
    }
    thread_.join();
}

namespace {
void runReported(const char* where, Job& job) {
    try {
        job();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: job failed: %s\n", where, e.what());
    } catch (...) {
        std::fprintf(stderr, "%s: job failed\n", where);
    }
}
}  // namespace

SerialLane::SerialLane(const char* name) : name_(name), handBack_(false) {
    std::lock_guard lock(mutex_);
    startLocked();
}

SerialLane::~SerialLane() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        posted_.store(true, std::memory_order_relaxed);
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void SerialLane::startLocked() {
    thread_ = std::thread([this] { loop(); });
    // Read by isCurrent() from other threads: set before any job can run.
    threadId_ = thread_.get_id();
}

void SerialLane::post(Job job) {
    bool wake;
    std::deque<Job> spent;
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
        posted_.store(true, std::memory_order_relaxed);
        if (!thread_.joinable()) startLocked();
        wake = sleeping_;
        sleeping_ = false;
        spent.swap(spent_);
    }
    // A busy thread takes the job with the others it finds: no wake-up.
    if (wake) cv_.notify_one();
}

void SerialLane::awaitPost() const {
    const auto until = Clock::now() + kAwake;
    for (;;) {
        for (int i = 0; i < 64; ++i) {
            if (posted_.load(std::memory_order_relaxed)) return;
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
        if (Clock::now() >= until) return;
    }
}

void SerialLane::loop() {
    std::deque<Job> taken, ran, stale;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            // Handed over whole, never job by job: a post waits for this lock.
            // Jobs that ran while the last ones still wait are freed here.
            if (spent_.empty()) spent_.swap(ran);
            if (!ran.empty()) {
                lock.unlock();
                ran.clear();
                lock.lock();
            }
            if (handBack_ && !stopping_ && jobs_.empty()) {
                lock.unlock();
                awaitPost();
                lock.lock();
            }
            while (!stopping_ && jobs_.empty()) {
                sleeping_ = true;
                if (spent_.empty()) {
                    cv_.wait(lock);
                    continue;
                }
                // What ran is the next post's to free, on the posting thread:
                // freed here, the poster's arena lock would go back and forth
                // between the two threads. Only when no post comes soon does
                // the lane free it, before it sleeps.
                if (cv_.wait_for(lock, kSpentGrace) == std::cv_status::timeout && jobs_.empty()) {
                    stale.swap(spent_);
                    lock.unlock();
                    stale.clear();
                    lock.lock();
                }
            }
            sleeping_ = false;
            if (jobs_.empty()) return;  // stopping and drained
            // Every queued job per wake-up: one lock for them all, not one each.
            taken.swap(jobs_);
            posted_.store(false, std::memory_order_relaxed);
        }
        while (!taken.empty()) {
            runReported(name_, taken.front());
            if (handBack_) ran.push_back(std::move(taken.front()));
            taken.pop_front();
        }
    }
}

}  // namespace rt
