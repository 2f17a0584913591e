// search_locations and get_directions on the offline city directory, warm:
// the place index is built by the first call, every later call searches it
// in memory (targets: under 2 ms and under 4 ms).
#include "app/platform/city_directory.hpp"
#include "app/platform/script_host.hpp"
#include "app/tools/maps/maps_tools.hpp"
#include "app/tools/maps/offline_routes.hpp"
#include "app/tools/maps/place_search.hpp"
#include "support/fake_script_host.hpp"

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

namespace {

using app::tools::Arguments;

app::tools::MapsService& service() {
    static app::tools::MapsService maps{
        std::make_shared<app::tools::CitySearch>(std::make_shared<app::platform::GeonamesCityDirectory>()),
        std::make_shared<app::tools::EstimatedDirections>(), std::make_shared<app::tools::EnglishMapsFormatters>(),
        std::make_shared<app::platform::FakeScriptHost>()};
    return maps;
}

void call(benchmark::State& state, const std::string& tool, const Arguments& arguments) {
    app::tools::handleMapsTool(service(), tool, arguments);  // builds the index
    for (auto _ : state) benchmark::DoNotOptimize(app::tools::handleMapsTool(service(), tool, arguments));
}

void BM_SearchLocations(benchmark::State& state) {
    call(state, "search_locations", {{"query", "Springfield"}});
}
void BM_SearchLocationsShortPrefix(benchmark::State& state) {  // 600 cities start with "San"
    call(state, "search_locations", {{"query", "san"}, {"limit", 5}});
}
void BM_SearchLocationsQualified(benchmark::State& state) {
    call(state, "search_locations", {{"query", "Paris, Texas"}});
}
void BM_GetDirections(benchmark::State& state) {
    call(state, "get_directions", {{"from", "Paris, France"}, {"to", "Lyon"}});
}
BENCHMARK(BM_SearchLocations)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SearchLocationsShortPrefix)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SearchLocationsQualified)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetDirections)->Unit(benchmark::kMicrosecond);

// The first search: the library loaded and the index built.
void BM_FirstSearch(benchmark::State& state) {
    for (auto _ : state) {
        app::platform::GeonamesCityDirectory directory;
        benchmark::DoNotOptimize(directory.search("Lyon"));
    }
}
BENCHMARK(BM_FirstSearch)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
