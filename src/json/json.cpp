#include "json/json.hpp"

#include "json/fast_reader.hpp"
#include "json/parse_with_library.hpp"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cstdint>
#include <optional>
#include <memory>
#include <system_error>
#include <unordered_set>

namespace json {

// ---- Errors -------------------------------------------------------------

namespace {
constexpr const char* kMissingText = "The data couldn\u2019t be read because it is missing.";
constexpr const char* kCorruptText =
    "The data couldn\u2019t be read because it isn\u2019t in the correct format.";
constexpr const char* kUnwritableText =
    "The data couldn\u2019t be written because it isn\u2019t in the correct format.";
}  // namespace

DecodingError::DecodingError(Kind kind, std::string debugDescription, CodingPath path)
    : kind_(kind), debug_(std::move(debugDescription)), path_(std::move(path)) {}

DecodingError DecodingError::keyNotFound(std::string_view key, CodingPath path) {
    std::string text = "No value associated with key ";
    writeString(text, key);
    text += '.';
    return DecodingError(Kind::KeyNotFound, std::move(text), std::move(path));
}

DecodingError DecodingError::valueNotFound(std::string_view expectedType, CodingPath path) {
    std::string text = "Expected ";
    text.append(expectedType).append(" value but found null instead.");
    return DecodingError(Kind::ValueNotFound, std::move(text), std::move(path));
}

DecodingError DecodingError::typeMismatch(std::string_view expectedType, CodingPath path) {
    std::string text = "Expected to decode ";
    text.append(expectedType).append(" but found a different kind of value instead.");
    return DecodingError(Kind::TypeMismatch, std::move(text), std::move(path));
}

DecodingError DecodingError::dataCorrupted(std::string debugDescription, CodingPath path) {
    return DecodingError(Kind::DataCorrupted, std::move(debugDescription), std::move(path));
}

const char* DecodingError::what() const noexcept {
    return kind_ == Kind::KeyNotFound || kind_ == Kind::ValueNotFound ? kMissingText : kCorruptText;
}

EncodingError::EncodingError(std::string debugDescription) : debug_(std::move(debugDescription)) {}

TooLarge::TooLarge()
    : DecodingError(Kind::DataCorrupted, "The data is larger than a reading may build.") {}

const char* EncodingError::what() const noexcept { return kUnwritableText; }

// ---- Reading ------------------------------------------------------------

namespace {

const char kInvalidJson[] = "The given data was not valid JSON.";

using Nl = nlohmann::json;

// nlohmann's message without its "[json.exception...] " tag and without the
// echoed input ("last read: '...'"), which may hold raw, ill-formed bytes.
std::string describeParseFailure(const std::string& what) {
    std::string_view msg = what;
    if (!msg.empty() && msg.front() == '[') {
        const auto close = msg.find("] ");
        if (close != std::string_view::npos) msg.remove_prefix(close + 2);
    }
    std::string detail;
    const auto lastRead = msg.find("; last read: '");
    if (lastRead == std::string_view::npos) {
        detail.assign(msg);
    } else {
        detail.assign(msg.substr(0, lastRead));
        const auto expected = msg.rfind("'; expected ");
        if (expected != std::string_view::npos && expected > lastRead)
            detail.append(msg.substr(expected + 1));
    }
    if (!detail.empty() && detail.front() >= 'a' && detail.front() <= 'z')
        detail.front() = static_cast<char>(detail.front() - 'a' + 'A');
    if (!detail.empty() && detail.back() != '.') detail.push_back('.');
    return detail;
}

// Builds Values straight from nlohmann's SAX events: each scalar is moved into
// the slot its container prepared, with no intermediate document.
class Builder {
public:
    Builder(Value& root, ReadBudget budget) : root_(root), budget_(budget) { stack_.reserve(8); }

