// Script templates: the exact script texts a family sends, with named slots
// where its values go. A slot is written ⟦name⟧ (see scriptSlot). Inside a
// string literal it binds text; in code it binds a signed decimal integer
// (as in "if noteCount >= ⟦limit⟧ then exit repeat") or the word true or
// false (as in "set shuffle enabled to ⟦shuffle⟧").
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "app/platform/apple_script.hpp"

namespace app::platform {

// "⟦name⟧": what a family writes into a template where a value goes.
std::string scriptSlot(std::string_view name);

// The template with each slot replaced by its value, in one pass (a value is
// never scanned for slots itself). Values go in as given: quoting them for a
// literal is the caller's part. Throws std::logic_error for a slot without a value.
std::string filledScript(std::string_view source, const std::map<std::string_view, std::string>& values);

// The values a matched script gave its slots.
class ScriptBindings {
public:
    using Value = std::variant<std::string, std::int64_t, bool>;

    void set(const std::string& name, Value value) { values_[name] = std::move(value); }
    bool contains(std::string_view name) const { return values_.find(name) != values_.end(); }
    const Value* find(std::string_view name) const;
    // Throw std::out_of_range when the slot is missing or of the other kind.
    const std::string& text(std::string_view name) const;
    std::int64_t integer(std::string_view name) const;
    bool boolean(std::string_view name) const;
    const std::map<std::string, Value, std::less<>>& values() const { return values_; }

    bool operator==(const ScriptBindings&) const = default;

private:
    std::map<std::string, Value, std::less<>> values_;
};

class ScriptTemplate {
public:
    // Throws std::invalid_argument when the source does not lex, a slot is
    // malformed, a name is used both in code and in literals, a code slot
    // touches another slot or is followed by a name character, or a literal holds two
    // slots that no other literal binds (its split would be ambiguous).
    ScriptTemplate(std::string id, std::string application, std::string_view source);

    const std::string& id() const noexcept { return id_; }
    const std::string& application() const noexcept { return application_; }

    // The bindings when the script is this template with values in its slots:
    // code equal outside the slots, literals equal outside the slots, and a
    // slot used more than once bound to one value.
    std::optional<ScriptBindings> match(const LexedScript& script) const;

private:
    struct Piece {
        bool slot = false;
        std::string text;  // fixed text, or the slot's name
    };
    using Pieces = std::vector<Piece>;

    static Pieces splitSlots(std::string_view text, const std::string& id);
    static bool matchCode(const Pieces& pieces, std::string_view code, ScriptBindings& bindings);
    static bool matchLiteral(const Pieces& pieces, std::string_view literal, ScriptBindings& bindings);

    std::string id_;
    std::string application_;
    std::vector<Pieces> code_;
    std::vector<Pieces> literals_;
    std::vector<std::size_t> literalOrder_;  // each literal binds at most one new slot
};

}  // namespace app::platform
