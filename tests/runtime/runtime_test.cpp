#include "runtime/runtime.hpp"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {
constexpr auto kBound = 5s;  // every wait in these tests ends within this

// Nothing lost and each producer's order kept; a bounded stream makes producers wait for room.
TEST(AsyncStream, ManyProducersLoseNothing) {
    constexpr int kProducers = 6, kEach = 4000;
    for (const std::size_t capacity : {std::size_t{0}, std::size_t{4}}) {
        SCOPED_TRACE(capacity);
        auto stream = rt::AsyncStream<int>::make(capacity);
        std::vector<std::jthread> producers;
        for (int p = 0; p < kProducers; ++p)
            producers.emplace_back([stream, p, capacity] {
                for (int i = 0; i < kEach; ++i) {
                    if (capacity) stream->push(p * kEach + i);
                    else stream->yield(p * kEach + i);
                }
            });
        // Ends the stream before the producers are joined, so that none waits for room forever.
        const std::shared_ptr<void> finishFirst(nullptr, [stream](void*) { stream->finish(); });
        std::vector<int> lastSeen(kProducers, -1);
        std::set<int> seen;
        for (int n = 0; n < kProducers * kEach; ++n) {
            EXPECT_TRUE(capacity == 0 || stream->size() <= capacity) << stream->size();
            auto v = stream->nextFor(kBound);
            ASSERT_TRUE(v.has_value());
            int p = *v / kEach;
            EXPECT_GT(*v, lastSeen[p]);
            lastSeen[p] = *v;
            seen.insert(*v);
        }
        EXPECT_EQ(seen.size(), static_cast<size_t>(kProducers * kEach));
    }
}

TEST(AsyncStream, ErrorComesAfterTheQueueDrains) {
    auto stream = rt::AsyncStream<std::string>::make();
    stream->yield("a");
    stream->finish(std::make_exception_ptr(std::runtime_error("broken")));
    EXPECT_EQ(stream->nextFor(kBound), "a");
    try {
        stream->nextFor(kBound);
        ADD_FAILURE() << "no error after the queue drained";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "broken");
    }
}

TEST(AsyncStream, NextWakesOnStopAndOnDeadline) {
    auto stream = rt::AsyncStream<int>::make();
    std::stop_source source;
    std::atomic<bool> cancelled{false};
    std::jthread waiter([&] {
        try {
            stream->next(source.get_token(), rt::Clock::now() + kBound);
        } catch (const rt::Cancelled&) {
            cancelled = true;
        }
    });
    source.request_stop();
    waiter.join();
    EXPECT_TRUE(cancelled);
    EXPECT_THROW(stream->nextFor(10ms), rt::TimedOut);
}

// A producer waiting for room gives up when the stream is cancelled, and what was queued is dropped.
TEST(AsyncStream, CancelEndsAWaitingPushAndDropsTheQueue) {
    constexpr std::size_t kCapacity = 4;
    auto stream = rt::AsyncStream<int>::make(kCapacity);
    for (int i = 0; i < static_cast<int>(kCapacity); ++i) stream->push(i);
    std::jthread waiting([stream] { EXPECT_FALSE(stream->push(99)); });
    stream->cancel(std::make_exception_ptr(std::runtime_error("gone")));
    waiting.join();
    EXPECT_THROW(stream->nextFor(kBound), std::runtime_error);
}

// A call's stop is seen on its own thread only, and an inner call's scope
// gives the outer one back.
TEST(StopScope, ThreadSeesItsCallsStopUntilTheScopeEnds) {
    std::stop_source outer, inner;
    outer.request_stop();
    EXPECT_FALSE(rt::currentStop().stop_possible());
    {
        rt::StopScope first(outer.get_token());
        {
            rt::StopScope second(inner.get_token());
            EXPECT_FALSE(rt::currentStop().stop_requested());
        }
        EXPECT_TRUE(rt::currentStop().stop_requested());
        std::thread([] { EXPECT_FALSE(rt::currentStop().stop_possible()); }).join();
    }
    EXPECT_FALSE(rt::currentStop().stop_possible());
}

TEST(OneShot, SecondResumeIsIgnored) {
    rt::OneShot<int> shot;
    EXPECT_TRUE(shot.resume(1));
    EXPECT_FALSE(shot.resume(2));
    EXPECT_FALSE(shot.fail(std::make_exception_ptr(std::runtime_error("late"))));
    EXPECT_EQ(shot.waitFor(kBound), 1);
    EXPECT_EQ(shot.waitFor(kBound), 1) << "waiting again gives the same value";
}