    // nlohmann stops at the first callback that returns false.
    bool null() { return put(Value()); }
    bool boolean(bool b) { return put(Value(b)); }
    bool number_integer(Nl::number_integer_t i) { return put(Value(static_cast<long long>(i))); }
    bool number_unsigned(Nl::number_unsigned_t u) { return put(detail::unsignedNumber<Value>(u)); }
    bool number_float(Nl::number_float_t parsed, const std::string& raw) {
        return put(classifyFloat(parsed, raw));
    }
    // The fast reader's float event: `exact` is the double nearest to the
    // literal, already read with from_chars and within range.
    bool number_exact(double exact, bool integerLiteral) { return put(detail::exactNumber<Value>(exact, integerLiteral)); }
    bool string(std::string& s) { return text(s.size()) && put(Value(std::move(s))); }
    bool binary(Nl::binary_t&) { return fail("Binary values are not JSON."); }

    bool start_object(std::size_t) {
        if (!enter()) return false;
        Value& slot = nextSlot();
        slot = Value(Object());
        stack_.emplace_back(&slot);
        return true;
    }
    bool key(std::string& k) {
        if (!count() || !text(k.size())) return false;
        Frame& f = stack_.back();
        Object& o = f.container->asObject();
        std::size_t existing = f.indexOf(o, k);
        if (existing != Frame::npos) {
            f.slot = existing;  // a repeated key: the later value wins, in the first position
        } else {
            f.slot = o.size();
            if (o.empty()) o.reserve(2);  // skip the first growth: most objects have two members or more
            o.appendUnchecked(std::move(k), Value());
            f.indexed(o);
        }
        return true;
    }
    bool end_object() {
        stack_.pop_back();
        return true;
    }
    bool start_array(std::size_t) {
        if (!enter()) return false;
        Value& slot = nextSlot();
        slot = Value(Array());
        stack_.emplace_back(&slot);
        return true;
    }
    bool end_array() {
        stack_.pop_back();
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) {
        return fail(describeParseFailure(ex.what()));
    }

    const std::string& error() const { return error_; }
    bool overBudget() const { return overBudget_; }

private:
    // Key lookup for large objects: a set of member indices hashed by key,
    // so building an object with many members stays linear.
    struct KeyHash {
        using is_transparent = void;
        const std::vector<Object::Member>* members;
        std::size_t operator()(std::size_t i) const { return (*this)((*members)[i].first); }
        std::size_t operator()(std::string_view k) const { return std::hash<std::string_view>{}(k); }
    };
    struct KeyEq {
        using is_transparent = void;
        const std::vector<Object::Member>* members;
        std::string_view key(std::size_t i) const { return (*members)[i].first; }
        bool operator()(std::size_t a, std::size_t b) const { return key(a) == key(b); }
        bool operator()(std::string_view a, std::size_t b) const { return a == key(b); }
        bool operator()(std::size_t a, std::string_view b) const { return key(a) == b; }
    };
    using KeyIndex = std::unordered_set<std::size_t, KeyHash, KeyEq>;

    struct Frame {
        static constexpr std::size_t npos = static_cast<std::size_t>(-1);
        static constexpr std::size_t kLinearLimit = 16;

        explicit Frame(Value* c) : container(c) {}

        Value* container;
        std::size_t slot = npos;       // member index awaiting its value
        std::unique_ptr<KeyIndex> index;

        std::size_t indexOf(const Object& o, std::string_view k) {
            if (index) {
                auto it = index->find(k);
                return it == index->end() ? npos : *it;
            }
            const auto& members = o.members();
            for (std::size_t i = 0; i < members.size(); ++i)
                if (members[i].first == k) return i;
            return npos;
        }
        void indexed(const Object& o) {
            const auto& members = o.members();
            if (index) {
                index->insert(members.size() - 1);
            } else if (members.size() > kLinearLimit) {
                index = std::make_unique<KeyIndex>(members.size() * 2, KeyHash{&members}, KeyEq{&members});
                for (std::size_t i = 0; i < members.size(); ++i) index->insert(i);
            }
        }
    };

    bool count() {
        if (!budget_.takeValue()) return overBudget_ = true, fail("Too many values.");
        return true;
    }
    bool text(std::size_t bytes) {
        if (!budget_.takeText(bytes)) return overBudget_ = true, fail("Too much text.");
        return true;
    }

    bool enter() {
        if (!count()) return false;
        if (stack_.size() >= static_cast<std::size_t>(kMaxDepth))
            return fail("Arrays and objects are nested deeper than " + std::to_string(kMaxDepth) +
                        " levels.");
        return true;
    }

