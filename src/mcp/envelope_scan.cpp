#include "mcp/envelope_scan.hpp"

#include "json/fast_reader.hpp"
#include "json/json.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <cstdint>
#include <string>
#include <vector>

namespace mcp {

namespace {

// Parameters nested this deep are left to the general reading, which counts
// the envelope's own level against the parser's depth limit.
constexpr int kPlainDepth = json::kMaxDepth - 8;

// Builds a Value straight from the fast reader's events, as decoding
// json::parse's tree would: numbers classified alike, a repeated key's later
// value kept, kMessageReadBudget spent alike. It stops (and the reading
// declines) past that budget or kPlainDepth, leaving those texts to the
// general reading and its errors.
class ValueSink {
public:
    explicit ValueSink(Value& root) : root_(root) {}

    bool null() { return put(Value()); }
    bool boolean(bool b) { return put(Value(b)); }
    bool number_integer(std::int64_t i) { return put(Value(i)); }
    bool number_unsigned(std::uint64_t u) { return put(json::detail::unsignedNumber<Value>(u)); }
    bool number_exact(double d, bool integerLiteral) {
        return put(json::detail::exactNumber<Value>(d, integerLiteral));
    }
    bool string(std::string& s) { return budget_.takeText(s.size()) && put(Value(std::move(s))); }

    bool start_object(std::size_t) { return enter<Object>(); }
    bool key(std::string& k) {
        if (!budget_.takeValue() || !budget_.takeText(k.size())) return false;
        member_ = &stack_.back()->objectValue()->insert_or_assign(std::move(k), Value()).first->second;
        return true;
    }
    bool end_object() {
        stack_.pop_back();
        return true;
    }
    bool start_array(std::size_t) { return enter<Array>(); }
    bool end_array() {
        stack_.pop_back();
        return true;
    }

private:
    // Where the next value goes: the root, the end of the open array, or the
    // member whose key came last (map nodes stay where they are).
    Value& nextSlot() {
        if (stack_.empty()) return root_;
        if (Array* array = stack_.back()->arrayValue()) return array->emplace_back();
        return *member_;
    }
    bool put(Value&& v) {
        if (!budget_.takeValue()) return false;
        nextSlot() = std::move(v);
        return true;
    }
    template <class Container>
    bool enter() {
        if (!budget_.takeValue() || stack_.size() >= static_cast<std::size_t>(kPlainDepth)) return false;
        Value& slot = nextSlot();
        slot = Container();
        stack_.push_back(&slot);
        return true;
    }

    Value& root_;
    json::detail::BudgetLeft budget_{kMessageReadBudget};
    std::vector<Value*> stack_;
    Value* member_ = nullptr;
};

// Follows the events ValueSink would take for a tools/call's "params", with
// the same budget and depth, building nothing but the tool's name: what the
// server's tool path needs of the text before it hands it on.
class CallCheckSink {
public:
    bool null() { return member(Kind::Null); }
    bool boolean(bool) { return member(Kind::Other); }
    bool number_integer(std::int64_t) { return member(Kind::Other); }
    bool number_unsigned(std::uint64_t) { return member(Kind::Other); }
    bool number_exact(double, bool) { return member(Kind::Other); }
    bool string(std::string& s) {
        if (!budget_.takeText(s.size())) return false;
        if (depth_ == 1 && key_ == Key::Name) name_ = std::move(s);
        return member(Kind::String);
    }
    bool start_object(std::size_t) { return enter(Kind::Object); }
    bool key(std::string& k) {
        if (!budget_.takeValue() || !budget_.takeText(k.size())) return false;
        if (depth_ == 1) key_ = k == "name" ? Key::Name : k == "arguments" ? Key::Arguments : Key::Other;
        return true;
    }
    bool end_object() { return --depth_, true; }
    bool start_array(std::size_t) { return enter(Kind::Other); }
    bool end_array() { return --depth_, true; }

    std::optional<std::string> name() {
        if (!rootIsObject_ || nameKind_ != Kind::String) return std::nullopt;
        if (argumentsKind_ != Kind::Absent && argumentsKind_ != Kind::Null && argumentsKind_ != Kind::Object)
            return std::nullopt;
        return std::move(name_);
    }

private:
    enum class Kind { Absent, Null, String, Object, Other };
    enum class Key { Name, Arguments, Other };

