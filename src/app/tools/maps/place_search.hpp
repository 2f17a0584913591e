// Place search over the offline city directory.
#pragma once

#include "app/platform/city_directory.hpp"
#include "app/tools/maps/maps_service.hpp"

#include <memory>
#include <string>
#include <string_view>

namespace app::tools {

// Searches the query as given; when that finds nothing and the query has a
// comma ("Paris, Texas"), searches the part before the first comma and keeps
// the cities whose state, country or country code matches every part after
// it, accents and case ignored. A city is an item named after it, with the
// city as locality and its state (when it has one) as administrative area.
class CitySearch : public LocalSearch {
public:
    // Throws std::invalid_argument for a null directory.
    explicit CitySearch(std::shared_ptr<platform::CityDirectory> directory);
    std::optional<std::vector<MapItem>> search(const std::string& naturalLanguageQuery) override;

private:
    std::shared_ptr<platform::CityDirectory> directory_;
};

// The text without accents and case: decomposed, combining marks removed,
// case folded ("Île-de-France" and "ILE-DE-FRANCE" give "ile-de-france").
std::string foldedForSearch(std::string_view text);

}  // namespace app::tools
