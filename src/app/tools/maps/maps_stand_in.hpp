// What stands in for the Maps application on this system: its one script
// ("open location" of a "maps://?q=" address) becomes an OpenStreetMap search
// in the user's browser, through the URL opener.
#pragma once

#include "app/platform/script_host.hpp"
#include "app/platform/url_opener.hpp"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace app::tools {

inline constexpr const char* mapsOpenTemplateId = "maps.open";

class MapsStandIn : public platform::ScriptStandIn {
public:
    // Throws std::invalid_argument for a null opener.
    explicit MapsStandIn(std::shared_ptr<platform::UrlOpener> opener);

    // "maps.open": opens openStreetMapSearchURL of the address's query and
    // gives a result without text. The opener's failure to start ends the
    // run as a script error with the opener's message.
    std::optional<std::string> perform(const platform::ScriptCall& call) override;

private:
    std::shared_ptr<platform::UrlOpener> opener_;
};

// "https://www.openstreetmap.org/search?query=" and the query encoded with
// mapQueryEncoded.
std::string openStreetMapSearchURL(std::string_view query);

// The query as it stands in a "maps://?q=" address, its "%XX" escapes
// decoded; a "%" not followed by two hex digits stays as it is.
std::string percentDecoded(std::string_view text);

// Teaches the host the Maps script (application "Maps") and gives it the
// stand-in. False (and nothing changed) when the host knows it already.
bool registerMapsScripts(platform::TemplateScriptHost& host, std::shared_ptr<platform::ScriptStandIn> standIn);

}  // namespace app::tools