    // A value begins: at the top, the kind of the member it belongs to.
    bool member(Kind kind) {
        if (!budget_.takeValue()) return false;
        if (depth_ == 0) rootIsObject_ = kind == Kind::Object;
        if (depth_ == 1 && key_ == Key::Name) nameKind_ = kind;
        if (depth_ == 1 && key_ == Key::Arguments) argumentsKind_ = kind;
        return true;
    }
    bool enter(Kind kind) {
        if (depth_ >= kPlainDepth || !member(kind)) return false;
        ++depth_;
        return true;
    }

    json::detail::BudgetLeft budget_{kMessageReadBudget};
    int depth_ = 0;
    Key key_ = Key::Other;
    bool rootIsObject_ = false;
    Kind nameKind_ = Kind::Absent;
    Kind argumentsKind_ = Kind::Absent;
    std::string name_;
};

class Scanner {
public:
    explicit Scanner(std::string_view text) : text_(text) {}

    void skipSpace() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r')) {
            ++at_;
        }
    }
    bool take(char c) {
        skipSpace();
        if (at_ >= text_.size() || text_[at_] != c) return false;
        ++at_;
        return true;
    }
    bool atEnd() {
        skipSpace();
        return at_ == text_.size();
    }
    // A byte follows: a number read so far is not cut short.
    bool more() const { return at_ < text_.size(); }
    char peek() {
        skipSpace();
        return at_ < text_.size() ? text_[at_] : '\0';
    }

    // A string of printable ASCII without escapes; its content.
    std::optional<std::string_view> plainString() {
        if (!take('"')) return std::nullopt;
        const std::size_t start = at_;
        while (at_ < text_.size()) {
            const auto c = static_cast<unsigned char>(text_[at_]);
            if (c == '"') return text_.substr(start, at_++ - start);
            if (c == '\\' || c < 0x20 || c >= 0x80) return std::nullopt;
            ++at_;
        }
        return std::nullopt;
    }

    // An integer in JSON's own form that fits 64 bits.
    std::optional<std::int64_t> plainInteger() {
        skipSpace();
        const std::size_t start = at_;
        if (at_ < text_.size() && text_[at_] == '-') ++at_;
        const std::size_t digits = at_;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
        if (at_ == digits || (text_[digits] == '0' && at_ - digits > 1)) return std::nullopt;
        if (at_ < text_.size() && (text_[at_] == '.' || text_[at_] == 'e' || text_[at_] == 'E')) return std::nullopt;
        std::int64_t value = 0;
        const auto [end, error] = std::from_chars(text_.data() + start, text_.data() + at_, value);
        if (error != std::errc() || end != text_.data() + at_) return std::nullopt;
        return value;
    }

