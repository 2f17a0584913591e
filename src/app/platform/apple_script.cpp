#include "app/platform/apple_script.hpp"

namespace app::platform {

std::string appleScriptEscaped(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

namespace {

bool isLineEnd(char c) { return c == '\n' || c == '\r'; }

}  // namespace

LexedScript lexAppleScript(std::string_view source) {
    LexedScript out;
    std::string code;
    std::size_t i = 0;
    const std::size_t n = source.size();
    while (i < n) {
        char c = source[i];
        if (c == '"') {
            std::size_t start = i++;
            std::string literal;
            bool closed = false;
            while (i < n) {
                char d = source[i++];
                if (d == '"') {
                    closed = true;
                    break;
                }
                if (d != '\\') {
                    literal.push_back(d);
                    continue;
                }
                if (i >= n) break;  // a trailing backslash leaves the literal open
                char e = source[i++];
                switch (e) {
                case '"': literal.push_back('"'); break;
                case '\\': literal.push_back('\\'); break;
                case 'n': literal.push_back('\n'); break;
                case 'r': literal.push_back('\r'); break;
                case 't': literal.push_back('\t'); break;
                default:
                    throw ScriptCompileError(
                        std::string("Syntax Error: unknown escape \\") + e + " in a string literal", i - 2);
                }
            }
            if (!closed) throw ScriptCompileError("Syntax Error: unterminated string literal", start);
            out.code.push_back(std::move(code));
            code.clear();
            out.literals.push_back(std::move(literal));
            continue;
        }
        bool lineComment = (c == '#') || (c == '-' && i + 1 < n && source[i + 1] == '-');
        if (lineComment) {
            std::size_t end = i;
            while (end < n && !isLineEnd(source[end])) ++end;
            code.append(source.substr(i, end - i));
            i = end;
            continue;
        }
        if (c == '(' && i + 1 < n && source[i + 1] == '*') {
            std::size_t start = i;
            int depth = 0;
            while (i < n) {
                if (source[i] == '(' && i + 1 < n && source[i + 1] == '*') {
                    ++depth;
                    i += 2;
                } else if (source[i] == '*' && i + 1 < n && source[i + 1] == ')') {
                    i += 2;
                    if (--depth == 0) break;
                } else {
                    ++i;
                }
            }
            if (depth != 0) throw ScriptCompileError("Syntax Error: unterminated comment", start);
            code.append(source.substr(start, i - start));
            continue;
        }
        code.push_back(c);
        ++i;
    }
    out.code.push_back(std::move(code));
    return out;
}

}  // namespace app::platform
