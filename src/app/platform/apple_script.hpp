// AppleScript source texts: quoting values for string literals and splitting
// a source into code and decoded string literals.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace app::platform {

// The value written for the inside of an AppleScript string literal: every
// backslash, then every double quote, gets a backslash before it. Nothing
// else changes (line breaks may stand in a literal as they are). Every value
// a script places between double quotes goes through this, so no value can
// end its literal early and run as script.
std::string appleScriptEscaped(std::string_view value);

// A source that does not compile: an unterminated literal or an escape
// other than \" \\ \n \r \t.
class ScriptCompileError : public std::runtime_error {
public:
    ScriptCompileError(const std::string& message, std::size_t offset)
        : std::runtime_error(message), offset_(offset) {}
    // Byte offset in the source where the problem was found.
    std::size_t offset() const noexcept { return offset_; }

private:
    std::size_t offset_;
};

// A source as alternating code and literals: code.size() == literals.size() + 1,
// code[i] comes before literals[i], and code.back() follows the last literal
// (code pieces may be empty). Literals are decoded; code is kept byte for
// byte, comments included ("--" and "#" to the end of the line, "(* *)"
// nested), and a double quote inside a comment starts no literal.
struct LexedScript {
    std::vector<std::string> code;
    std::vector<std::string> literals;
};

LexedScript lexAppleScript(std::string_view source);

}  // namespace app::platform
