// The process-wide registry that decides which handler a new Logger gets.
#pragma once

#include "logging/logger.hpp"

#include <optional>
#include <string>

namespace logging {

class LoggingSystem {
public:
    LoggingSystem() = delete;

    // Replaces the handler factory; the provider argument is ignored by it.
    // Each registry value may be replaced once per process: a second call
    // stops the process with "logging system can only be initialized once per
    // process.". Existing loggers keep their handlers.
    static void bootstrap(Logger::OneArgFactory factory);
    // Replaces the metadata provider, then the factory (each once).
    static void bootstrap(Logger::Factory factory, std::optional<Logger::MetadataProvider> metadataProvider);

    // The current system-wide metadata provider (none until bootstrapped).
    static std::optional<Logger::MetadataProvider> metadataProvider();
    // The current handler factory (initially makeDefaultLogHandler).
    static Logger::Factory factory();
};

// The initial factory: a StreamLogHandler on standard error at level info,
// with the system's metadata provider (the argument is ignored).
AnyLogHandler makeDefaultLogHandler(const std::string& label,
                                    const std::optional<Logger::MetadataProvider>& metadataProvider);

}  // namespace logging
