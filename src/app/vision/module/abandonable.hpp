// Work that a library cannot be asked to stop (a picture decoder,
// Tesseract's page layout) runs on a thread of its own, so that a call whose
// stop is requested goes on at once: the work ends by itself and its result
// is dropped. At exit the process waits a few seconds at most for such work
// still running, so that no library's statics go from under it.
#pragma once

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
#include <utility>

namespace app::vision::module {

namespace detail {
// Counts the work running; the first start registers the wait at exit.
void abandonableStarted();
void abandonableEnded();
}  // namespace detail

// work's result, or its exception rethrown; absent once stop is requested
// (also before it starts). work owns what it reads: it may outlive the call.
template <class F>
auto untilStopped(std::stop_token stop, F work) -> std::optional<decltype(work())> {
    using T = decltype(work());
    if (stop.stop_requested()) return std::nullopt;
    struct Outcome {
        std::mutex mutex;
        std::condition_variable_any done;
        bool finished = false;
        std::optional<T> value;
        std::exception_ptr error;
    };
    auto outcome = std::make_shared<Outcome>();
    detail::abandonableStarted();
    std::thread thread;
    try {
        thread = std::thread([outcome, work = std::move(work)]() mutable {
            {
                F job = std::move(work);  // gone, with what it holds, before the work counts as ended
                std::optional<T> value;
                std::exception_ptr error;
                try {
                    value.emplace(job());
                } catch (...) {
                    error = std::current_exception();
                }
                {
                    std::lock_guard lock(outcome->mutex);
                    outcome->value = std::move(value);
                    outcome->error = error;
                    outcome->finished = true;
                }
                outcome->done.notify_all();
                outcome.reset();
            }
            detail::abandonableEnded();
        });
    } catch (...) {  // no thread to end it: the count would hold every exit
        detail::abandonableEnded();
        throw;
    }
    thread.detach();
    std::unique_lock lock(outcome->mutex);
    if (!outcome->done.wait(lock, stop, [&] { return outcome->finished; })) return std::nullopt;
    if (outcome->error) std::rethrow_exception(outcome->error);
    return std::move(outcome->value);
}

}  // namespace app::vision::module
