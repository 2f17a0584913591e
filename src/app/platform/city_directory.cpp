#include "app/platform/city_directory.hpp"

#include "app/platform/platform_error.hpp"
#include "json/utf8.hpp"

#include <geonames.h>

#include <dlfcn.h>
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

}  // namespace

struct GeonamesCityDirectory::Library {
    decltype(&geonames_query_cities_sync) query = nullptr;
    decltype(&geonames_get_city) city = nullptr;
    decltype(&geonames_city_free) freeCity = nullptr;
    decltype(&geonames_city_get_name) name = nullptr;
    decltype(&geonames_city_get_state) state = nullptr;
    decltype(&geonames_city_get_country) country = nullptr;
    decltype(&geonames_city_get_country_code) countryCode = nullptr;
    decltype(&geonames_city_get_latitude) latitude = nullptr;
    decltype(&geonames_city_get_longitude) longitude = nullptr;
    decltype(&g_free) free = nullptr;
    decltype(&g_error_free) freeError = nullptr;
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
    bind(lib->query, "geonames_query_cities_sync");
    bind(lib->city, "geonames_get_city");
    bind(lib->freeCity, "geonames_city_free");
    bind(lib->name, "geonames_city_get_name");
    bind(lib->state, "geonames_city_get_state");
    bind(lib->country, "geonames_city_get_country");
    bind(lib->countryCode, "geonames_city_get_country_code");
    bind(lib->latitude, "geonames_city_get_latitude");
    bind(lib->longitude, "geonames_city_get_longitude");
    bind(lib->free, "g_free");
    bind(lib->freeError, "g_error_free");
    library_ = std::move(lib);
    return *library_;
}

std::vector<City> GeonamesCityDirectory::search(std::string_view text) {
    // No city name holds a NUL, which would also cut the C string short.
    if (text.empty() || text.size() > maxQueryBytes || text.find('\0') != std::string_view::npos) return {};
    const std::string query = json::repairUtf8(text);
    std::lock_guard lock(mutex_);
    Library& lib = library();
    CLocaleScope locale;

    guint count = 0;
    GError* error = nullptr;
    gint* indices = lib.query(query.c_str(), GEONAMES_QUERY_DEFAULT, &count, nullptr, &error);
    if (error) {
        std::string message = textOf(error->message);
        lib.freeError(error);
        lib.free(indices);
        throw PlatformError("search the city directory", message);
    }
    std::vector<City> cities;
    cities.reserve(count);
    for (guint i = 0; i < count; ++i) {
        GeonamesCity* city = lib.city(indices[i]);
        if (!city) continue;
        cities.push_back(City{textOf(lib.name(city)), textOf(lib.state(city)),
                              textOf(lib.country(city)), textOf(lib.countryCode(city)),
                              lib.latitude(city), lib.longitude(city)});
        lib.freeCity(city);
    }
    lib.free(indices);
    return cities;
}

}  // namespace app::platform
