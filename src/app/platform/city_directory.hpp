// An offline directory of the world's larger cities (about 24,000 of them),
// searched by name. The data and its library are loaded on the first search,
// so a program that never searches pays nothing for them.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace app::platform {

struct City {
    std::string name;         // in English
    std::string state;        // the first-level division; may be empty
    std::string country;      // in English
    std::string countryCode;  // ISO 3166 alpha-2
    double latitude = 0;      // degrees
    double longitude = 0;     // degrees

    bool operator==(const City&) const = default;
};

class CityDirectory {
public:
    virtual ~CityDirectory() = default;
    // The cities whose names match every word of `text` (word prefixes,
    // accents and case ignored), best match first; none for blank text.
    // Throws PlatformError when the directory cannot be read.
    virtual std::vector<City> search(std::string_view text) = 0;
};

// The directory of libgeonames, opened with dlopen at the first search,
// which also reads every city into an index kept in memory (about 1.8 MB)
// so that later searches take well under a millisecond. A city
// matches when the query's words begin words of its name that follow one
// another ("sa fr" finds San Francisco, "york new" nothing; words are runs of
// letters and digits, accents, strokes and case ignored). Best first: the
// query is the whole name; it is the name's first words; it begins the name;
// its words are whole words further on; the rest; within each, the larger
// population first. Texts are always the English ones, whatever the process
// locale.
class GeonamesCityDirectory : public CityDirectory {
public:
    // Longer queries, and those holding a NUL, cannot name a city: they find
    // nothing without a search.
    static constexpr std::size_t maxQueryBytes = 1024;

    explicit GeonamesCityDirectory(std::string library = "libgeonames.so.0");
    ~GeonamesCityDirectory() override;
    GeonamesCityDirectory(const GeonamesCityDirectory&) = delete;
    GeonamesCityDirectory& operator=(const GeonamesCityDirectory&) = delete;

    std::vector<City> search(std::string_view text) override;

private:
    struct Library;
    struct Index;
    Library& library();  // caller holds mutex_
    Index& index();      // caller holds mutex_

    const std::string libraryName_;
    std::mutex mutex_;
    std::unique_ptr<Library> library_;
    std::unique_ptr<Index> index_;
};

}  // namespace app::platform
