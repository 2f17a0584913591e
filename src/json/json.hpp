// JSON reading and writing, and the coding errors shared by every record codec.
#pragma once

#include "json/value.hpp"

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace json {

// ---- Errors -------------------------------------------------------------

// One step of a coding path: a member key or an array index.
struct PathElement {
    std::string key;       // empty when this is an index
    long long index = -1;  // -1 when this is a key
    static PathElement member(std::string k) { return {std::move(k), -1}; }
    static PathElement at(long long i) { return {std::string(), i}; }
    friend bool operator==(const PathElement&, const PathElement&) = default;
};
using CodingPath = std::vector<PathElement>;

// A failed decode. what() is the user-facing text; debugDescription says why.
class DecodingError : public std::exception {
public:
    enum class Kind { KeyNotFound, ValueNotFound, TypeMismatch, DataCorrupted };

    DecodingError(Kind kind, std::string debugDescription, CodingPath path = {});

    static DecodingError keyNotFound(std::string_view key, CodingPath path = {});
    static DecodingError valueNotFound(std::string_view expectedType, CodingPath path = {});
    static DecodingError typeMismatch(std::string_view expectedType, CodingPath path = {});
    static DecodingError dataCorrupted(std::string debugDescription, CodingPath path = {});

    Kind kind() const { return kind_; }
    const std::string& debugDescription() const { return debug_; }
    const CodingPath& codingPath() const { return path_; }
    // "The data couldn’t be read because it is missing." (key/value not found) or
    // "The data couldn’t be read because it isn’t in the correct format." (otherwise).
    const char* what() const noexcept override;

private:
    Kind kind_;
    std::string debug_;
    CodingPath path_;
};

// A value that cannot be written (NaN or infinity).
// what(): "The data couldn’t be written because it isn’t in the correct format."
class EncodingError : public std::exception {
public:
    explicit EncodingError(std::string debugDescription);
    const std::string& debugDescription() const { return debug_; }
    const char* what() const noexcept override;

private:
    std::string debug_;
};

// A text whose reading would take more memory than the reader allows.
class TooLarge : public DecodingError {
public:
    TooLarge();
};

// ---- Reading ------------------------------------------------------------

inline constexpr int kMaxDepth = 512;

// What one reading may build: values (each array, object, member key and
// scalar counts one) and bytes of text (strings and keys). A value costs
// several times its text in memory (`0,` is two bytes, its value forty and
// more), so the text's length alone does not bound what it makes.
struct ReadBudget {
    std::size_t values = 1'000'000;
    std::size_t textBytes = 64u * 1024 * 1024;
};

// Parses exactly one JSON value (surrounding whitespace allowed). Throws
// DecodingError(DataCorrupted) for malformed text, trailing garbage, invalid
// UTF-8, lone surrogates, numbers beyond double range and nesting over kMaxDepth.
// Numbers: an integral value within [-2^63, 2^63) reads as Int (also "1.0" and
// "1e2"); everything else as Double, read exactly. Throws TooLarge (a
// DecodingError) for a text over the budget.
Value parse(std::string_view text, ReadBudget budget = {});

// ---- Writing ------------------------------------------------------------

struct WriteOptions {
    bool sortedKeys = false;     // members ordered by the UTF-8 bytes of their keys
    bool escapeSlashes = false;  // "/" written as "\/"
    bool pretty = false;         // two-space indent, "key" : value, empty containers [] / {}
};

// Throws EncodingError for a non-finite double.
std::string write(const Value& value, WriteOptions options = {});
void writeTo(std::string& out, const Value& value, WriteOptions options = {});

// Appends the JSON string literal for text (quotes included).
void writeString(std::string& out, std::string_view text, bool escapeSlashes = false);

// ---- Number texts -------------------------------------------------------

// The platform's standard text of a double: shortest round-trip digits;
// exponent form ("1e-05", "1e+16", "5e-324") iff the decimal exponent is
// below -4 or |x| > 2^53; otherwise plain decimal with ".0" for an integral
// value ("1.0", "9007199254740992.0"); "nan", "inf", "-inf".
std::string describeDouble(double x);

// The JSON number text: describeDouble without a trailing ".0" ("2", "-0",
// "1e+16", "0.1"). Precondition: x is finite.
std::string formatDouble(double x);

}  // namespace json
