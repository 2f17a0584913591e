#include "app/tools/maps/place_search.hpp"

#include "app/platform/platform_error.hpp"
#include "app/tools/maps/maps_tools.hpp"
#include "app/tools/maps/offline_routes.hpp"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <dlfcn.h>

namespace app::tools {
namespace {

// The family's search and directions on the real city directory.
class CitySearchTest : public ::testing::Test {
protected:
    std::string call(const std::string& name, const Arguments& arguments) { return handleMapsTool(service, name, arguments); }

    // "name | address" of each place found.
    std::vector<std::string> places(const std::string& query, std::int64_t limit = 10) {
        std::vector<std::string> out;
        const json::Value reply = json::parse(call("search_locations", {{"query", query}, {"limit", limit}}));
        for (const auto& place : reply.asArray())
            out.push_back(place.asObject().find("name")->asString() + " | " +
                          place.asObject().find("address")->asString());
        return out;
    }

    std::shared_ptr<platform::GeonamesCityDirectory> directory = std::make_shared<platform::GeonamesCityDirectory>();
    MapsService service{std::make_shared<CitySearch>(directory), std::make_shared<EstimatedDirections>(),
                        std::make_shared<EnglishMapsFormatters>(), std::make_shared<platform::FakeScriptHost>()};
};

TEST_F(CitySearchTest, FindsCitiesByNameStateAndCountry) {
    using List = std::vector<std::string>;
    const List paris = {"Paris | Paris, Île-de-France Region", "Paris | Paris, Texas",
                        "Cormeilles-en-Parisis | Cormeilles-en-Parisis, Île-de-France Region",
                        "Fond Parisien | Fond Parisien, Ouest"};
    const List inFrance = {paris[0], paris[2]};
    const std::vector<std::pair<std::string, List>> rows = {
        {"Paris", paris},
        {"paris, france", inFrance},
        {"Paris, Ile-de-France", inFrance},  // accents folded in the state too
        {"Paris , TEXAS,", {paris[1]}},
        {"Paris, US", {paris[1]}},
        {"Paris, Frances", {}},
        {"Paris, Texas, France", {}},
        {"Sao Paulo", {"São Paulo | São Paulo, São Paulo"}},
        {"München", {}},  // the data knows it only as Munich
        {"Munich", {"Munich | Munich, Bavaria"}},
        {"", {}},
        {std::string(5000, 'a'), {}},
    };
    for (const auto& [query, expected] : rows) {
        SCOPED_TRACE(query.substr(0, 40));
        EXPECT_EQ(places(query), expected);
    }
}

TEST_F(CitySearchTest, SpringfieldsUpToTheLimit) {
    const auto ten = places("Springfield");
    ASSERT_EQ(ten.size(), 10u);
    EXPECT_EQ(ten[0], "Springfield | Springfield, Missouri");
    EXPECT_EQ(ten[2], "Springfield | Springfield, Illinois");
    EXPECT_EQ(places("Springfield", 100).size(), 11u);
    EXPECT_EQ(places("Springfield", 1), std::vector<std::string>{ten[0]});
    EXPECT_EQ(call("search_locations", {{"query", "Springfield"}, {"limit", -3}}), "[]");
}

TEST_F(CitySearchTest, DirectionsBetweenFoundCities) {
    EXPECT_EQ(call("get_directions", {{"from", "Paris, France"}, {"to", "Lyon"}}),
              "Route found: 511 km, 6 hours, 23 minutes via automobile");
    EXPECT_EQ(call("get_directions", {{"from", "München"}, {"to", "Lyon"}}), "Could not find start location: München");
    EXPECT_EQ(call("get_directions", {{"from", "Lyon"}, {"to", "Lyon"}, {"transport", "walking"}}),
              "No route found.");
}

// Under a user locale the library names cities in the user's language; the
// replies stay English.
TEST_F(CitySearchTest, NamesStayEnglishUnderAUserLocale) {
    ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
    ASSERT_EQ(::setenv("LANGUAGE", "de", 1), 0);
    EXPECT_EQ(places("Munich"), std::vector<std::string>{"Munich | Munich, Bavaria"});
    ::unsetenv("LANGUAGE");
    std::setlocale(LC_ALL, "C");
}

bool loaded() { return ::dlopen("libgeonames.so.0", RTLD_NOW | RTLD_NOLOAD) != nullptr; }

// In a fresh process (the test program started anew), where nothing loaded the library before.
TEST(GeonamesCityDirectory, LoadsItsLibraryAtTheFirstSearchOnly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            platform::GeonamesCityDirectory directory;
            bool before = loaded();
            bool blank = directory.search("").empty();
            bool afterBlank = loaded();
            bool found = !directory.search("Lyon").empty();
            std::exit(!before && blank && !afterBlank && found && loaded() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(GeonamesCityDirectory, AMissingLibraryFailsEachSearch) {
    MapsService service(std::make_shared<CitySearch>(
                            std::make_shared<platform::GeonamesCityDirectory>("libgeonames-missing.so.0")),
                        std::make_shared<EstimatedDirections>(), std::make_shared<EnglishMapsFormatters>(),
                        std::make_shared<platform::FakeScriptHost>());
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            handleMapsTool(service, "search_locations", {{"query", "Lyon"}});
            ADD_FAILURE() << "no error";
        } catch (const platform::PlatformError& error) {
            EXPECT_EQ(error.operation(), "load the city directory");
            EXPECT_NE(error.cause().find("libgeonames-missing.so.0"), std::string::npos) << error.cause();
        }
    }
}

}  // namespace
}  // namespace app::tools
