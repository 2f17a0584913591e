#include "mcp/transport.hpp"

#include "logging/log_handlers.hpp"


namespace mcp {

void sleepOnContinuousClock(std::chrono::nanoseconds duration, std::optional<std::chrono::nanoseconds>,
                            std::stop_token stop) {
    rt::sleepFor(std::chrono::duration_cast<rt::Clock::duration>(duration), std::move(stop));
}

logging::Logger discardingLogger(std::string label) {
    return logging::Logger(std::move(label), logging::Logger::OneArgFactory([](const std::string&) {
                               return logging::AnyLogHandler(logging::NoOpLogHandler());
                           }));
}

}  // namespace mcp
