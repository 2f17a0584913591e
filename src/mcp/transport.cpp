#include "mcp/transport.hpp"

#include "logging/log_handlers.hpp"

#include <cstring>

namespace mcp {

std::optional<std::size_t> firstNewlineIndex(std::string_view buffer, std::size_t from, char byte) {
    if (from >= buffer.size()) return std::nullopt;
    const void* hit = std::memchr(buffer.data() + from, static_cast<unsigned char>(byte), buffer.size() - from);
    if (!hit) return std::nullopt;
    return static_cast<std::size_t>(static_cast<const char*>(hit) - buffer.data());
}

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
