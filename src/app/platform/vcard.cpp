#include "app/platform/vcard.hpp"

#include "json/utf8.hpp"

#include <unicode/ucnv.h>

#include <optional>

namespace app::platform {

namespace {

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

std::string upperAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = upper(c);
    return out;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != upper(b[i])) return false;
    return true;
}

// Positions of `separator` outside double quotes.
std::vector<std::string_view> splitOutsideQuotes(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    bool quoted = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"') quoted = !quoted;
        if (text[i] == separator && !quoted) {
            parts.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    parts.push_back(text.substr(start));
    return parts;
}

std::size_t findColonOutsideQuotes(std::string_view line) {
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') quoted = !quoted;
        if (line[i] == ':' && !quoted) return i;
    }
    return std::string_view::npos;
}

bool isQuotedPrintable(std::string_view line) {
    std::size_t colon = findColonOutsideQuotes(line);
    std::string head = upperAscii(line.substr(0, colon));
    return head.find("QUOTED-PRINTABLE") != std::string::npos;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = upper(c);
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string decodeQuotedPrintable(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '=' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// Bytes in `charset` as UTF-8; unchanged when the charset is unknown.
std::string convertToUtf8(const std::string& bytes, const std::string& charset) {
    if (bytes.empty() || equalsIgnoringCase(charset, "UTF-8") || equalsIgnoringCase(charset, "UTF8")) return bytes;
    UErrorCode status = U_ZERO_ERROR;
    auto length = static_cast<int32_t>(bytes.size());
    int32_t needed = ucnv_convert("UTF-8", charset.c_str(), nullptr, 0, bytes.data(), length, &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return bytes;
    std::string out(static_cast<std::size_t>(needed), '\0');
    status = U_ZERO_ERROR;
    ucnv_convert("UTF-8", charset.c_str(), out.data(), needed, bytes.data(), length, &status);
    if (U_FAILURE(status)) return bytes;
    return out;
}

// Decodes \n \N \, \; \: \\; any other backslash stays as written.
std::string unescape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out.push_back(text[i]);
            continue;
        }
        char next = text[i + 1];
        if (next == 'n' || next == 'N') {
            out.push_back('\n');
            ++i;
        } else if (next == ',' || next == ';' || next == ':' || next == '\\') {
            out.push_back(next);
            ++i;
        } else {
            out.push_back('\\');
        }
    }
    return out;
}

// The components of a structured value, split at unescaped ';', still escaped.
std::vector<std::string_view> splitComponents(std::string_view text) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\') {
            ++i;
        } else if (text[i] == ';') {
            parts.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    parts.push_back(text.substr(std::min(start, text.size())));
    return parts;
}

struct Property {
    std::string name;      // upper case, group dropped
    std::string value;     // decoded to UTF-8, escapes still in place
};

std::optional<Property> parseProperty(std::string_view line) {
    std::size_t colon = findColonOutsideQuotes(line);
    if (colon == std::string_view::npos) return std::nullopt;
    auto head = splitOutsideQuotes(line.substr(0, colon), ';');
    std::string_view name = head[0];
    if (auto dot = name.rfind('.'); dot != std::string_view::npos) name = name.substr(dot + 1);
    Property property{upperAscii(name), {}};
    bool quotedPrintable = false;
    std::string charset;
    for (std::size_t i = 1; i < head.size(); ++i) {
        std::string_view parameter = head[i];
        std::size_t equals = parameter.find('=');
        std::string key = upperAscii(parameter.substr(0, equals));
        std::string_view value = equals == std::string_view::npos ? std::string_view() : parameter.substr(equals + 1);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        if (equals == std::string_view::npos) {
            if (key == "QUOTED-PRINTABLE") quotedPrintable = true;
        } else if (key == "ENCODING") {
            if (equalsIgnoringCase(value, "QUOTED-PRINTABLE")) quotedPrintable = true;
        } else if (key == "CHARSET") {
            charset = std::string(value);
        }
    }
    std::string raw(line.substr(colon + 1));
    if (quotedPrintable) raw = decodeQuotedPrintable(raw);
    if (!charset.empty()) raw = convertToUtf8(raw, charset);
    property.value = json::repairUtf8(raw);
    return property;
}

