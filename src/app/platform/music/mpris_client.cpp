// The MPRIS client of the music module, over the session bus with sdbus-c++.
#include "app/platform/media_players.hpp"
#include "app/platform/music_module.hpp"

#include <sdbus-c++/sdbus-c++.h>

#include <chrono>
#include <stdexcept>

namespace app::platform {

namespace {

constexpr const char* kPlayerInterface = "org.mpris.MediaPlayer2.Player";
constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";
constexpr const char* kObjectPath = "/org/mpris/MediaPlayer2";
constexpr std::string_view kNamePrefix = "org.mpris.MediaPlayer2.";
// What is left of the request's time for one bus call; a call with none
// left fails without being made.
std::chrono::microseconds timeLeft(PlayerDeadline deadline, const std::string& what) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) throw std::runtime_error("cannot " + what + ": no answer in time");
    return left;
}

MprisValue fromVariant(const sdbus::Variant& value) {
    const std::string type = value.peekValueType();
    if (type == "s") return value.get<std::string>();
    if (type == "o") return std::string(value.get<sdbus::ObjectPath>());
    if (type == "as") return value.get<std::vector<std::string>>();
    if (type == "x") return value.get<std::int64_t>();
    if (type == "t") return value.get<std::uint64_t>();
    if (type == "i") return static_cast<std::int64_t>(value.get<std::int32_t>());
    if (type == "u") return static_cast<std::uint64_t>(value.get<std::uint32_t>());
    if (type == "d") return value.get<double>();
    if (type == "b") return value.get<bool>();
    return std::monostate{};
}

class BusMediaPlayers : public MediaPlayers {
public:
    std::vector<std::string> playerNames(PlayerDeadline deadline) override {
        std::vector<std::string> names;
        const auto timeout = timeLeft(deadline, "list the media players");
        try {
            auto bus = sdbus::createProxy(connection(), "org.freedesktop.DBus", "/org/freedesktop/DBus");
            bus->callMethod("ListNames").onInterface("org.freedesktop.DBus").withTimeout(timeout).storeResultsTo(names);
        } catch (const sdbus::Error& error) {
            connection_.reset();  // a lost bus is connected afresh at the next call
            throw std::runtime_error(std::string("cannot list the media players on the session bus: ") +
                                     error.getMessage());
        }
        std::vector<std::string> players;
        for (auto& name : names)
            if (name.size() > kNamePrefix.size() && name.compare(0, kNamePrefix.size(), kNamePrefix) == 0)
                players.push_back(std::move(name));
        return players;
    }

    PlayerStatus status(const std::string& player, PlayerDeadline deadline) override {
        const auto properties = playerProperties(player, deadline);
        PlayerStatus status;
        if (auto it = properties.find("PlaybackStatus");
            it != properties.end() && it->second.containsValueOfType<std::string>())
            status.playbackStatus = it->second.get<std::string>();
        if (auto it = properties.find("Metadata"); it != properties.end() &&
                                                   it->second.containsValueOfType<std::map<std::string, sdbus::Variant>>()) {
            for (const auto& [key, value] : it->second.get<std::map<std::string, sdbus::Variant>>())
                status.metadata[key] = fromVariant(value);
        }
        if (auto it = properties.find("Position"); it != properties.end()) {
            MprisValue position = fromVariant(it->second);
            if (auto* micro = std::get_if<std::int64_t>(&position)) status.positionMicroseconds = *micro;
        }
        return status;
    }

    void command(const std::string& player, std::string_view method, PlayerDeadline deadline) override {
        call(player, "send " + std::string(method) + " to", deadline, [&](sdbus::IProxy& proxy, auto timeout) {
            proxy.callMethod(std::string(method)).onInterface(kPlayerInterface).withTimeout(timeout);
        });
    }

    void setVolume(const std::string& player, double volume, PlayerDeadline deadline) override {
        setProperty(player, "Volume", sdbus::Variant(volume), "set the volume of", deadline);
    }

    bool setShuffle(const std::string& player, bool shuffle, PlayerDeadline deadline) override {
        const auto properties = playerProperties(player, deadline);
        if (!properties.count("Shuffle")) return false;
        try {
            setProperty(player, "Shuffle", sdbus::Variant(shuffle), "set shuffle on", deadline);
        } catch (const UnknownProperty&) {
            return false;
        }
        return true;
    }

    void openUri(const std::string& player, const std::string& uri, PlayerDeadline deadline) override {
        call(player, "open a URI on", deadline, [&](sdbus::IProxy& proxy, auto timeout) {
            proxy.callMethod("OpenUri").onInterface(kPlayerInterface).withTimeout(timeout).withArguments(uri);
        });
    }

private:
    struct UnknownProperty : std::runtime_error {
        using std::runtime_error::runtime_error;
    };

    sdbus::IConnection& connection() {
        if (!connection_) connection_ = sdbus::createSessionBusConnection();
        return *connection_;
    }

    std::map<std::string, sdbus::Variant> playerProperties(const std::string& player, PlayerDeadline deadline) {
        std::map<std::string, sdbus::Variant> properties;
        call(player, "read the state of", deadline, [&](sdbus::IProxy& proxy, auto timeout) {
            proxy.callMethod("GetAll")
                .onInterface(kPropertiesInterface)
                .withTimeout(timeout)
                .withArguments(std::string(kPlayerInterface))
                .storeResultsTo(properties);
        });
        return properties;
    }

    template <class F>
    void call(const std::string& player, const std::string& what, PlayerDeadline deadline, F body) {
        const auto timeout = timeLeft(deadline, what + " " + player);
        try {
            auto proxy = sdbus::createProxy(connection(), player, kObjectPath);
            body(*proxy, timeout);
        } catch (const sdbus::Error& error) {
            throw std::runtime_error("cannot " + what + " " + player + ": " + error.getMessage());
        }
    }

    void setProperty(const std::string& player, const std::string& name, const sdbus::Variant& value,
                     const std::string& what, PlayerDeadline deadline) {
        const auto timeout = timeLeft(deadline, what + " " + player);
        try {
            auto proxy = sdbus::createProxy(connection(), player, kObjectPath);
            proxy->callMethod("Set")
                .onInterface(kPropertiesInterface)
                .withTimeout(timeout)
                .withArguments(std::string(kPlayerInterface), name, value);
        } catch (const sdbus::Error& error) {
            const std::string& kind = error.getName();
            if (kind == "org.freedesktop.DBus.Error.UnknownProperty" ||
                kind == "org.freedesktop.DBus.Error.PropertyReadOnly")
                throw UnknownProperty(error.getMessage());
            throw std::runtime_error("cannot " + what + " " + player + ": " + error.getMessage());
        }
    }

    std::unique_ptr<sdbus::IConnection> connection_;
};

}  // namespace

std::unique_ptr<MediaPlayers> makeBusMediaPlayers() { return std::make_unique<BusMediaPlayers>(); }

}  // namespace app::platform
