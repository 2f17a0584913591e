// The script host's lexer and template matcher. Any source lexes or is refused
// with a compile error; a value quoted for a literal always lexes back to
// itself; a matched template gives each slot a value.
#include "app/platform/apple_script.hpp"
#include "app/platform/script_template.hpp"
#include "fuzz_check.hpp"

using namespace app::platform;

namespace {

const ScriptTemplate& sample() {
    static const ScriptTemplate t("fuzz", "Notes",
                                  "tell application \"Notes\"\n"
                                  "  set n to make new note with properties {name:\"" + scriptSlot("title") +
                                      "\", body:\"<h1>" + scriptSlot("title") + "</h1>" + scriptSlot("body") + "\"}\n"
                                      "  if count >= " + scriptSlot("limit") + " then return \"x\"\n"
                                      "end tell");
    return t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text = fuzzText(data, size);

    LexedScript quoted = lexAppleScript("return \"" + appleScriptEscaped(text) + "\"");
    FUZZ_CHECK(quoted.literals.size() == 1 && quoted.literals[0] == text);

    try {
        LexedScript script = lexAppleScript(text);
        FUZZ_CHECK(script.code.size() == script.literals.size() + 1);
        if (auto bindings = sample().match(script)) {
            FUZZ_CHECK(bindings->contains("title") && bindings->contains("body") && bindings->contains("limit"));
        }
    } catch (const ScriptCompileError&) {
    }
    return 0;
}
