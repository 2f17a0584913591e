#include "app/platform/platform_error.hpp"

#include <cstring>

namespace app::platform {

PlatformError::PlatformError(std::string operation, std::string cause)
    : std::runtime_error(operation + ": " + cause), operation_(std::move(operation)), cause_(std::move(cause)) {}

PlatformError errnoError(std::string operation, int error) {
    char buffer[256];
    // GNU strerror_r may return a static string instead of filling the buffer.
    const char* text = strerror_r(error, buffer, sizeof buffer);
    return PlatformError(std::move(operation), text ? text : "unknown error");
}

}  // namespace app::platform
