#include "app/tools/maps/place_search.hpp"

#include "app/platform/unicode_text.hpp"
#include "json/utf8.hpp"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <stdexcept>

namespace app::tools {

namespace {

bool isWordCharacter(char c) {
    auto u = static_cast<unsigned char>(c);
    return u >= 0x80 || (u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z');
}

// Whether `words` stands in `field` as whole words ("texas" in "texas",
// "ile-de-france" in "ile-de-france region", not "france" in "frances").
bool containsWords(std::string_view field, std::string_view words) {
    if (words.empty()) return true;
    for (std::size_t at = field.find(words); at != std::string_view::npos; at = field.find(words, at + 1)) {
        std::size_t end = at + words.size();
        bool startsWord = at == 0 || !isWordCharacter(field[at - 1]);
        bool endsWord = end == field.size() || !isWordCharacter(field[end]);
        if (startsWord && endsWord) return true;
    }
    return false;
}

// The comma-separated parts after the first comma, folded, blank ones left out.
std::vector<std::string> qualifiers(std::string_view rest) {
    std::vector<std::string> parts;
    while (true) {
        std::size_t comma = rest.find(',');
        std::string_view part = platform::trimmingWhiteSpace(rest.substr(0, comma));
        if (!part.empty()) parts.push_back(foldedForSearch(part));
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return parts;
}

bool matchesQualifiers(const platform::City& city, const std::vector<std::string>& parts) {
    const std::string state = foldedForSearch(city.state);
    const std::string country = foldedForSearch(city.country);
    const std::string code = foldedForSearch(city.countryCode);
    for (const auto& part : parts) {
        if (!containsWords(state, part) && !containsWords(country, part) && part != code) return false;
    }
    return true;
}

std::optional<std::string> nonEmpty(const std::string& text) {
    if (text.empty()) return std::nullopt;
    return text;
}

MapItem itemOf(const platform::City& city) {
    MapItem item;
    item.name = nonEmpty(city.name);
    item.placemark.locality = nonEmpty(city.name);
    item.placemark.administrativeArea = nonEmpty(city.state);
    item.placemark.latitude = city.latitude;
    item.placemark.longitude = city.longitude;
    return item;
}

}  // namespace

std::string foldedForSearch(std::string_view text) {
    std::string valid = json::repairUtf8(text);
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    if (U_FAILURE(status)) return platform::foldCase(valid);
    icu::UnicodeString decomposed = nfd->normalize(icu::UnicodeString::fromUTF8(valid), status);
    if (U_FAILURE(status)) return platform::foldCase(valid);
    icu::UnicodeString bare;
    for (int32_t i = 0; i < decomposed.length();) {
        UChar32 c = decomposed.char32At(i);
        if (u_charType(c) != U_NON_SPACING_MARK) bare.append(c);
        i += U16_LENGTH(c);
    }
    bare.foldCase();
    std::string out;
    bare.toUTF8String(out);
    return out;
}

CitySearch::CitySearch(std::shared_ptr<platform::CityDirectory> directory) : directory_(std::move(directory)) {
    if (!directory_) throw std::invalid_argument("CitySearch needs a city directory");
}

std::optional<std::vector<MapItem>> CitySearch::search(const std::string& naturalLanguageQuery) {
    std::vector<platform::City> cities = directory_->search(naturalLanguageQuery);
    std::size_t comma = naturalLanguageQuery.find(',');
    if (cities.empty() && comma != std::string::npos) {
        std::vector<std::string> parts = qualifiers(std::string_view(naturalLanguageQuery).substr(comma + 1));
        std::string_view head = platform::trimmingWhiteSpace(std::string_view(naturalLanguageQuery).substr(0, comma));
        for (auto& city : directory_->search(head)) {
            if (matchesQualifiers(city, parts)) cities.push_back(std::move(city));
        }
    }
    std::vector<MapItem> items;
    items.reserve(cities.size());
    for (const auto& city : cities) items.push_back(itemOf(city));
    return items;
}

}  // namespace app::tools
