// The two symbols the music module exports.
#include "app/platform/media_players.hpp"
#include "app/platform/music_module.hpp"

namespace app::platform {
std::unique_ptr<MediaPlayers> makeBusMediaPlayers();
std::unique_ptr<AudioTagReader> makeTagLibReader();
}  // namespace app::platform

extern "C" __attribute__((visibility("default"))) int brisolet_music_interface_version() {
    return app::platform::musicModuleApiVersion;
}

extern "C" __attribute__((visibility("default"))) const app::platform::MusicModuleApi* brisolet_music_module() {
    static const app::platform::MusicModuleApi api{&app::platform::makeBusMediaPlayers,
                                                   &app::platform::makeTagLibReader};
    return &api;
}
