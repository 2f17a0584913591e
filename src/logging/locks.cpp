#include "logging/locks.hpp"

#include <cstdlib>

namespace logging {

namespace {

// No message: the lock may guard the very output a message would go to.
void check(int result) {
    if (result != 0) std::abort();
}

}  // namespace

Lock::Lock() : mutex_(std::make_unique<pthread_mutex_t>()) { check(::pthread_mutex_init(mutex_.get(), nullptr)); }

Lock::~Lock() { check(::pthread_mutex_destroy(mutex_.get())); }

void Lock::lock() { check(::pthread_mutex_lock(mutex_.get())); }

void Lock::unlock() { check(::pthread_mutex_unlock(mutex_.get())); }

ReadWriteLock::ReadWriteLock() : rwlock_(std::make_unique<pthread_rwlock_t>()) {
    check(::pthread_rwlock_init(rwlock_.get(), nullptr));
}

ReadWriteLock::~ReadWriteLock() { check(::pthread_rwlock_destroy(rwlock_.get())); }

void ReadWriteLock::lock_shared() { check(::pthread_rwlock_rdlock(rwlock_.get())); }

void ReadWriteLock::lock() { check(::pthread_rwlock_wrlock(rwlock_.get())); }

void ReadWriteLock::unlock() { check(::pthread_rwlock_unlock(rwlock_.get())); }

}  // namespace logging
