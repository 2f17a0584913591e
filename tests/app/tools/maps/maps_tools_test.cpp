#include "app/tools/maps/maps_tools.hpp"

#include "app/platform/access_prompter.hpp"
#include "app/platform/platform_error.hpp"
#include "app/tools/maps/maps_stand_in.hpp"
#include "app/tools/maps/offline_routes.hpp"
#include "app/tools/tool_test_support.hpp"
#include "support/fake_access_prompter.hpp"
#include "support/fake_script_host.hpp"
#include "support/recording_url_opener.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <map>

namespace app::tools {
namespace {

using platform::ScriptRun;
using Places = std::optional<std::vector<MapItem>>;
using Routes = std::optional<std::vector<Route>>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Answers from a table (an unknown query finds nothing); "broken" fails.
struct FakeSearch : LocalSearch {
    Places search(const std::string& query) override {
        queries.push_back(query);
        if (query == "broken") throw platform::PlatformError("search places", "the index is damaged");
        return answers.contains(query) ? answers[query] : std::vector<MapItem>{};
    }
    std::map<std::string, Places> answers;
    std::vector<std::string> queries;
};

struct FakeDirections : DirectionsProvider {
    Routes calculate(const MapItem&, const MapItem&, TransportType mode, bool alternates) override {
        transports.push_back(static_cast<int>(mode) + (alternates ? 100 : 0));
        return routes;
    }
    Routes routes;
    std::vector<int> transports;
};

// Shows the value it was given, to prove which route was worded.
struct FakeFormatters : MapsFormatters {
    std::optional<std::string> duration(double s) override {
        return withDuration ? std::optional(std::to_string(std::lround(s)) + "s") : std::nullopt;
    }
    std::string distance(double m) override { return std::to_string(std::lround(m)) + "m"; }
    bool withDuration = true;
};

struct ThrowingOpener : platform::UrlOpener {
    void open(const std::string&) override { throw platform::PlatformError("open URL", "xdg-open was not found"); }
};

MapItem item(std::optional<std::string> name, Placemark placemark = {}) { return MapItem{std::move(name), placemark}; }
Placemark at(double latitude, double longitude) { return {{}, {}, {}, {}, latitude, longitude}; }

// "<domain> <code> <message>" of a ToolError, what() of another error.
std::string failure(const std::function<void()>& call) try {
    call();
    return "no error";
} catch (const ToolError& e) {
    return e.domain() + " " + std::to_string(e.code()) + " " + e.message();
} catch (const std::exception& e) {
    return e.what();
}

class MapsToolsTest : public ::testing::Test {
protected:
    MapsToolsTest() {
        EXPECT_TRUE(registerMapsScripts(*host, std::make_shared<MapsStandIn>(opener)));
        EXPECT_FALSE(registerMapsScripts(*host, std::make_shared<MapsStandIn>(opener)));
        search->answers["A"] = std::vector<MapItem>{item("A")};
        search->answers["silent"] = std::nullopt;
    }
    std::string call(const std::string& name, const Arguments& arguments) {
        MapsService service(search, directions, formatters, scriptHost ? scriptHost : host);
        return handleMapsTool(service, name, arguments);
    }

