// The logging library's locks over the POSIX primitives. A failing lock call
// (creating, taking, releasing or destroying) ends the process at once: it
// means a lock taken twice by one thread or released by a thread that does
// not hold it, and carrying on would corrupt what the lock guards.
//
//   Lock lock;
//   int n = lock.withLock([&] { return ++counter; });   // result passed on
//   ReadWriteLock rw;
//   rw.withReadLock([&] { return table.find(key); });    // readers together
//   rw.withWriteLock([&] { table.insert(entry); });       // a writer alone
#pragma once

#include <memory>
#include <mutex>
#include <shared_mutex>
#include <utility>

#include <pthread.h>

namespace logging {

class Lock {
public:
    Lock();
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    void lock();
    void unlock();

    // Runs body under the lock; its result or exception passes through and
    // the lock is released either way.
    template <class Body>
    decltype(auto) withLock(Body&& body) {
        std::lock_guard guard(*this);
        return std::forward<Body>(body)();
    }

private:
    std::unique_ptr<pthread_mutex_t> mutex_;  // on the heap: its address never changes
};

class ReadWriteLock {
public:
    ReadWriteLock();
    ~ReadWriteLock();
    ReadWriteLock(const ReadWriteLock&) = delete;
    ReadWriteLock& operator=(const ReadWriteLock&) = delete;

    // Runs body under the shared lock: any number of readers at once.
    template <class Body>
    decltype(auto) withReadLock(Body&& body) {
        std::shared_lock guard(*this);
        return std::forward<Body>(body)();
    }

    // Runs body under the exclusive lock: no reader and no other writer.
    template <class Body>
    decltype(auto) withWriteLock(Body&& body) {
        std::lock_guard guard(*this);
        return std::forward<Body>(body)();
    }

    // The standard lock names, for std::lock_guard and std::shared_lock.
    void lock();
    void unlock();
    void lock_shared();
    void unlock_shared() { unlock(); }

private:
    std::unique_ptr<pthread_rwlock_t> rwlock_;
};

}  // namespace logging
