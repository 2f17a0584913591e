// The music module: the MPRIS client (sdbus-c++) and the tag reader (TagLib),
// built as a shared object of its own and loaded on first use, so that
// neither library weighs on the program's start-up.
#pragma once

#include <memory>
#include <optional>
#include <stop_token>
#include <string>

namespace app::platform {

class MediaPlayers;

// The tags of one audio file; empty texts where a tag is absent.
struct AudioTags {
    std::string title;
    std::string artist;  // several artists joined with ", "
    std::string album;

    bool operator==(const AudioTags&) const = default;
};

class AudioTagReader {
public:
    virtual ~AudioTagReader() = default;
    // The tags of the open regular file `fd` (left open), named `path` (its
    // extension tells the format; the path is never opened again). None when
    // the file cannot be read as audio. Reads a bounded amount of the file
    // whatever its size, and nothing more once `stop` is requested (what it
    // gives then may lack tags: the caller drops it).
    virtual std::optional<AudioTags> read(int fd, const std::string& path, std::stop_token stop) = 0;
};

// What the module hands out; musicModuleApiVersion is bumped with any
// change of these signatures.
struct MusicModuleApi {
    std::unique_ptr<MediaPlayers> (*makeSessionMediaPlayers)();
    std::unique_ptr<AudioTagReader> (*makeAudioTagReader)();
};

inline constexpr int musicModuleApiVersion = 5;

// Loads the module once (later calls share it) and returns its entry points.
// Throws std::runtime_error when it cannot be loaded or does not match.
const MusicModuleApi& musicModule();

// The tag reader of the module, loaded at its first read. One caller at a
// time (the library reads under its lock).
class ModuleAudioTagReader : public AudioTagReader {
public:
    std::optional<AudioTags> read(int fd, const std::string& path, std::stop_token stop) override;

private:
    std::unique_ptr<AudioTagReader> reader_;
};

}  // namespace app::platform
