// Media players reached over MPRIS (D-Bus): what the music family's stand-in
// asks of them. The D-Bus client itself lives in the music module, loaded on
// first use, so the program neither links nor connects to D-Bus at start-up.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace app::platform {

// One metadata value as the bus carried it; types the family never reads
// arrive as monostate.
using MprisValue =
    std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double, std::string, std::vector<std::string>>;
using MprisMetadata = std::map<std::string, MprisValue, std::less<>>;

// What a player says of itself in one read.
struct PlayerStatus {
    std::string playbackStatus;  // "Playing", "Paused" or "Stopped", as the player sent it
    MprisMetadata metadata;
    std::optional<std::int64_t> positionMicroseconds;

    bool operator==(const PlayerStatus&) const = default;
};

// The fields of the current track a reply shows.
struct TrackInfo {
    std::string title;
    std::string artist;  // several artists joined with ", "
    std::string album;
    std::optional<double> lengthSeconds;

    bool operator==(const TrackInfo&) const = default;
};

// Reads xesam:title, xesam:artist (a list, or one text), xesam:album and
// mpris:length (microseconds, any integer or floating type; negative or not
// finite counts as unknown). Without a title, the last segment of xesam:url.
TrackInfo trackFromMetadata(const MprisMetadata& metadata);

// Seconds in the shortest decimal text that reads back the same ("215.5", "3", "0.25").
std::string secondsText(double seconds);

// When the calls made for one request must have been answered.
using PlayerDeadline = std::chrono::steady_clock::time_point;

// Every operation throws std::runtime_error (the cause in its text) when the
// bus or the player fails, or has not answered by the deadline.
class MediaPlayers {
public:
    virtual ~MediaPlayers() = default;
    // Bus names of the running players ("org.mpris.MediaPlayer2.<name>"), in any order.
    virtual std::vector<std::string> playerNames(PlayerDeadline deadline) = 0;
    virtual PlayerStatus status(const std::string& player, PlayerDeadline deadline) = 0;
    // One method without arguments: "Play", "Pause", "Next" or "Previous".
    virtual void command(const std::string& player, std::string_view method, PlayerDeadline deadline) = 0;
    // 0.0 to 1.0.
    virtual void setVolume(const std::string& player, double volume, PlayerDeadline deadline) = 0;
    // False, and nothing changed, when the player has no shuffle.
    virtual bool setShuffle(const std::string& player, bool shuffle, PlayerDeadline deadline) = 0;
    virtual void openUri(const std::string& player, const std::string& uri, PlayerDeadline deadline) = 0;
};

// The MPRIS client over the session bus. The module is loaded and the bus
// connected at the first call; a failed load is reported by every call.
class SessionMediaPlayers : public MediaPlayers {
public:
    std::vector<std::string> playerNames(PlayerDeadline deadline) override;
    PlayerStatus status(const std::string& player, PlayerDeadline deadline) override;
    void command(const std::string& player, std::string_view method, PlayerDeadline deadline) override;
    void setVolume(const std::string& player, double volume, PlayerDeadline deadline) override;
    bool setShuffle(const std::string& player, bool shuffle, PlayerDeadline deadline) override;
    void openUri(const std::string& player, const std::string& uri, PlayerDeadline deadline) override;

private:
    template <class F>
    auto withClient(F call);

    std::mutex mutex_;
    std::unique_ptr<MediaPlayers> client_;
};

}  // namespace app::platform