TEST(MainExecutor, RunReturnsAndRethrows) {
    rt::MainExecutor executor;
    EXPECT_EQ(executor.run([] { return 41 + 1; }), 42);
    EXPECT_THROW(executor.run([]() -> int { throw std::out_of_range("x"); }), std::out_of_range);
    executor.run([] {});  // void jobs work too
    EXPECT_FALSE(executor.isCurrent());
    EXPECT_TRUE(executor.run([&] { return executor.isCurrent(); }));
    // Run from the executor's own thread: inline, or it would wait for itself forever.
    EXPECT_EQ(executor.run([&] { return executor.run([] { return 5; }) + 1; }), 6);
}

TEST(MainExecutor, DestructionRunsQueuedJobs) {
    std::atomic<int> ran{0};
    {
        rt::MainExecutor executor;
        for (int i = 0; i < 100; ++i) executor.post([&] { ++ran; });
    }
    EXPECT_EQ(ran, 100);
}

// A job that has run is destroyed once: by a later post while jobs keep
// coming, by the lane a moment after it runs out of work (nothing it holds
// waits for a post that may never come), by the lane's end at the latest.
// Jobs run in order.
TEST(SerialLane, EveryJobRunsInOrderAndIsDestroyedOnce) {
    struct Counted {
        std::atomic<int>* destroyed;
        explicit Counted(std::atomic<int>* d) : destroyed(d) {}
        Counted(const Counted&) = delete;
        ~Counted() {
            if (destroyed) ++*destroyed;
        }
    };
    constexpr int kJobs = 20000;
    std::atomic<int> destroyed{0};
    std::vector<int> order;
    {
        rt::SerialLane lane;
        for (int i = 0; i < kJobs; ++i) {
            auto held = std::make_shared<Counted>(&destroyed);
            lane.post([held, i, &order] { order.push_back(i); });
        }
        // No post follows: the lane frees what ran before it sleeps.
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        while (destroyed < kJobs && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
        EXPECT_EQ(destroyed, kJobs) << "jobs held after the lane ran out of work";
        lane.post([] {});
    }
    EXPECT_EQ(destroyed, kJobs);
    ASSERT_EQ(order.size(), std::size_t{kJobs});
    for (int i = 0; i < kJobs; ++i) ASSERT_EQ(order[i], i);
}

// A job keeps its callable whole through moves, small ones inline and large
// ones on the heap, runs it where it ends up and destroys it once.
TEST(Job, KeepsACallableThroughMovesAndDestroysItOnce) {
    struct Payload {
        std::atomic<int>* destroyed;
        ~Payload() { ++*destroyed; }
    };
    for (const bool large : {false, true}) {
        SCOPED_TRACE(large ? "large" : "small");
        std::atomic<int> destroyed{0};
        int calls = 0;
        std::array<char, 256> padding{};
        rt::Job first;
        if (large) {
            first = rt::Job([owned = std::make_unique<Payload>(&destroyed), padding, &calls] {
                calls += 1 + padding[0];
            });
        } else {
            first = rt::Job([owned = std::make_unique<Payload>(&destroyed), &calls] { ++calls; });
        }
        rt::Job second(std::move(first));
        std::deque<rt::Job> queue;
        queue.push_back(std::move(second));
        rt::Job last;
        last = std::move(queue.front());
        queue.clear();
        EXPECT_FALSE(first);
        EXPECT_FALSE(second);
        EXPECT_EQ(destroyed, 0);
        last();
        last();
        EXPECT_EQ(calls, 2);
        last = rt::Job([] {});
        EXPECT_EQ(destroyed, 1);
    }
}

// While posts keep coming, what ran is freed by the next post, on the
// posting thread that made it, not by the lane.
TEST(SerialLane, JobsThatRanAreFreedByTheNextPost) {
    struct Tracked {
        std::shared_ptr<std::atomic<std::thread::id>> freedOn;
        explicit Tracked(std::shared_ptr<std::atomic<std::thread::id>> f) : freedOn(std::move(f)) {}
        Tracked(const Tracked&) = delete;
        ~Tracked() { *freedOn = std::this_thread::get_id(); }
    };
    rt::SerialLane lane;
    bool byPoster = false;
    // A poster held up past the lane's grace lets the lane free it: tried again.
    for (int attempt = 0; attempt < 50 && !byPoster; ++attempt) {
        auto freedOn = std::make_shared<std::atomic<std::thread::id>>();
        auto ran = std::make_shared<rt::OneShot<std::monostate>>();
        // The job is the only owner: no copy outside it can be the last to go.
        lane.post([tracked = std::make_shared<Tracked>(freedOn), ran] { ran->resume({}); });
        ran->wait({}, std::chrono::steady_clock::now() + kBound);
        std::this_thread::sleep_for(100us);
        lane.post([] {});
        byPoster = freedOn->load() == std::this_thread::get_id();
    }
    EXPECT_TRUE(byPoster);
}

}  // namespace
