// Failures of the platform layer, carrying the operation that failed and why.
#pragma once

#include <stdexcept>
#include <string>

namespace app::platform {

// what() reads "<operation>: <cause>", e.g.
// "open event store /home/u/.local/share/brisolet/store.sqlite: unable to open database file".
class PlatformError : public std::runtime_error {
public:
    PlatformError(std::string operation, std::string cause);

    const std::string& operation() const noexcept { return operation_; }
    const std::string& cause() const noexcept { return cause_; }

private:
    std::string operation_;
    std::string cause_;
};

// The error for a failed system call: the cause is the errno text.
PlatformError errnoError(std::string operation, int error);

}  // namespace app::platform