    Value& nextSlot() {
        if (stack_.empty()) return root_;
        Frame& f = stack_.back();
        if (f.container->isArray()) return f.container->asArray().emplace_back();
        return (f.container->asObject().begin() + static_cast<std::ptrdiff_t>(f.slot))->second;
    }

    bool put(Value&& v) {
        if (!count()) return false;
        nextSlot() = std::move(v);
        return true;
    }

    bool fail(std::string detail) {
        error_ = std::move(detail);
        return false;
    }

    static Value classifyFloat(double parsed, const std::string& raw) {
        const bool integerLiteral =
            raw.find_first_not_of("-0123456789") == std::string::npos;
        double d = 0;
        const char* first = raw.data();
        const char* last = first + raw.size();
        auto res = std::from_chars(first, last, d);
        if (res.ptr != last) {
            // nlohmann swaps '.' for the locale's decimal point; undo that.
            std::string copy(raw);
            for (char& c : copy) {
                const bool numeric = (c >= '0' && c <= '9') || c == '-' || c == '+' || c == 'e' || c == 'E';
                if (!numeric) c = '.';
            }
            res = std::from_chars(copy.data(), copy.data() + copy.size(), d);
        }
        if (res.ec == std::errc::result_out_of_range) {
            // nlohmann has refused overflow already, so this is underflow: the
            // nearest double is a zero of the literal's sign.
            return Value(raw.front() == '-' ? -0.0 : 0.0);
        }
        if (res.ec != std::errc()) d = parsed;
        return detail::exactNumber<Value>(d, integerLiteral);
    }

    Value& root_;
    detail::BudgetLeft budget_;
    bool overBudget_ = false;
    std::vector<Frame> stack_;
    std::string error_;
};

// At least the bytes the string literals decode to (an escape counts one).
// The parser builds each string whole before the builder sees it, so a text
// over the budget is refused before parsing.
std::size_t leastStringBytes(std::string_view text) {
    std::size_t total = 0;
    bool inString = false;
    for (std::size_t at = 0; at < text.size();) {
        const char c = text[at];
        if (!inString) {
            inString = c == '"';
            ++at;
        } else if (c == '"') {
            inString = false;
            ++at;
        } else {
            ++total;
            at += c != '\\' ? 1 : at + 1 < text.size() && text[at + 1] == 'u' ? 6 : 2;
        }
    }
    return total;
}

// A text that cannot fit the budget, refused before any reading builds it.
void refuseOversized(std::string_view text, ReadBudget budget) {
    if (text.size() > budget.textBytes && leastStringBytes(text) > budget.textBytes) throw TooLarge();
}

Value readWithLibrary(std::string_view text, ReadBudget budget) {
    Value root;
    Builder builder(root, budget);
    const bool ok = Nl::sax_parse(text.data(), text.data() + text.size(), &builder);
    if (!ok) {
        if (builder.overBudget()) throw TooLarge();
        std::string debug = kInvalidJson;
        if (!builder.error().empty()) debug.append(" ").append(builder.error());
        throw DecodingError::dataCorrupted(std::move(debug));
    }
    // The parser takes a zero byte for the end of the text: what follows it
    // would pass unread.
    if (text.find('\0') != std::string_view::npos)
        throw DecodingError::dataCorrupted(std::string(kInvalidJson) + " Unexpected zero byte after the value.");
    return root;
}

}  // namespace

namespace detail {

std::optional<Value> readFast(std::string_view text, ReadBudget budget) {
    Value root;
    Builder builder(root, budget);
    if (!FastReader<Builder>(text, builder).read()) return std::nullopt;
    return root;
}

Value parseWithLibrary(std::string_view text, ReadBudget budget) {
    refuseOversized(text, budget);
    return readWithLibrary(text, budget);
}

}  // namespace detail

Value parse(std::string_view text, ReadBudget budget) {
    refuseOversized(text, budget);
    // A declined text is read again from its start, into a fresh root and
    // builder: nothing the fast reader built or counted carries over.
    if (std::optional<Value> read = detail::readFast(text, budget)) return std::move(*read);
    return readWithLibrary(text, budget);
}

}  // namespace json
