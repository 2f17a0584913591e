#include "app/tools/maps/maps_stand_in.hpp"

#include "app/platform/script_template.hpp"
#include "app/tools/maps/maps_service.hpp"

#include <stdexcept>

namespace app::tools {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

std::string percentDecoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            int high = hexValue(text[i + 1]), low = hexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out += static_cast<char>(high * 16 + low);
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

std::string openStreetMapSearchURL(std::string_view query) {
    return "https://www.openstreetmap.org/search?query=" + mapQueryEncoded(query);
}

MapsStandIn::MapsStandIn(std::shared_ptr<platform::UrlOpener> opener) : opener_(std::move(opener)) {
    if (!opener_) throw std::invalid_argument("MapsStandIn needs a URL opener");
}

std::optional<std::string> MapsStandIn::perform(const platform::ScriptCall& call) {
    if (call.templateId != mapsOpenTemplateId) throw platform::ScriptFailure("Maps doesn’t understand this script.");
    // The address carries the query encoded; the search URL encodes it anew.
    opener_->open(openStreetMapSearchURL(percentDecoded(call.bindings.text("query"))));
    return std::nullopt;
}

bool registerMapsScripts(platform::TemplateScriptHost& host, std::shared_ptr<platform::ScriptStandIn> standIn) {
    if (host.recognise(mapsOpenScript("x"))) return false;
    host.registerTemplate(mapsOpenTemplateId, "Maps", mapsOpenSource(platform::scriptSlot("query")));
    host.registerStandIn("Maps", std::move(standIn));
    return true;
}

}  // namespace app::tools