// Physical lines joined into logical ones, each handed to `visit` as it is
// complete (one line held at a time, so a file of many short lines costs no
// more than its longest line): a line that starts with a blank or tab
// continues the one before it, as does the line after a quoted-printable
// value that ends in a soft break ('='). Stops when `visit` returns false.
template <class Visit>
void forEachLogicalLine(std::string_view text, Visit visit) {
    std::string current;
    bool have = false;
    bool quotedPrintable = false;  // of the current logical line, judged by its first physical line
    bool softBreak = false;
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t end = text.find_first_of("\r\n", i);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(i, end - i);
        i = end;
        if (i < text.size()) i += (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
        if (softBreak && have) {
            current.append(line);
        } else if (!line.empty() && (line[0] == ' ' || line[0] == '\t') && have) {
            current.append(line.substr(1));
        } else {
            if (have && !visit(std::string_view(current))) return;
            current.assign(line);
            have = true;
            quotedPrintable = findColonOutsideQuotes(line) != std::string_view::npos && isQuotedPrintable(line);
        }
        softBreak = quotedPrintable && !current.empty() && current.back() == '=';
        if (softBreak) current.pop_back();
    }
    if (have) visit(std::string_view(current));
}

struct CardBuilder {
    std::string given, family, formatted, organisation;
    std::vector<std::string> phones;

    Contact finish(std::string identifier) {
        Contact contact{std::move(identifier), std::move(given), std::move(family), std::move(phones), formatted};
        // An empty structured name: the formatted one, unless it is only the organisation's.
        if (contact.givenName.empty() && contact.familyName.empty() && formatted != organisation)
            contact.givenName = formatted;
        return contact;
    }
};

}  // namespace

bool forEachVCard(std::string_view text, std::string_view source, const std::function<bool(Contact&&)>& visit) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    std::optional<CardBuilder> card;
    std::size_t count = 0;
    int depth = 0;
    bool going = true;
    auto finish = [&] {
        going = visit(card->finish(std::string(source) + "#" + std::to_string(++count)));
        card.reset();
        return going;
    };
    forEachLogicalLine(text, [&](std::string_view line) {
        auto property = parseProperty(line);
        if (!property) return true;
        if (property->name == "BEGIN" && equalsIgnoringCase(property->value, "VCARD")) {
            if (depth++ == 0) card.emplace();
            return true;
        }
        if (property->name == "END" && equalsIgnoringCase(property->value, "VCARD")) {
            if (depth > 0 && --depth == 0) return finish();
            return true;
        }
        if (depth != 1) return true;  // outside a card, or inside an embedded one
        if (property->name == "N") {
            auto parts = splitComponents(property->value);
            card->family = unescape(parts[0]);
            card->given = parts.size() > 1 ? unescape(parts[1]) : std::string();
        } else if (property->name == "FN") {
            card->formatted = unescape(property->value);
        } else if (property->name == "ORG") {
            card->organisation = unescape(splitComponents(property->value)[0]);
        } else if (property->name == "TEL") {
            std::string number = unescape(property->value);
            // A URI value (vCard 4) writes the number as "tel:+1-555-0100".
            if (equalsIgnoringCase(std::string_view(number).substr(0, 4), "tel:")) number.erase(0, 4);
            if (!number.empty()) card->phones.push_back(std::move(number));
        }
        return true;
    });
    if (going && card) finish();
    return going;
}

std::vector<Contact> parseVCards(std::string_view text, std::string_view source) {
    std::vector<Contact> contacts;
    forEachVCard(text, source, [&](Contact&& contact) {
        contacts.push_back(std::move(contact));
        return true;
    });
    return contacts;
}

}  // namespace app::platform
