#include "logging/logging_system.hpp"

#include "logging/locks.hpp"
#include "logging/log_handlers.hpp"

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace logging {

namespace {

constexpr const char* kViolationMessage = "logging system can only be initialized once per process.";

// A value that can be replaced once per process; read under a shared lock so
// any number of threads can create loggers at once.
template <class T>
class ReplaceOnceBox {
public:
    explicit ReplaceOnceBox(T initial) : underlying_(std::move(initial)) {}

    void replaceOnce(T value) {
        T old;  // released after the lock, so no destructor runs under it
        const bool replaced = lock_.withWriteLock([&] {
            if (initialized_) return false;
            old = std::exchange(underlying_, std::move(value));
            initialized_ = true;
            return true;
        });
        if (!replaced) {
            std::fputs(kViolationMessage, stderr);
            std::fputc('\n', stderr);
            std::fflush(stderr);
            std::abort();
        }
    }

    T get() const {
        return lock_.withReadLock([&] { return underlying_; });
    }

private:
    mutable ReadWriteLock lock_;
    bool initialized_ = false;
    T underlying_;
};

// Created on first use and never destroyed, so loggers used during static
// destruction still find them.
ReplaceOnceBox<Logger::Factory>& factoryBox() {
    static auto* box = new ReplaceOnceBox<Logger::Factory>(Logger::Factory(&makeDefaultLogHandler));
    return *box;
}

ReplaceOnceBox<std::optional<Logger::MetadataProvider>>& metadataProviderBox() {
    static auto* box = new ReplaceOnceBox<std::optional<Logger::MetadataProvider>>(std::nullopt);
    return *box;
}

}  // namespace

void LoggingSystem::bootstrap(Logger::OneArgFactory factory) {
    factoryBox().replaceOnce(
        [f = std::move(factory)](const std::string& label, const std::optional<Logger::MetadataProvider>&) {
            return f(label);
        });
}

void LoggingSystem::bootstrap(Logger::Factory factory, std::optional<Logger::MetadataProvider> metadataProvider) {
    metadataProviderBox().replaceOnce(std::move(metadataProvider));
    factoryBox().replaceOnce(std::move(factory));
}

std::optional<Logger::MetadataProvider> LoggingSystem::metadataProvider() { return metadataProviderBox().get(); }

Logger::Factory LoggingSystem::factory() { return factoryBox().get(); }

AnyLogHandler makeDefaultLogHandler(const std::string& label, const std::optional<Logger::MetadataProvider>&) {
    return StreamLogHandler::standardErrorHandler(label);
}

}  // namespace logging
