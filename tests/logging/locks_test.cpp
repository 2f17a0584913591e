#include "logging/locks.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace logging {
namespace {

using namespace std::chrono_literals;

// True when another thread gets through withLock within five seconds. A
// thread left waiting keeps the lock alive, so a lock never released is
// never destroyed while held.
bool anotherThreadGetsIn(const std::shared_ptr<Lock>& lock) {
    auto entered = std::make_shared<std::promise<bool>>();
    auto answer = entered->get_future();
    std::thread([lock, entered] { entered->set_value(lock->withLock([] { return true; })); }).detach();
    return answer.wait_for(5s) == std::future_status::ready && answer.get();
}

TEST(Lock, ResultAndExceptionPassThroughWithTheLockReleased) {
    struct Case {
        const char* name;
        bool throws;
    };
    for (const Case& c : {Case{"returns", false}, Case{"throws", true}}) {
        SCOPED_TRACE(c.name);
        auto lock = std::make_shared<Lock>();
        std::string result;
        try {
            result = lock->withLock([&]() -> std::string {
                if (c.throws) throw std::runtime_error("body failed");
                return "body's result";
            });
        } catch (const std::runtime_error& e) {
            result = std::string("caught ") + e.what();
        }
        EXPECT_EQ(result, c.throws ? "caught body failed" : "body's result");
        EXPECT_TRUE(anotherThreadGetsIn(lock)) << "the lock was kept";
    }
    Lock lock;
    lock.lock();
    int inside = 0;
    auto waiting = std::async(std::launch::async, [&] { return lock.withLock([&] { return ++inside; }); });
    EXPECT_EQ(waiting.wait_for(50ms), std::future_status::timeout);
    EXPECT_EQ(inside, 0);
    lock.unlock();
    ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(waiting.get(), 1);
}

TEST(ReadWriteLock, ReadersRunTogether) {
    ReadWriteLock lock;
    // Each reader waits inside for the other: only shared locking lets both finish.
    std::atomic<int> inside{0};
    auto reader = [&] {
        return lock.withReadLock([&] {
            ++inside;
            const auto deadline = std::chrono::steady_clock::now() + 5s;
            while (inside < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
            return inside.load();
        });
    };
    auto a = std::async(std::launch::async, reader), b = std::async(std::launch::async, reader);
    EXPECT_EQ(a.get(), 2);
    EXPECT_EQ(b.get(), 2);
    EXPECT_THROW(lock.withWriteLock([]() -> int { throw std::logic_error("x"); }), std::logic_error);
    EXPECT_EQ(lock.withWriteLock([] { return 7; }), 7);  // released after the throw
}

TEST(ReadWriteLock, AWriterRunsAlone) {
    ReadWriteLock lock;
    std::atomic<int> readers{0}, writers{0}, overlaps{0};
    long total = 0;  // written only by writers: torn updates show as a wrong sum
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, writer = t % 2 == 0] {
            for (int i = 0; i < 2000; ++i) {
                if (writer) {
                    lock.withWriteLock([&] {
                        if (++writers != 1 || readers != 0) ++overlaps;
                        total += 1;
                        --writers;
                    });
                } else {
                    lock.withReadLock([&] {
                        ++readers;
                        if (writers != 0) ++overlaps;
                        --readers;
                    });
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(overlaps, 0);
    EXPECT_EQ(total, 3 * 2000);
}

TEST(ReadWriteLockDeathTest, AFailingLockCallEndsTheProcess) {
    // Taking the write lock twice on one thread is refused by the platform:
    // the process ends instead of running the body unguarded.
    EXPECT_DEATH(
        {
            ReadWriteLock lock;
            lock.withWriteLock([&] { lock.withWriteLock([] {}); });
            std::fputs("the body ran unguarded", stderr);
            std::exit(0);
        },
        "");
}

}  // namespace
}  // namespace logging