    std::shared_ptr<FakeSearch> search = std::make_shared<FakeSearch>();
    std::shared_ptr<FakeDirections> directions = std::make_shared<FakeDirections>();
    std::shared_ptr<FakeFormatters> formatters = std::make_shared<FakeFormatters>();
    std::shared_ptr<platform::FakeAccessPrompter> prompter = std::make_shared<platform::FakeAccessPrompter>();
    std::shared_ptr<platform::TemplateScriptHost> host = std::make_shared<platform::TemplateScriptHost>(prompter);
    std::shared_ptr<platform::ScriptHost> scriptHost;  // replaces the template host when set
    std::shared_ptr<platform::RecordingUrlOpener> opener = std::make_shared<platform::RecordingUrlOpener>();
};

TEST_F(MapsToolsTest, BadCallsAndSearchErrors) {
    const std::string damaged = "search places: the index is damaged";
    const std::vector<std::tuple<std::string, Arguments, std::string>> rows = {
        {"search_locations", {}, "MapsTool 400 Missing query"},
        {"open_map", {{"query", 4.5}}, "MapsTool 400 Missing query"},
        {"get_directions", {{"from", "A"}, {"to", nullptr}}, "MapsTool 400 Missing from/to"},
        {"Search_Locations", {{"query", "A"}}, "MapsTool 404 Unknown maps tool: Search_Locations"},
        {"search_locations", {{"query", "broken"}}, damaged},
        {"get_directions", {{"from", "broken"}, {"to", "A"}}, damaged},
        {"get_directions", {{"from", "A"}, {"to", "broken"}}, damaged},
    };
    for (const auto& [name, arguments, expected] : rows) EXPECT_EQ(failure([&, &name = name, &arguments = arguments] { call(name, arguments); }), expected);
    EXPECT_EQ(search->queries, (std::vector<std::string>{"broken", "broken", "A", "broken"}));
}

TEST_F(MapsToolsTest, SearchKeepsTheFirstLimitPlacesAsNameAndAddress) {
    Placemark cityAndCode{std::nullopt, "Lyon", std::nullopt, "69001", 45.75, 4.85};
    Placemark emptyStreet{"", "Nice", "Provence", std::nullopt, 43.7, 7.26};
    search->answers["q/1"] = std::vector<MapItem>{item(std::nullopt, cityAndCode), item("Nowhere"),
                                                   item("A \"B\"", emptyStreet), item("P3"), item("P4")};
    const std::vector<std::pair<AnyValue, std::size_t>> rows = {
        {AnyValue(), 5}, {"3", 5}, {2.5, 5}, {0, 0}, {-1, 0}, {2, 2}, {99, 5},
        {std::numeric_limits<std::int64_t>::min(), 0},
    };
    for (const auto& [limit, count] : rows) {
        Arguments arguments{{"query", "q/1"}};
        if (!limit.isNull()) arguments["limit"] = limit;
        EXPECT_EQ(json::parse(call("search_locations", arguments)).asArray().size(), count);
    }
    EXPECT_EQ(call("search_locations", {{"query", "silent"}}), "[]");
    EXPECT_EQ(call("search_locations", {{"query", "q/1"}, {"limit", 3}}),
              "[\n  {\n    \"name\" : \"q\\/1\",\n    \"address\" : \"Lyon, 69001\"\n  },\n"
              "  {\n    \"name\" : \"Nowhere\",\n    \"address\" : \"\"\n  },\n"
              "  {\n    \"name\" : \"A \\\"B\\\"\",\n    \"address\" : \", Nice, Provence\"\n  }\n]");
}

TEST_F(MapsToolsTest, DirectionsReplies) {
    const Routes route = std::vector<Route>{{7500, 3900}, {1, 1}}, none = std::vector<Route>{};
    // from, to, transport, routes, reply, places searched, flags directions were asked with
    const std::vector<std::tuple<std::string, std::string, std::optional<std::string>, Routes, std::string,
                                 std::vector<std::string>, std::vector<int>>> rows = {
        {"A", "A", std::nullopt, route, "Route found: 7500m, 3900s via automobile", {"A", "A"}, {1}},
        {"A", "A", "Walking", route, "Route found: 7500m, 3900s via Walking", {"A", "A"}, {2}},
        {"A", "A", "TRANSIT", route, "Route found: 7500m, 3900s via TRANSIT", {"A", "A"}, {4}},
        {"A", "A", "bicycle", route, "Route found: 7500m, 3900s via bicycle", {"A", "A"}, {1}},
        {"nowhere", "A", {}, route, "Could not find start location: nowhere", {"nowhere"}, {}},
        {"silent", "A", {}, route, "Could not find start location: silent", {"silent"}, {}},
        {"A", "", {}, route, "Could not find destination: ", {"A", ""}, {}},
        {"A", "A", {}, std::nullopt, "No route found.", {"A", "A"}, {1}},
        {"A", "A", {}, none, "No route found.", {"A", "A"}, {1}},
        {"A", "A", {}, std::vector<Route>{{kNaN, 60}}, "No route found.", {"A", "A"}, {1}},
    };
    for (const auto& [from, to, transport, routes, expected, queries, flags] : rows) {
        search->queries.clear();
        directions->transports.clear();
        directions->routes = routes;
        Arguments arguments{{"from", from}, {"to", to}};
        if (transport) arguments["transport"] = *transport;
        EXPECT_EQ(call("get_directions", arguments), expected);
        EXPECT_EQ(search->queries, queries) << expected;
        EXPECT_EQ(directions->transports, flags) << expected;
    }
    formatters->withDuration = false;  // the time then is whole minutes
    for (const auto& [seconds, expected] : std::vector<std::pair<double, std::string>>{
             {125, "Route found: 850m, 2 mins via automobile"}, {1e300, "No route found."}}) {
        directions->routes = std::vector<Route>{{850, seconds}};
        EXPECT_EQ(call("get_directions", {{"from", "A"}, {"to", "A"}}), expected);
    }
}

TEST_F(MapsToolsTest, OpenMapSendsTheEncodedQueryToASearchPage) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"Barnes & Noble", "Barnes%20%26%20Noble"},
        {"Café de Flore, Paris", "Caf%C3%A9%20de%20Flore,%20Paris"},
        {"say \"hi\" C++ 50%=#1", "say%20%22hi%22%20C%2B%2B%2050%25%3D%231"},
    };
    for (const auto& [query, encoded] : rows) {
        EXPECT_EQ(call("open_map", {{"query", query}}), "Opened Maps for: " + query);
        EXPECT_EQ(opener->urls().back(), "https://www.openstreetmap.org/search?query=" + encoded);
    }
    EXPECT_EQ(mapsOpenScript("Zürich \"HB\", CH"),
              "tell application \"Maps\"\n    activate\n    open location \"maps://?q=Z%C3%BCrich%20%22HB%22,%20CH\"\n"
              "end tell");
}

