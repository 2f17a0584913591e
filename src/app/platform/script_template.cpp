#include "app/platform/script_template.hpp"

#include <charconv>
#include <set>
#include <stdexcept>

namespace app::platform {

namespace {

constexpr std::string_view slotOpen = "\u27E6";   // ⟦
constexpr std::string_view slotClose = "\u27E7";  // ⟧

bool isNameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool isNameChar(char c) { return isNameStart(c) || (c >= '0' && c <= '9'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

[[noreturn]] void invalid(const std::string& id, const std::string& why) {
    throw std::invalid_argument("script template " + id + ": " + why);
}

}  // namespace

std::string scriptSlot(std::string_view name) {
    std::string out(slotOpen);
    out.append(name);
    out.append(slotClose);
    return out;
}

std::string filledScript(std::string_view source, const std::map<std::string_view, std::string>& values) {
    std::string out;
    out.reserve(source.size() + 256);
    std::size_t i = 0;
    while (i < source.size()) {
        std::size_t start = source.find(slotOpen, i);
        if (start == std::string_view::npos) break;
        std::size_t end = source.find(slotClose, start + slotOpen.size());
        if (end == std::string_view::npos) break;
        auto value = values.find(source.substr(start + slotOpen.size(), end - start - slotOpen.size()));
        if (value == values.end()) throw std::logic_error("a script slot has no value");
        out.append(source.substr(i, start - i));
        out.append(value->second);
        i = end + slotClose.size();
    }
    out.append(source.substr(i));
    return out;
}

const ScriptBindings::Value* ScriptBindings::find(std::string_view name) const {
    auto it = values_.find(name);
    return it == values_.end() ? nullptr : &it->second;
}

const std::string& ScriptBindings::text(std::string_view name) const {
    const Value* value = find(name);
    if (!value || !std::holds_alternative<std::string>(*value))
        throw std::out_of_range("no text bound to slot " + std::string(name));
    return std::get<std::string>(*value);
}

std::int64_t ScriptBindings::integer(std::string_view name) const {
    const Value* value = find(name);
    if (!value || !std::holds_alternative<std::int64_t>(*value))
        throw std::out_of_range("no integer bound to slot " + std::string(name));
    return std::get<std::int64_t>(*value);
}

bool ScriptBindings::boolean(std::string_view name) const {
    const Value* value = find(name);
    if (!value || !std::holds_alternative<bool>(*value))
        throw std::out_of_range("no boolean bound to slot " + std::string(name));
    return std::get<bool>(*value);
}

ScriptTemplate::Pieces ScriptTemplate::splitSlots(std::string_view text, const std::string& id) {
    Pieces pieces;
    std::string fixed;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text.substr(i, slotClose.size()) == slotClose) invalid(id, "a slot closes that was never opened");
        if (text.substr(i, slotOpen.size()) != slotOpen) {
            fixed.push_back(text[i++]);
            continue;
        }
        std::size_t nameStart = i + slotOpen.size();
        std::size_t end = text.find(slotClose, nameStart);
        if (end == std::string_view::npos) invalid(id, "a slot is not closed");
        std::string_view name = text.substr(nameStart, end - nameStart);
        if (name.empty() || !isNameStart(name[0])) invalid(id, "a slot has no valid name");
        for (char c : name)
            if (!isNameChar(c)) invalid(id, "slot name " + std::string(name) + " is not a plain identifier");
        if (!fixed.empty()) pieces.push_back({false, std::move(fixed)});
        fixed.clear();
        pieces.push_back({true, std::string(name)});
        i = end + slotClose.size();
    }
    if (!fixed.empty()) pieces.push_back({false, std::move(fixed)});
    return pieces;
}

ScriptTemplate::ScriptTemplate(std::string id, std::string application, std::string_view source)
    : id_(std::move(id)), application_(std::move(application)) {
    LexedScript lexed;
    try {
        lexed = lexAppleScript(source);
    } catch (const ScriptCompileError& error) {
        invalid(id_, error.what());
    }
    std::set<std::string, std::less<>> codeNames;
    for (const auto& code : lexed.code) {
        Pieces pieces = splitSlots(code, id_);
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            if (!pieces[i].slot) continue;
            codeNames.insert(pieces[i].text);
            if (i + 1 < pieces.size()) {
                if (pieces[i + 1].slot) invalid(id_, "two code slots touch");
                if (isNameChar(pieces[i + 1].text[0]))
                    invalid(id_, "a name character follows code slot " + pieces[i].text);
            }
        }
        code_.push_back(std::move(pieces));
    }
    for (const auto& literal : lexed.literals) {
        Pieces pieces = splitSlots(literal, id_);
        for (const auto& piece : pieces)
            if (piece.slot && codeNames.count(piece.text))
                invalid(id_, "slot " + piece.text + " stands both in code and in a literal");
        literals_.push_back(std::move(pieces));
    }
    // Order the literals so each binds at most one slot not bound before it:
    // then its split into fixed text and value is unique.
    std::set<std::string, std::less<>> bound;
    std::vector<bool> planned(literals_.size(), false);
    for (bool progress = true; progress;) {
        progress = false;
        for (std::size_t i = 0; i < literals_.size(); ++i) {
            if (planned[i]) continue;
            int unbound = 0;
            for (const auto& piece : literals_[i])
                if (piece.slot && !bound.count(piece.text)) ++unbound;
            if (unbound > 1) continue;
            for (const auto& piece : literals_[i])
                if (piece.slot) bound.insert(piece.text);
            planned[i] = true;
            literalOrder_.push_back(i);
            progress = true;
        }
    }
    if (literalOrder_.size() != literals_.size())
        invalid(id_, "a literal holds two slots that no other literal binds");
}

