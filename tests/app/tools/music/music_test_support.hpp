// What the music tests share: a private session bus, a fake MPRIS player on
// it, and tagged WAV files written with TagLib.
#pragma once

#include <sdbus-c++/sdbus-c++.h>
#include <taglib/fileref.h>
#include <taglib/tpropertymap.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <unistd.h>

namespace musictest {

// A dbus-daemon of its own, named in DBUS_SESSION_BUS_ADDRESS while it lives.
class PrivateBus {
public:
    PrivateBus() {
        FILE* out = ::popen("dbus-daemon --session --fork --print-address=1 --print-pid=1 2>&1", "r");
        if (!out) throw std::runtime_error("cannot start dbus-daemon");
        char address[1024] = "", pid[64] = "";
        bool read = std::fgets(address, sizeof address, out) && std::fgets(pid, sizeof pid, out);
        ::pclose(out);
        if (!read || !std::strchr(address, '='))
            throw std::runtime_error(std::string("dbus-daemon (package dbus-daemon) did not start: ") + address);
        pid_ = std::atoi(pid);
        ::setenv("DBUS_SESSION_BUS_ADDRESS", std::string(address, std::strcspn(address, "\n")).c_str(), 1);
    }
    ~PrivateBus() { ::kill(pid_, SIGTERM); }

private:
    pid_t pid_ = 0;
};

// An MPRIS player that records the calls made on it and shows the state the
// test gives it; Play makes it play, Pause pause, OpenUri names the track it plays. Without
// `canShuffle` it has no Shuffle property. Frozen, it answers no read of its
// state until thawed.
class FakePlayer {
public:
    FakePlayer(const std::string& name, std::string status, bool canShuffle = true)
        : status_(std::move(status)), bus_(sdbus::createSessionBusConnection("org.mpris.MediaPlayer2." + name)),
          object_(sdbus::createObject(*bus_, "/org/mpris/MediaPlayer2")) {
        const char* player = "org.mpris.MediaPlayer2.Player";
        for (std::string method : {"Play", "Pause", "Next", "Previous"})
            object_->registerMethod(method).onInterface(player).implementedAs([this, method] { record(method); });
        object_->registerMethod("OpenUri").onInterface(player).implementedAs(
            [this](const std::string& uri) { record("OpenUri " + uri); });
        object_->registerProperty("PlaybackStatus").onInterface(player).withGetter([this] {
            std::unique_lock lock(mutex_);
            ++statusReads_;
            thawed_.wait(lock, [this] { return !frozen_; });
            return status_;
        });
        object_->registerProperty("Metadata").onInterface(player).withGetter([this] { return locked(metadata_); });
        object_->registerProperty("Position").onInterface(player).withGetter([this] { return locked(position_); });
        object_->registerProperty("Volume").onInterface(player).withGetter([] { return 1.0; }).withSetter(
            [this](const double& v) { record("Volume " + std::to_string(v)); });
        if (canShuffle)
            object_->registerProperty("Shuffle").onInterface(player).withGetter([] { return false; }).withSetter(
                [this](const bool& v) { record(v ? "Shuffle true" : "Shuffle false"); });
        object_->finishRegistration();
        bus_->enterEventLoopAsync();
    }
    ~FakePlayer() { bus_->leaveEventLoop(); }

    void setTrack(std::map<std::string, sdbus::Variant> metadata, std::int64_t position) {
        std::lock_guard lock(mutex_);
        metadata_ = std::move(metadata), position_ = position;
    }
    std::vector<std::string> calls() const { return locked(calls_); }
    int statusReads() const { return locked(statusReads_); }
    void setFrozen(bool frozen) {
        std::lock_guard lock(mutex_);
        frozen_ = frozen;
        thawed_.notify_all();
    }

private:
    template <class T>
    T locked(const T& field) const {
        std::lock_guard lock(mutex_);
        return field;
    }
    void record(std::string call) {
        std::lock_guard lock(mutex_);
        if (call == "Play") status_ = "Playing";
        if (call == "Pause") status_ = "Paused";
        if (call.starts_with("OpenUri ")) metadata_ = {{"xesam:title", sdbus::Variant(call.substr(8))}};
        calls_.push_back(std::move(call));
    }

    mutable std::mutex mutex_;
    std::condition_variable thawed_;
    bool frozen_ = false;
    int statusReads_ = 0;
    std::string status_;
    std::map<std::string, sdbus::Variant> metadata_;
    std::int64_t position_ = 0;
    std::vector<std::string> calls_;
    std::unique_ptr<sdbus::IConnection> bus_;
    std::unique_ptr<sdbus::IObject> object_;
};

// A short silent PCM WAV file, then the given tags written by TagLib.
inline void writeTaggedWav(const std::string& path, const std::map<std::string, std::vector<std::string>>& tags) {
    {
        const std::uint32_t header[] = {0x46464952, 36 + 1600, 0x45564157, 0x20746d66, 16, 0x00010001,
                                         8000,       16000,     0x00100002, 0x61746164, 1600};  // RIFF..data
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(header), sizeof header);
        out << std::string(1600, '\0');
    }
    TagLib::FileRef file(path.c_str());
    TagLib::PropertyMap properties;
    for (const auto& [key, values] : tags)
        for (const auto& v : values) properties[key].append(TagLib::String(v, TagLib::String::UTF8));
    file.file()->setProperties(properties);
    ASSERT_TRUE(tags.empty() || file.save()) << path;
}

// What this process has read from files and pipes so far ("rchar"), to
// tell what a reading cost without timing it.
inline std::uint64_t bytesReadSoFar() {
    std::ifstream io("/proc/self/io");
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value)
        if (key == "rchar:") return value;
    throw std::runtime_error("no rchar in /proc/self/io");
}

// A file of `size` zero bytes that takes no room on disk, as a download tool
// preallocates it.
inline void writeSparseFile(const std::string& path, off_t size) {
    std::ofstream(path, std::ios::binary | std::ios::trunc);
    ASSERT_EQ(::truncate(path.c_str(), size), 0) << path;
}

}  // namespace musictest
