#include "support/memory_diagnostic_sink.hpp"

namespace app::platform {

void MemoryDiagnosticSink::write(std::string_view line) {
    std::lock_guard lock(mutex_);
    lines_.push_back(diagnosticLine(line));
}

std::vector<std::string> MemoryDiagnosticSink::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

}  // namespace app::platform
