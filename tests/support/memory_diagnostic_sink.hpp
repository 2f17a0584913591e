// A diagnostic sink that keeps its lines.
#pragma once

#include "app/platform/diagnostic_sink.hpp"

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace app::platform {

// Keeps the lines.
class MemoryDiagnosticSink : public DiagnosticSink {
public:
    void write(std::string_view line) override;
    std::vector<std::string> lines() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace app::platform
