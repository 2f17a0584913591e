// What every tool family test shares: catching the ToolError a call throws.
#pragma once

#include "app/tools/registry/tool_error.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>

namespace app::tools {

// Failed expectations show a ToolError as its three parts.
inline void PrintTo(const ToolError& error, std::ostream* out) {
    *out << error.domain() << " " << error.code() << " " << error.message();
}

namespace testing {

// The error a call throws, or a failed expectation when it throws none.
template <class F>
std::optional<ToolError> thrownToolError(F call) {
    try {
        call();
    } catch (const ToolError& error) {
        return error;
    }
    ADD_FAILURE() << "no ToolError was thrown";
    return std::nullopt;
}

// Runs the call, expecting it to throw a ToolError equal to `expected`.
template <class F>
void expectToolError(F call, const ToolError& expected) {
    EXPECT_EQ(thrownToolError(call), std::optional<ToolError>(expected));
}

}  // namespace testing
}  // namespace app::tools
