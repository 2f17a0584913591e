// The tag reader of the music module, over TagLib.
#include "app/platform/music_module.hpp"

#include <taglib/fileref.h>
#include <taglib/tpropertymap.h>

namespace app::platform {

namespace {

class TagLibReader : public AudioTagReader {
public:
    std::optional<AudioTags> read(const std::string& path) override {
        // Audio properties are not needed: reading them costs a scan of the file.
        TagLib::FileRef file(path.c_str(), false);
        if (file.isNull() || !file.file()->isValid()) return std::nullopt;
        const TagLib::PropertyMap properties = file.file()->properties();
        auto joined = [&](const char* key) {
            auto it = properties.find(key);
            return it == properties.end() ? std::string() : it->second.toString(", ").to8Bit(true);
        };
        return AudioTags{joined("TITLE"), joined("ARTIST"), joined("ALBUM")};
    }
};

}  // namespace

std::unique_ptr<AudioTagReader> makeTagLibReader() { return std::make_unique<TagLibReader>(); }

}  // namespace app::platform