TEST_F(MapsToolsTest, FailuresToOpenMaps) {
    for (const auto& run : {ScriptRun::notMade(), ScriptRun::failed(std::nullopt)}) {
        scriptHost = std::make_shared<platform::FakeScriptHost>(run);
        EXPECT_EQ(call("open_map", {{"query", "x"}}), "Failed to open Maps");
    }
    auto openFailure = [&] { return failure([&] { call("open_map", {{"query", "x"}}); }); };
    scriptHost = std::make_shared<platform::FakeScriptHost>(ScriptRun::failed(platform::ScriptErrorInfo{}));
    EXPECT_EQ(openFailure(), "MapsTool 500 Failed to open Maps: Unknown AppleScript error");
    scriptHost.reset();
    host->registerStandIn("Maps", std::make_shared<MapsStandIn>(std::make_shared<ThrowingOpener>()));
    EXPECT_EQ(openFailure(), "MapsTool 500 Failed to open Maps: open URL: xdg-open was not found");
}

TEST(MapLocationCoding, FourKeysInOrderAllRequired) {
    EXPECT_EQ(json::write(encodeMapLocation({"Paris", "Paris, Île-de-France", 48.85341, 2.3488})),
              R"({"name":"Paris","address":"Paris, Île-de-France","latitude":48.85341,"longitude":2.3488})");
    EXPECT_EQ(decodeMapLocation(json::parse(R"({"longitude":2,"latitude":-1,"address":"","name":"x","extra":1})")),
              (MapLocation{"x", "", -1, 2}));
    EXPECT_THROW(json::write(encodeMapLocation({"x", "", kNaN, 0})), json::EncodingError);
    EXPECT_EQ(failure([] { decodeMapLocation(json::parse(R"({"Name":"x"})")); }),
              "The data couldn’t be read because it is missing.");
    EXPECT_EQ(failure([] { decodeMapLocation(json::parse(R"({"name":"x","address":"","latitude":"1"})")); }),
              "The data couldn’t be read because it isn’t in the correct format.");
}

TEST(EnglishMapsFormatters, DurationAndDistanceTexts) {
    EnglishMapsFormatters formatters;
    for (const auto& [seconds, text] : std::vector<std::pair<double, std::optional<std::string>>>{
             {0, "0 minutes"}, {29.9, "0 minutes"}, {30, "1 minute"}, {90, "2 minutes"}, {3600, "1 hour"},
             {3630, "1 hour, 1 minute"}, {3900, "1 hour, 5 minutes"}, {7170, "2 hours"}, {4'320'000, "1,200 hours"},
             {-1, std::nullopt}, {kNaN, std::nullopt}, {kInfinity, std::nullopt}, {1e30, std::nullopt}}) {
        EXPECT_EQ(formatters.duration(seconds), text) << seconds;
    }
    for (const auto& [metres, text] : std::vector<std::pair<double, std::string>>{
             {0, "0 m"}, {4.9, "0 m"}, {5, "10 m"}, {849, "850 m"}, {994, "990 m"}, {995, "1 km"}, {1049, "1 km"},
             {1050, "1.1 km"}, {7500, "7.5 km"}, {9949, "9.9 km"}, {9950, "10 km"}, {1'234'567, "1,235 km"},
             {1e12, "1,000,000,000 km"}, {-1, ""}, {kNaN, ""}, {kInfinity, ""}}) {
        EXPECT_EQ(formatters.distance(metres), text) << metres;
    }
}

TEST_F(MapsToolsTest, EstimatedRouteTextsForEachMode) {
    const std::vector<std::tuple<Placemark, Placemark, std::string, std::string>> rows = {
        {at(0, 0), at(0, 1), "automobile", "Route found: 145 km, 1 hour, 48 minutes via automobile"},
        {at(0, 0), at(0, 1), "Walking", "Route found: 145 km, 28 hours, 55 minutes via Walking"},
        {at(0, 0), at(0, 1), "transit", "Route found: 145 km, 3 hours, 37 minutes via transit"},
        {at(0, 0), at(0, 0.005), "walking", "Route found: 720 m, 9 minutes via walking"},
        {at(10, 170), at(10, -170), "transit", "Route found: 2,847 km, 71 hours, 10 minutes via transit"},
        {at(0, 1), at(0, 1), "automobile", "No route found."},
        {at(0, 0), at(kNaN, 1), "automobile", "No route found."},
        {at(0, kInfinity), at(0, 1), "automobile", "No route found."},
        {at(0, 0), at(91, 0), "automobile", "No route found."},
    };
    MapsService service(search, std::make_shared<EstimatedDirections>(), std::make_shared<EnglishMapsFormatters>(),
                        host);
    for (const auto& [from, to, transport, expected] : rows) {
        search->answers["from"] = std::vector<MapItem>{item("from", from)};
        search->answers["to"] = std::vector<MapItem>{item("to", to)};
        EXPECT_EQ(service.getDirections("from", "to", transport), expected);
    }
}

}  // namespace
}  // namespace app::tools
