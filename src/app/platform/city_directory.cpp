#include "app/platform/city_directory.hpp"

#include "app/platform/platform_error.hpp"
#include "json/utf8.hpp"

#include <geonames.h>

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <dlfcn.h>
#include <optional>
#include <type_traits>
#include <locale.h>

namespace app::platform {

namespace {

// The library names its cities in the language of the thread's locale
// (through gettext, which also reads LANGUAGE unless the locale is "C").
// A process that loaded Qt has a user locale: pin "C" for the calls.
class CLocaleScope {
public:
    CLocaleScope() {
        static const locale_t c = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
        if (c) previous_ = ::uselocale(c);
    }
    ~CLocaleScope() {
        if (previous_) ::uselocale(previous_);
    }
    CLocaleScope(const CLocaleScope&) = delete;
    CLocaleScope& operator=(const CLocaleScope&) = delete;

private:
    locale_t previous_ = nullptr;
};

std::string textOf(const char* s) { return s ? std::string(s) : std::string(); }

// The words of a text for matching: decomposed, combining marks dropped,
// case folded, split at everything but letters and digits.
std::vector<std::string> foldedWords(std::string_view text) {
    std::vector<std::string> words;
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    if (U_FAILURE(status)) return words;
    icu::UnicodeString decomposed = nfd->normalize(icu::UnicodeString::fromUTF8(json::repairUtf8(text)), status);
    if (U_FAILURE(status)) return words;
    decomposed.foldCase();
    icu::UnicodeString word;
    auto finish = [&] {
        if (word.isEmpty()) return;
        words.emplace_back();
        word.toUTF8String(words.back());
        word.remove();
    };
    for (int32_t i = 0; i < decomposed.length();) {
        UChar32 c = decomposed.char32At(i);
        i += U16_LENGTH(c);
        if (u_charType(c) == U_NON_SPACING_MARK) continue;
        if (!u_isalnum(c)) {
            finish();
            continue;
        }
        // Letters that carry their stroke in themselves, as "Łódź" is typed "Lodz".
        switch (c) {
            case u'ł': word.append(u'l'); break;
            case u'ø': word.append(u'o'); break;
            case u'đ': word.append(u'd'); break;
            case u'ħ': word.append(u'h'); break;
            case u'ı': word.append(u'i'); break;
            case u'æ': word.append(u"ae"); break;
            case u'œ': word.append(u"oe"); break;
            case u'þ': word.append(u"th"); break;
            default: word.append(c);
        }
    }
    finish();
    return words;
}

// How well the query's words fit a name's words; none when they do not
// match. The query's words begin name words that follow one another.
std::optional<int> matchTier(const std::vector<std::string>& query, const std::vector<std::string_view>& name) {
    auto startsWith = [](std::string_view word, std::string_view prefix) { return word.substr(0, prefix.size()) == prefix; };
    std::optional<int> best;
    for (std::size_t at = 0; at + query.size() <= name.size(); ++at) {
        bool prefixes = true, whole = true;
        for (std::size_t k = 0; k < query.size() && prefixes; ++k) {
            prefixes = startsWith(name[at + k], query[k]);
            whole = whole && name[at + k].size() == query[k].size();
        }
        if (!prefixes) continue;
        int tier = at == 0 ? (whole ? (query.size() == name.size() ? 0 : 1) : 2) : (whole ? 3 : 4);
        if (!best || tier < *best) best = tier;
        if (at == 0) break;  // nothing later fits better
    }
    return best;
}

}  // namespace

// Everything a search reads and answers, so that no search calls the
// library: about 40 bytes a city plus its texts, some 1.8 MB in all.
struct GeonamesCityDirectory::Index {
    struct Entry {
        double latitude = 0, longitude = 0;
        std::uint32_t folded = 0;  // its name's folded words in `text`, one blank between
        std::uint32_t name = 0;    // its name as given, in `text`
        std::uint32_t population = 0;
        std::uint16_t foldedLength = 0, nameLength = 0;
        std::uint16_t place = 0;  // its state, country and code in `places`
    };
    struct Place {
        std::string state, country, countryCode;
        auto operator<=>(const Place&) const = default;
    };
    std::string text;
    std::vector<Entry> entries;
    std::vector<Place> places;

