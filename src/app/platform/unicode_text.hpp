// Unicode helpers for the stores and the tool families: lower-casing and
// case folding, trimming and splitting at white space (ICU); the control
// characters stored text cannot keep, and their escapes in messages. UTF-8
// checks and repair are in json/utf8.hpp.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace app::platform {

// Full Unicode lower-casing, the same in every locale (root); ill-formed
// UTF-8 is repaired first.
std::string lowercased(std::string_view text);
// Full Unicode case folding, for case-insensitive comparison.
std::string foldCase(std::string_view text);
// The text without blanks at either end: tabs and the space separators
// (U+0020, U+00A0, U+3000, ...); line breaks stay.
std::string_view trimmingBlanks(std::string_view text);
// The text without Unicode white space (line breaks included) at either end.
std::string_view trimmingWhiteSpace(std::string_view text);
// The words between runs of Unicode white space; none for blank text.
std::vector<std::string> splitAtWhiteSpace(std::string_view text);

// The first control character (U+0000 to U+001F, U+007F) that the files a
// text is stored in cannot keep as given; a tab, a line feed and a carriage
// return right before a line feed (one line break) are kept. None without.
std::optional<char> unkeptControlCharacter(std::string_view text);
// How a message names such a character: "a NUL character", "a carriage
// return (\r) without a line feed after it", "the control character \u001b".
std::string controlCharacterName(char c);
// The text as a message quotes it: each control character written as an
// escape (\t, \n, \r, else \u0000 to \u001f and \u007f), all else as it is.
std::string shownEscaped(std::string_view text);

}  // namespace app::platform
