// What the music family reads from outside: M3U playlists, the user-dirs file
// and a player's metadata. Playlist entries are never empty, a file entry
// survives the trip through its file URI (a "file:" entry may decode to any
// bytes, as file names may hold), and any metadata gives a track whose length
// text reads back to the length.
#include "app/platform/media_players.hpp"
#include "app/platform/music_library.hpp"
#include "fuzz_check.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <charconv>
#include <cmath>

using namespace app::platform;

namespace {

MprisMetadata metadataFrom(FuzzedDataProvider& in) {
    static const char* const kKeys[] = {"xesam:title", "xesam:artist", "xesam:album", "mpris:length", "xesam:url",
                                        "mpris:trackid"};
    MprisMetadata metadata;
    while (in.remaining_bytes() > 0 && metadata.size() < 8) {
        std::string key = kKeys[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kKeys) - 1)];
        switch (in.ConsumeIntegralInRange(0, 6)) {
            case 0: metadata[key] = std::monostate{}; break;
            case 1: metadata[key] = in.ConsumeBool(); break;
            case 2: metadata[key] = in.ConsumeIntegral<std::int64_t>(); break;
            case 3: metadata[key] = in.ConsumeIntegral<std::uint64_t>(); break;
            case 4: metadata[key] = in.ConsumeFloatingPoint<double>(); break;
            case 5: metadata[key] = in.ConsumeRandomLengthString(64); break;
            default: {
                std::vector<std::string> list;
                for (int i = in.ConsumeIntegralInRange(0, 3); i > 0; --i) list.push_back(in.ConsumeRandomLengthString(16));
                metadata[key] = std::move(list);
            }
        }
    }
    return metadata;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    std::string text = in.ConsumeRandomLengthString(4096);

    for (const std::string& entry : parseM3u(text, "/music")) {
        FUZZ_CHECK(!entry.empty());
        if (entry.front() == '/') {
            std::string uri = fileUri(entry);
            FUZZ_CHECK(uri.rfind("file://", 0) == 0 && percentDecoded(uri.substr(7)) == entry);
        }
    }
    (void)musicDirectoryFromUserDirs(text, "/home/u");

    TrackInfo track = trackFromMetadata(metadataFrom(in));
    if (track.lengthSeconds) {
        double length = *track.lengthSeconds;
        FUZZ_CHECK(std::isfinite(length) && length >= 0);
        std::string written = secondsText(length);
        double back = 0;
        auto [end, error] = std::from_chars(written.data(), written.data() + written.size(), back);
        FUZZ_CHECK(error == std::errc() && end == written.data() + written.size() && back == length);
    }
    return 0;
}