    std::string_view at(std::uint32_t offset, std::uint16_t length) const { return {text.data() + offset, length}; }
};

struct GeonamesCityDirectory::Library {
    decltype(&geonames_get_n_cities) count = nullptr;
    decltype(&geonames_get_city) city = nullptr;
    decltype(&geonames_city_free) freeCity = nullptr;
    decltype(&geonames_city_get_name) name = nullptr;
    decltype(&geonames_city_get_state) state = nullptr;
    decltype(&geonames_city_get_country) country = nullptr;
    decltype(&geonames_city_get_country_code) countryCode = nullptr;
    decltype(&geonames_city_get_latitude) latitude = nullptr;
    decltype(&geonames_city_get_longitude) longitude = nullptr;
    decltype(&geonames_city_get_population) population = nullptr;
};

GeonamesCityDirectory::GeonamesCityDirectory(std::string library) : libraryName_(std::move(library)) {}

// The library stays loaded: GLib's type system cannot be unloaded.
GeonamesCityDirectory::~GeonamesCityDirectory() = default;

GeonamesCityDirectory::Library& GeonamesCityDirectory::library() {
    if (library_) return *library_;
    void* handle = ::dlopen(libraryName_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) throw PlatformError("load the city directory", textOf(::dlerror()));
    auto lib = std::make_unique<Library>();
    auto bind = [&](auto& slot, const char* symbol) {
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(::dlsym(handle, symbol));
        if (!slot) throw PlatformError("load the city directory", std::string(symbol) + " missing in " + libraryName_);
    };
    bind(lib->count, "geonames_get_n_cities");
    bind(lib->city, "geonames_get_city");
    bind(lib->freeCity, "geonames_city_free");
    bind(lib->name, "geonames_city_get_name");
    bind(lib->state, "geonames_city_get_state");
    bind(lib->country, "geonames_city_get_country");
    bind(lib->countryCode, "geonames_city_get_country_code");
    bind(lib->latitude, "geonames_city_get_latitude");
    bind(lib->longitude, "geonames_city_get_longitude");
    bind(lib->population, "geonames_city_get_population");
    library_ = std::move(lib);
    return *library_;
}

GeonamesCityDirectory::Index& GeonamesCityDirectory::index() {
    if (index_) return *index_;
    Library& lib = library();
    CLocaleScope locale;
    auto index = std::make_unique<Index>();
    std::map<Index::Place, std::uint16_t> placeIds;
    const int count = lib.count();
    index->entries.reserve(count > 0 ? static_cast<std::size_t>(count) : 0);
    for (int i = 0; i < count; ++i) {
        GeonamesCity* city = lib.city(i);
        if (!city) continue;
        const std::string name = textOf(lib.name(city));
        Index::Place place{textOf(lib.state(city)), textOf(lib.country(city)), textOf(lib.countryCode(city))};
        Index::Entry entry;
        entry.latitude = lib.latitude(city);
        entry.longitude = lib.longitude(city);
        entry.population = lib.population(city);
        lib.freeCity(city);
        std::vector<std::string> words = foldedWords(name);
        if (words.empty() || name.size() > UINT16_MAX || placeIds.size() >= UINT16_MAX) continue;
        auto [it, added] = placeIds.try_emplace(std::move(place), static_cast<std::uint16_t>(index->places.size()));
        if (added) index->places.push_back(it->first);
        entry.place = it->second;
        entry.folded = static_cast<std::uint32_t>(index->text.size());
        for (const auto& word : words) {
            if (index->text.size() > entry.folded) index->text += ' ';
            index->text += word;
        }
        entry.foldedLength = static_cast<std::uint16_t>(std::min<std::size_t>(index->text.size() - entry.folded, UINT16_MAX));
        entry.name = static_cast<std::uint32_t>(index->text.size());
        entry.nameLength = static_cast<std::uint16_t>(name.size());
        index->text += name;
        index->entries.push_back(entry);
    }
    index->text.shrink_to_fit();
    index->entries.shrink_to_fit();
    index_ = std::move(index);
    return *index_;
}

std::vector<City> GeonamesCityDirectory::search(std::string_view text) {
    // No city name holds a NUL, which would also cut the C string short.
    if (text.empty() || text.size() > maxQueryBytes || text.find('\0') != std::string_view::npos) return {};
    const std::vector<std::string> query = foldedWords(text);
    if (query.empty()) return {};
    std::lock_guard lock(mutex_);
    const Index& idx = index();

    struct Found {
        int tier;
        const Index::Entry* entry;
    };
    std::vector<Found> found;
    std::vector<std::string_view> name;
    for (const auto& entry : idx.entries) {
        std::string_view words = idx.at(entry.folded, entry.foldedLength);
        if (words.find(query.front()) == std::string_view::npos) continue;  // most names, at once
        name.clear();
        for (std::size_t start = 0;;) {
            std::size_t blank = words.find(' ', start);
            name.push_back(words.substr(start, blank - start));
            if (blank == std::string_view::npos) break;
            start = blank + 1;
        }
        if (auto tier = matchTier(query, name)) found.push_back({*tier, &entry});
    }
    // Entries are in the library's order, which breaks ties.
    std::stable_sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        if (a.tier != b.tier) return a.tier < b.tier;
        return a.entry->population > b.entry->population;
    });

    std::vector<City> cities;
    cities.reserve(found.size());
    for (const auto& match : found) {
        const Index::Entry& e = *match.entry;
        const Index::Place& place = idx.places[e.place];
        cities.push_back(City{std::string(idx.at(e.name, e.nameLength)), place.state, place.country,
                              place.countryCode, e.latitude, e.longitude});
    }
    return cities;
}

}  // namespace app::platform