    // The text of one value, found by its brackets and strings only: the
    // parser checks it afterwards.
    std::optional<std::string_view> valueText() {
        skipSpace();
        const std::size_t start = at_;
        if (at_ >= text_.size()) return std::nullopt;
        const char first = text_[at_];
        if (first != '{' && first != '[' && first != '"') {
            while (at_ < text_.size() && std::string_view(",}] \t\r\n").find(text_[at_]) == std::string_view::npos) ++at_;
            if (at_ == start) return std::nullopt;
            return text_.substr(start, at_ - start);
        }
        int depth = 0;
        while (at_ < text_.size()) {
            const char c = text_[at_++];
            if (c == '"') {
                if (!skipStringRest()) return std::nullopt;
            } else if (c == '{' || c == '[') {
                if (++depth > kPlainDepth) return std::nullopt;
                continue;
            } else if (c == '}' || c == ']') {
                --depth;
            }
            if (depth == 0) return text_.substr(start, at_ - start);
        }
        return std::nullopt;
    }

private:
    // Past the closing quote of the string whose content starts at at_.
    // memchr finds the quotes and backslashes of long strings: arguments may
    // run to megabytes. Each byte is looked at a bounded number of times.
    bool skipStringRest() {
        // Keys and names end within a few bytes: a call to memchr costs more there.
        for (const std::size_t near = std::min(at_ + 32, text_.size()); at_ < near;) {
            if (text_[at_] == '"') return ++at_, true;
            at_ += text_[at_] == '\\' ? 2 : 1;
        }
        const char* p = text_.data() + std::min(at_, text_.size());
        const char* const end = text_.data() + text_.size();
        while (p < end) {
            const auto* quote = static_cast<const char*>(std::memchr(p, '"', static_cast<std::size_t>(end - p)));
            if (quote == nullptr) return false;
            for (;;) {  // a backslash before the quote escapes the byte after it
                const auto* backslash = static_cast<const char*>(std::memchr(p, '\\', static_cast<std::size_t>(quote - p)));
                if (backslash == nullptr) {
                    at_ = static_cast<std::size_t>(quote + 1 - text_.data());
                    return true;
                }
                p = backslash + 2;
                if (p > quote) break;  // the quote itself was escaped
            }
        }
        return false;
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

}  // namespace

std::optional<PlainEnvelope> scanPlainMessage(std::string_view text) {
    Scanner in(text);
    if (!in.take('{')) return std::nullopt;
    bool version = false;
    PlainEnvelope found;
    bool hasMethod = false;
    if (in.peek() != '}') {
        do {
            const auto key = in.plainString();
            if (!key || !in.take(':')) return std::nullopt;
            if (*key == "jsonrpc") {
                const auto value = in.plainString();
                if (version || value != detail::jsonrpcVersion) return std::nullopt;
                version = true;
            } else if (*key == "id") {
                if (found.id) return std::nullopt;
                if (in.peek() == '"') {
                    const auto value = in.plainString();
                    if (!value) return std::nullopt;
                    found.id.emplace(*value);
                } else {
                    const auto value = in.plainInteger();
                    if (!value) return std::nullopt;
                    found.id.emplace(*value);
                }
            } else if (*key == "method") {
                const auto method = in.plainString();
                if (hasMethod || !method) return std::nullopt;
                found.method = *method;
                hasMethod = true;
            } else if (*key == "params") {
                if (found.params) return std::nullopt;
                found.params = in.valueText();
                if (!found.params) return std::nullopt;
            } else {
                return std::nullopt;
            }
        } while (in.take(','));
    }
    if (!in.take('}') || !in.atEnd() || !version || !hasMethod) return std::nullopt;
    return found;
}

std::optional<Value> readPlainParams(std::optional<std::string_view> params) {
    if (!params) return Value();
    if (auto direct = detail::readValueDirectly(*params)) return direct;
    try {
        return decode<Value>(json::parse(*params, kMessageReadBudget));
    } catch (const json::TooLarge&) {
        throw;
    } catch (const json::DecodingError&) {
        return std::nullopt;
    }
}

std::optional<std::variant<AnyRequest, AnyMessage>> readPlainMessage(std::string_view text) {
    auto plain = scanPlainMessage(text);
    if (!plain) return std::nullopt;
    auto params = readPlainParams(plain->params);
    if (!params) return std::nullopt;
    if (plain->id) return AnyRequest{std::move(*plain->id), std::string(plain->method), std::move(*params)};
    return AnyMessage{std::string(plain->method), std::move(*params)};
}

std::optional<std::string> plainToolCallName(std::string_view params) {
    CallCheckSink sink;
    if (!json::detail::FastReader<CallCheckSink>(params, sink).read()) return std::nullopt;
    return sink.name();
}

namespace detail {

std::optional<Value> readValueDirectly(std::string_view text) {
    Value read;
    ValueSink sink(read);
    if (!json::detail::FastReader<ValueSink>(text, sink).read()) return std::nullopt;
    return read;
}

}  // namespace detail

std::optional<ID> leadingRequestId(std::string_view text) {
    Scanner in(text);
    if (!in.take('{')) return std::nullopt;
    do {
        const auto key = in.plainString();
        if (!key || !in.take(':')) return std::nullopt;
        if (*key == "id") {
            if (in.peek() == '"') {
                const auto value = in.plainString();
                return value ? std::optional<ID>(ID(std::string(*value))) : std::nullopt;
            }
            const auto value = in.plainInteger();
            if (!value || !in.more()) return std::nullopt;
            return ID(*value);
        }
        if (!in.valueText()) return std::nullopt;
    } while (in.take(','));
    return std::nullopt;
}

}  // namespace mcp
