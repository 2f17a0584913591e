#include "app/tools/maps/maps_tools.hpp"

#include "app/platform/access_prompter.hpp"
#include "app/platform/platform_error.hpp"
#include "app/tools/maps/maps_stand_in.hpp"
#include "app/tools/tool_test_support.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>

namespace app::tools {
namespace {

using testing::expectToolError;

// Answers each query from a table: an entry, no response (nullopt) or a thrown error.
class FakeSearch : public LocalSearch {
public:
    std::optional<std::vector<MapItem>> search(const std::string& query) override {
        queries.push_back(query);
        if (query == "broken") throw platform::PlatformError("search places", "the index is damaged");
        auto it = answers.find(query);
        if (it == answers.end()) return std::vector<MapItem>{};
        return it->second;
    }
    std::map<std::string, std::optional<std::vector<MapItem>>> answers;
    std::vector<std::string> queries;
};

class FakeDirections : public DirectionsProvider {
public:
    std::optional<std::vector<Route>> calculate(const MapItem&, const MapItem&, TransportType transport,
                                                bool alternates) override {
        transports.push_back(transport);
        alternateRequests += alternates;
        return routes;
    }
    std::optional<std::vector<Route>> routes = std::vector<Route>{{7500, 3900}};
    std::vector<TransportType> transports;
    int alternateRequests = 0;
};

class FakeFormatters : public MapsFormatters {
public:
    std::optional<std::string> duration(double seconds) override {
        if (!durationText) return std::nullopt;
        return *durationText + "<" + std::to_string(static_cast<long long>(seconds)) + ">";
    }
    std::string distance(double metres) override { return "D<" + std::to_string(static_cast<long long>(metres)) + ">"; }
    std::optional<std::string> durationText = "T";
};

MapItem item(std::optional<std::string> name, Placemark placemark = {}) { return MapItem{std::move(name), placemark}; }

class MapsToolsTest : public ::testing::Test {
protected:
    MapsToolsTest() {
        EXPECT_TRUE(registerMapsScripts(*host, std::make_shared<MapsStandIn>(opener)));
        EXPECT_FALSE(registerMapsScripts(*host, std::make_shared<MapsStandIn>(opener)));
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

TEST(MapsToolDefinitions, ThreeToolsInOrder) {
    using testing::inputSchema;
    using testing::property;
    testing::expectToolDefinitions(
        mapsToolDefinitions,
        {{"search_locations", "Search for locations using a query.", "搜索地点。",
          inputSchema({{"query", property("string", "Search keyword")},
                       {"limit", property("integer", "Maximum number of results to return (default: 10)")}},
                      {"query"})},
         {"get_directions", "Get directions between two locations.", "获取两地之间的路线。",
          inputSchema({{"from", property("string", "Start location")},
                       {"to", property("string", "Destination location")},
                       {"transport", property("string", "Transport mode (automobile, walking, transit)")}},
                      {"from", "to"})},
         {"open_map", "Open a location in the Maps application.", "在地图应用中打开位置。",
          inputSchema({{"query", property("string", "Location name or address")}}, {"query"})}});
}

TEST_F(MapsToolsTest, BadCallsAreRefusedBeforeAnySearch) {
    struct Row {
        std::string name;
        Arguments arguments;
        ToolError expected;
    };
    const std::vector<Row> rows = {
        {"search_locations", {}, {"MapsTool", 400, "Missing query"}},
        {"search_locations", {{"query", 42}}, {"MapsTool", 400, "Missing query"}},
        {"open_map", {{"query", 4.5}}, {"MapsTool", 400, "Missing query"}},
        {"get_directions", {{"from", "Paris"}}, {"MapsTool", 400, "Missing from/to"}},
        {"get_directions", {{"from", "Paris"}, {"to", nullptr}}, {"MapsTool", 400, "Missing from/to"}},
        {"Search_Locations", {{"query", "Paris"}}, {"MapsTool", 404, "Unknown maps tool: Search_Locations"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        expectToolError([&] { call(row.name, row.arguments); }, row.expected);
    }
    EXPECT_TRUE(search->queries.empty());
    EXPECT_TRUE(opener->urls().empty());
}

TEST_F(MapsToolsTest, SearchKeepsTheFirstLimitPlacesAsNameAndAddress) {
    std::vector<MapItem> five;
    for (int i = 0; i < 5; ++i) five.push_back(item("P" + std::to_string(i)));
    search->answers["many"] = five;
    const std::vector<std::pair<AnyValue, std::size_t>> rows = {
        {AnyValue(), 5},  {AnyValue("3"), 5}, {AnyValue(2.5), 5}, {AnyValue(0), 0},
        {AnyValue(-1), 0}, {AnyValue(2), 2},  {AnyValue(99), 5},
        {AnyValue(std::numeric_limits<std::int64_t>::min()), 0},
    };
    for (const auto& [limit, count] : rows) {
        Arguments arguments{{"query", "many"}};
        if (!limit.isNull()) arguments["limit"] = limit;
        json::Value reply = json::parse(call("search_locations", arguments));
        SCOPED_TRACE(json::write(reply));
        ASSERT_EQ(reply.asArray().size(), count);
        if (count > 1) {
            EXPECT_EQ(reply.asArray()[1].asObject().find("name")->asString(), "P1");
        }
    }
    EXPECT_EQ(call("search_locations", {{"query", "nothing"}}), "[]");
    search->answers["silent"] = std::nullopt;
    EXPECT_EQ(call("search_locations", {{"query", "silent"}}), "[]");
}

TEST_F(MapsToolsTest, SearchReplyWordsNamelessPlacesAndAddresses) {
    Placemark cityAndCode{std::nullopt, "Lyon", std::nullopt, "69001", 45.75, 4.85};
    Placemark emptyStreet{"", "Nice", "Provence", std::nullopt, 43.7, 7.26};
    search->answers["q/1"] = std::vector<MapItem>{item(std::nullopt, cityAndCode), item("Nowhere"),
                                                   item("A \"B\"", emptyStreet)};
    EXPECT_EQ(call("search_locations", {{"query", "q/1"}}),
              "[\n  {\n    \"name\" : \"q\\/1\",\n    \"address\" : \"Lyon, 69001\"\n  },\n"
              "  {\n    \"name\" : \"Nowhere\",\n    \"address\" : \"\"\n  },\n"
              "  {\n    \"name\" : \"A \\\"B\\\"\",\n    \"address\" : \", Nice, Provence\"\n  }\n]");
}

TEST_F(MapsToolsTest, DirectionsNameTheModeAsWrittenAndRouteByItsFlag) {
    search->answers["A"] = std::vector<MapItem>{item("A")};
    search->answers["B"] = std::vector<MapItem>{item("B")};
    const std::vector<std::pair<std::optional<std::string>, TransportType>> rows = {
        {std::nullopt, TransportType::Automobile}, {"automobile", TransportType::Automobile},
        {"Walking", TransportType::Walking},       {"TRANSIT", TransportType::Transit},
        {"car", TransportType::Automobile},        {"bicycle", TransportType::Automobile},
    };
    for (const auto& [transport, flag] : rows) {
        Arguments arguments{{"from", "A"}, {"to", "B"}};
        if (transport) arguments["transport"] = *transport;
        SCOPED_TRACE(transport.value_or("(absent)"));
        EXPECT_EQ(call("get_directions", arguments),
                  "Route found: D<7500>, T<3900> via " + transport.value_or("automobile"));
        EXPECT_EQ(directions->transports.back(), flag);
    }
    EXPECT_EQ(directions->alternateRequests, 0);
}

TEST_F(MapsToolsTest, DirectionsOutcomesOtherThanARoute) {
    search->answers["A"] = std::vector<MapItem>{item("A")};
    search->answers["silent"] = std::nullopt;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Row {
        std::string from, to;
        std::optional<std::vector<Route>> routes;
        bool durationText;
        std::string expected;
        std::vector<std::string> queries;
    };
    const std::vector<Row> rows = {
        {"nowhere", "A", {}, true, "Could not find start location: nowhere", {"nowhere"}},
        {"silent", "A", {}, true, "Could not find start location: silent", {"silent"}},
        {"A", "", {}, true, "Could not find destination: ", {"A", ""}},
        {"A", "A", std::nullopt, true, "No route found.", {"A", "A"}},
        {"A", "A", std::vector<Route>{}, true, "No route found.", {"A", "A"}},
        {"A", "A", std::vector<Route>{{nan, 60}}, true, "No route found.", {"A", "A"}},
        {"A", "A", std::vector<Route>{{10, -INFINITY}}, false, "No route found.", {"A", "A"}},
        {"A", "A", std::vector<Route>{{850, 125}, {1, 1}}, false, "Route found: D<850>, 2 mins via automobile",
         {"A", "A"}},
        {"A", "A", std::vector<Route>{{850, 1e300}}, false, "No route found.", {"A", "A"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.expected);
        search->queries.clear();
        directions->routes = row.routes;
        formatters->durationText = row.durationText ? std::optional<std::string>("T") : std::nullopt;
        EXPECT_EQ(call("get_directions", {{"from", row.from}, {"to", row.to}}), row.expected);
        EXPECT_EQ(search->queries, row.queries);
    }
}

TEST_F(MapsToolsTest, SearchErrorsPassThroughUnchanged) {
    search->answers["A"] = std::vector<MapItem>{item("A")};
    for (const auto& [name, arguments] : std::vector<std::pair<std::string, Arguments>>{
             {"search_locations", {{"query", "broken"}}},
             {"get_directions", {{"from", "broken"}, {"to", "A"}}},
             {"get_directions", {{"from", "A"}, {"to", "broken"}}}}) {
        SCOPED_TRACE(name);
        EXPECT_THROW(
            try { call(name, arguments); } catch (const platform::PlatformError& e) {
                EXPECT_STREQ(e.what(), "search places: the index is damaged");
                throw;
            },
            platform::PlatformError);
    }
    EXPECT_EQ(search->queries, (std::vector<std::string>{"broken", "broken", "A", "broken"}));
}

TEST_F(MapsToolsTest, OpenMapSendsTheEncodedQueryToASearchPage) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"Barnes & Noble", "Barnes%20%26%20Noble"},
        {"Café de Flore, Paris", "Caf%C3%A9%20de%20Flore,%20Paris"},
        {"say \"hi\" C++ 50%=#1", "say%20%22hi%22%20C%2B%2B%2050%25%3D%231"},
        {"", ""},
    };
    for (const auto& [query, encoded] : rows) {
        SCOPED_TRACE(query);
        EXPECT_EQ(call("open_map", {{"query", query}}), "Opened Maps for: " + query);
        EXPECT_EQ(opener->urls().back(), "https://www.openstreetmap.org/search?query=" + encoded);
    }
    EXPECT_EQ(opener->urls().size(), rows.size());
}

TEST_F(MapsToolsTest, OpenMapScriptCarriesTheEncodedQuery) {
    auto fake = std::make_shared<platform::FakeScriptHost>();
    scriptHost = fake;
    EXPECT_EQ(call("open_map", {{"query", "Zürich \"HB\", CH"}}), "Opened Maps for: Zürich \"HB\", CH");
    EXPECT_EQ(fake->sources(), std::vector<std::string>{"tell application \"Maps\"\n    activate\n    open location "
                                                        "\"maps://?q=Z%C3%BCrich%20%22HB%22,%20CH\"\nend tell"});
}

class ThrowingOpener : public platform::UrlOpener {
public:
    void open(const std::string&) override { throw platform::PlatformError("open URL", "xdg-open was not found"); }
};

TEST_F(MapsToolsTest, FailuresToOpenMaps) {
    using platform::ScriptRun;
    const std::vector<std::pair<ScriptRun, std::string>> texts = {
        {ScriptRun::notMade(), "Failed to open Maps"},
        {ScriptRun::failed(std::nullopt), "Failed to open Maps"},
    };
    for (const auto& [run, text] : texts) {
        scriptHost = std::make_shared<platform::FakeScriptHost>(run);
        EXPECT_EQ(call("open_map", {{"query", "x"}}), text);
    }
    scriptHost = std::make_shared<platform::FakeScriptHost>(ScriptRun::failed(platform::ScriptErrorInfo{}));
    expectToolError([&] { call("open_map", {{"query", "x"}}); },
                    {"MapsTool", 500, "Failed to open Maps: Unknown AppleScript error"});

    scriptHost.reset();
    host->registerStandIn("Maps", std::make_shared<MapsStandIn>(std::make_shared<ThrowingOpener>()));
    expectToolError([&] { call("open_map", {{"query", "x"}}); },
                    {"MapsTool", 500, "Failed to open Maps: open URL: xdg-open was not found"});
    prompter->setStatus(platform::AccessSubject::automation("Maps"), platform::AuthorizationStatus::Denied);
    expectToolError([&] { call("open_map", {{"query", "x"}}); },
                    {"MapsTool", 500, "Failed to open Maps: Not authorized to send Apple events to Maps."});
}

TEST(MapLocationCoding, WritesFourKeysInOrderAndReadsThemBack) {
    MapLocation location{"Paris", "Paris, Île-de-France Region", 48.85341, 2.3488};
    const std::string text = json::write(encodeMapLocation(location));
    EXPECT_EQ(text, "{\"name\":\"Paris\",\"address\":\"Paris, Île-de-France Region\",\"latitude\":48.85341,"
                    "\"longitude\":2.3488}");
    EXPECT_EQ(decodeMapLocation(json::parse(text)), location);
    EXPECT_EQ(decodeMapLocation(json::parse(R"({"longitude":2,"latitude":-1,"address":"","name":"x","extra":1})")),
              (MapLocation{"x", "", -1, 2}));
    EXPECT_THROW(encodeMapLocation({"x", "", std::nan(""), 0}), json::EncodingError);
}

TEST(MapLocationCoding, RefusesIncompleteOrMistypedObjects) {
    using Kind = json::DecodingError::Kind;
    const std::vector<std::pair<std::string, Kind>> rows = {
        {R"({"name":"x","address":"","latitude":1})", Kind::KeyNotFound},
        {R"({"Name":"x","address":"","latitude":1,"longitude":2})", Kind::KeyNotFound},
        {R"({"name":"x","address":null,"latitude":1,"longitude":2})", Kind::ValueNotFound},
        {R"({"name":"x","address":"","latitude":"1","longitude":2})", Kind::TypeMismatch},
        {R"({"name":1,"address":"","latitude":1,"longitude":2})", Kind::TypeMismatch},
        {R"(["x","",1,2])", Kind::TypeMismatch},
    };
    for (const auto& [text, kind] : rows) {
        SCOPED_TRACE(text);
        try {
            decodeMapLocation(json::parse(text));
            ADD_FAILURE() << "decoded";
        } catch (const json::DecodingError& error) {
            EXPECT_EQ(error.kind(), kind);
        }
    }
}

}  // namespace
}  // namespace app::tools
