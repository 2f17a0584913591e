// What the music tests share: a private session bus, a fake MPRIS player on
// it, and tagged WAV files written with TagLib.
#pragma once

#include <sdbus-c++/sdbus-c++.h>
#include <taglib/fileref.h>
#include <taglib/tpropertymap.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/types.h>
#include <vector>

namespace musictest {

// A dbus-daemon of its own, named in DBUS_SESSION_BUS_ADDRESS while it lives.
class PrivateBus {
public:
    PrivateBus() {
        FILE* out = ::popen("dbus-daemon --session --fork --print-address=1 --print-pid=1 2>&1", "r");
        if (!out) throw std::runtime_error("cannot start dbus-daemon");
        char line[1024];
        std::vector<std::string> lines;
        while (lines.size() < 2 && std::fgets(line, sizeof line, out)) {
            std::string text(line);
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
            lines.push_back(text);
        }
        ::pclose(out);
        if (lines.size() < 2 || lines[0].find('=') == std::string::npos)
            throw std::runtime_error("dbus-daemon did not start (is the dbus-daemon package installed?): " +
                                     (lines.empty() ? std::string("no output") : lines[0]));
        address_ = lines[0];
        pid_ = static_cast<pid_t>(std::stol(lines[1]));
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
    }
    ~PrivateBus() {
        ::kill(pid_, SIGTERM);
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

private:
    std::string address_;
    pid_t pid_ = 0;
};

// An MPRIS player: records the methods called on it and answers with the
// state the test gives it. Without `canShuffle` it has no Shuffle property.
class FakePlayer {
public:
    static constexpr const char* interface = "org.mpris.MediaPlayer2.Player";

    FakePlayer(const std::string& name, std::string status, bool canShuffle = true)
        : status_(std::move(status)), connection_(sdbus::createSessionBusConnection("org.mpris.MediaPlayer2." + name)) {
        object_ = sdbus::createObject(*connection_, "/org/mpris/MediaPlayer2");
        for (const char* method : {"Play", "Pause", "Next", "Previous"})
            object_->registerMethod(method).onInterface(interface).implementedAs([this, method] { record(method); });
        object_->registerMethod("OpenUri").onInterface(interface).implementedAs(
            [this](const std::string& uri) { record("OpenUri " + uri); });
        object_->registerProperty("PlaybackStatus").onInterface(interface).withGetter([this] { return get(status_); });
        object_->registerProperty("Metadata").onInterface(interface).withGetter([this] { return get(metadata_); });
        object_->registerProperty("Position").onInterface(interface).withGetter([this] { return get(position_); });
        object_->registerProperty("Volume")
            .onInterface(interface)
            .withGetter([this] { return get(volume_); })
            .withSetter([this](const double& v) { record("Volume " + std::to_string(v)), set(volume_, v); });
        if (canShuffle)
            object_->registerProperty("Shuffle")
                .onInterface(interface)
                .withGetter([this] { return get(shuffle_); })
                .withSetter([this](const bool& v) { record(std::string("Shuffle ") + (v ? "true" : "false")); });
        object_->finishRegistration();
        connection_->enterEventLoopAsync();
    }
    ~FakePlayer() { connection_->leaveEventLoop(); }

    void setTrack(std::map<std::string, sdbus::Variant> metadata, std::int64_t position) {
        std::lock_guard lock(mutex_);
        metadata_ = std::move(metadata);
        position_ = position;
    }
    double volume() const { return get(volume_); }
    std::vector<std::string> calls() const { return get(calls_); }

private:
    template <class T>
    T get(const T& field) const {
        std::lock_guard lock(mutex_);
        return field;
    }
    template <class T>
    void set(T& field, const T& value) {
        std::lock_guard lock(mutex_);
        field = value;
    }
    void record(std::string call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }

    mutable std::mutex mutex_;
    std::string status_;
    std::map<std::string, sdbus::Variant> metadata_;
    std::int64_t position_ = 0;
    double volume_ = 1.0;
    bool shuffle_ = false;
    std::vector<std::string> calls_;
    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IObject> object_;
};

// A short silent PCM WAV file, then its tags (only those given) written by TagLib.
inline void writeTaggedWav(const std::string& path, const std::map<std::string, std::vector<std::string>>& tags) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        auto u32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
        auto u16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
        const std::uint32_t samples = 800, bytes = samples * 2;
        out.write("RIFF", 4);
        u32(36 + bytes);
        out.write("WAVEfmt ", 8);
        u32(16), u16(1), u16(1), u32(8000), u32(16000), u16(2), u16(16);
        out.write("data", 4);
        u32(bytes);
        out << std::string(bytes, '\0');
    }
    if (tags.empty()) return;
    TagLib::FileRef file(path.c_str());
    ASSERT_FALSE(file.isNull()) << path;
    TagLib::PropertyMap properties;
    for (const auto& [key, values] : tags) {
        TagLib::StringList list;
        for (const auto& v : values) list.append(TagLib::String(v, TagLib::String::UTF8));
        properties.insert(key, list);
    }
    file.file()->setProperties(properties);
    ASSERT_TRUE(file.save()) << path;
}

}  // namespace musictest