bool ScriptTemplate::matchCode(const Pieces& pieces, std::string_view code, ScriptBindings& bindings) {
    std::size_t pos = 0;
    for (const auto& piece : pieces) {
        if (!piece.slot) {
            if (code.substr(pos, piece.text.size()) != piece.text) return false;
            pos += piece.text.size();
            continue;
        }
        // The words a family writes for a boolean. No name character follows
        // a code slot in a template, so "truex" cannot match either.
        std::optional<ScriptBindings::Value> word;
        for (auto [text, flag] : {std::pair<std::string_view, bool>{"true", true}, {"false", false}}) {
            if (code.substr(pos, text.size()) != text) continue;
            word = flag;
            pos += text.size();
            break;
        }
        if (word) {
            if (const auto* existing = bindings.find(piece.text); existing && *existing != *word) return false;
            bindings.set(piece.text, *word);
            continue;
        }
        // Only the canonical decimal form a family writes: -?(0|[1-9][0-9]*), never "-0".
        std::size_t start = pos;
        if (pos < code.size() && code[pos] == '-') ++pos;
        std::size_t digits = pos;
        while (pos < code.size() && isDigit(code[pos])) ++pos;
        std::size_t count = pos - digits;
        if (count == 0) return false;
        if (count > 1 && code[digits] == '0') return false;
        if (code[digits] == '0' && digits != start) return false;
        std::int64_t value = 0;
        auto [end, error] = std::from_chars(code.data() + start, code.data() + pos, value);
        if (error != std::errc() || end != code.data() + pos) return false;
        if (const auto* existing = bindings.find(piece.text)) {
            if (*existing != ScriptBindings::Value(value)) return false;
        } else {
            bindings.set(piece.text, value);
        }
    }
    return pos == code.size();
}

bool ScriptTemplate::matchLiteral(const Pieces& pieces, std::string_view literal, ScriptBindings& bindings) {
    std::string prefix, suffix;
    const Piece* open = nullptr;
    for (const auto& piece : pieces) {
        std::string* side = open ? &suffix : &prefix;
        if (!piece.slot) {
            side->append(piece.text);
        } else if (const auto* value = bindings.find(piece.text)) {
            side->append(std::get<std::string>(*value));
        } else {
            open = &piece;
        }
    }
    if (!open) return literal == prefix;
    if (literal.size() < prefix.size() + suffix.size()) return false;
    if (literal.substr(0, prefix.size()) != prefix) return false;
    if (literal.substr(literal.size() - suffix.size()) != suffix) return false;
    bindings.set(open->text, std::string(literal.substr(prefix.size(), literal.size() - prefix.size() - suffix.size())));
    return true;
}

std::optional<ScriptBindings> ScriptTemplate::match(const LexedScript& script) const {
    if (script.code.size() != code_.size() || script.literals.size() != literals_.size()) return std::nullopt;
    ScriptBindings bindings;
    for (std::size_t i = 0; i < code_.size(); ++i)
        if (!matchCode(code_[i], script.code[i], bindings)) return std::nullopt;
    for (std::size_t i : literalOrder_)
        if (!matchLiteral(literals_[i], script.literals[i], bindings)) return std::nullopt;
    return bindings;
}

}  // namespace app::platform
