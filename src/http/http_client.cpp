#include "http/http_client.hpp"

#include <algorithm>

namespace http {

namespace {
char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
    }
    return true;
}

bool containsIgnoringCase(std::string_view text, std::string_view part) {
    return std::search(text.begin(), text.end(), part.begin(), part.end(),
                       [](char a, char b) { return lowerAscii(a) == lowerAscii(b); }) != text.end();
}

void Headers::add(std::string name, std::string value) { fields_.push_back({std::move(name), std::move(value)}); }

void Headers::set(std::string name, std::string value) {
    remove(name);
    add(std::move(name), std::move(value));
}

void Headers::remove(std::string_view name) {
    std::erase_if(fields_, [&](const Field& f) { return equalsIgnoringCase(f.name, name); });
}

std::optional<std::string> Headers::get(std::string_view name) const {
    for (const Field& f : fields_) {
        if (equalsIgnoringCase(f.name, name)) return f.value;
    }
    return std::nullopt;
}

std::vector<std::string> Headers::getAll(std::string_view name) const {
    std::vector<std::string> values;
    for (const Field& f : fields_) {
        if (equalsIgnoringCase(f.name, name)) values.push_back(f.value);
    }
    return values;
}

}  // namespace http
