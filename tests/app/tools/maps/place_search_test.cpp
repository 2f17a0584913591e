#include "app/tools/maps/place_search.hpp"

#include "app/platform/platform_error.hpp"
#include "app/tools/maps/maps_tools.hpp"
#include "app/tools/maps/offline_routes.hpp"
#include "support/fake_script_host.hpp"

#include <gmock/gmock.h>

#include <clocale>
#include <cstdlib>
#include <dlfcn.h>

namespace app::tools {
namespace {

// The family's search and directions on the real city directory.
MapsService service{std::make_shared<CitySearch>(std::make_shared<platform::GeonamesCityDirectory>()),
                    std::make_shared<EstimatedDirections>(), std::make_shared<EnglishMapsFormatters>(),
                    std::make_shared<platform::FakeScriptHost>()};

// "name | address" of each place found.
std::vector<std::string> places(const std::string& query, std::int64_t limit = 10) {
    std::vector<std::string> out;
    const Arguments arguments{{"query", query}, {"limit", limit}};
    const json::Value reply = json::parse(handleMapsTool(service, "search_locations", arguments));
    for (const auto& place : reply.asArray())
        out.push_back(place.asObject().find("name")->asString() + " | " + place.asObject().find("address")->asString());
    return out;
}

TEST(CitySearch, FindsCitiesByNameStateAndCountry) {
    using List = std::vector<std::string>;
    const List paris = {"Paris | Paris, Île-de-France Region", "Paris | Paris, Texas",
                        "Cormeilles-en-Parisis | Cormeilles-en-Parisis, Île-de-France Region",
                        "Fond Parisien | Fond Parisien, Ouest"};
    const List inFrance = {paris[0], paris[2]};
    const std::vector<std::pair<std::string, List>> rows = {
        {"Paris", paris}, {"paris, france", inFrance}, {"Paris, Ile-de-France", inFrance}, {"Paris, Fran", {}},
        {"Paris , TEXAS,", {paris[1]}}, {"Paris, US", {paris[1]}}, {"Paris, Texas, France", {}},
        {"Sao Paulo", {"São Paulo | São Paulo, São Paulo"}}, {"Munich", {"Munich | Munich, Bavaria"}},
        {"München", {}},  // the data knows it only as Munich
        {"horsholm", {"Hørsholm | Hørsholm, Capital Region"}},  // a stroke is no accent to ICU
        {"", {}}, {std::string(5000, 'a'), {}}, {std::string("Paris\0x", 7), {}},
    };
    for (const auto& [query, expected] : rows) EXPECT_EQ(places(query), expected) << query.substr(0, 40);
}

TEST(CitySearch, SpringfieldsUpToTheLimitAndARoute) {
    EXPECT_EQ(places("Springfield").size(), 10u);
    EXPECT_EQ(places("Springfield", 100).size(), 11u);
    EXPECT_EQ(places("Springfield", 1), std::vector<std::string>{"Springfield | Springfield, Missouri"});
    EXPECT_EQ(handleMapsTool(service, "get_directions", {{"from", "Paris, France"}, {"to", "Lyon"}}),
              "Route found: 511 km, 6 hours, 23 minutes via automobile");
}

// Under a user locale the library names cities in the user's language; the replies stay English.
TEST(CitySearch, NamesStayEnglishUnderAUserLocale) {
    ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
    ASSERT_EQ(::setenv("LANGUAGE", "de", 1), 0);
    EXPECT_EQ(places("Munich"), std::vector<std::string>{"Munich | Munich, Bavaria"});
    ::unsetenv("LANGUAGE");
    std::setlocale(LC_ALL, "C");
}

bool loadsAtFirstSearch() {
    auto loaded = [] { return ::dlopen("libgeonames.so.0", RTLD_NOW | RTLD_NOLOAD) != nullptr; };
    platform::GeonamesCityDirectory directory;
    bool before = loaded(), blank = directory.search("").empty(), afterBlank = loaded();
    return !before && blank && !afterBlank && !directory.search("Lyon").empty() && loaded();
}

// In a fresh process (the test program started anew), where nothing loaded the library before.
TEST(GeonamesCityDirectory, LoadsItsLibraryAtTheFirstSearchOnly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(loadsAtFirstSearch() ? 0 : 1), ::testing::ExitedWithCode(0), "");
    platform::GeonamesCityDirectory missing("libgeonames-missing.so.0");
    for (int attempt = 0; attempt < 2; ++attempt)
        EXPECT_THAT([&] { missing.search("Lyon"); },
                    ::testing::ThrowsMessage<platform::PlatformError>(::testing::StartsWith(
                        "load the city directory: libgeonames-missing.so.0: cannot open shared object file")));
}

}  // namespace
}  // namespace app::tools
