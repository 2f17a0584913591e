#include "app/platform/environment.hpp"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <pwd.h>
#include <random>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace app::platform {

namespace {

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::string passwdHome() {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* result = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result &&
        result->pw_dir && result->pw_dir[0] == '/') {
        return result->pw_dir;
    }
    return "/";
}

// XDG base directories must be absolute; anything else is ignored.
std::string xdgDirectory(const SystemEnvironment::Lookup& lookup, const char* name,
                         const std::string& fallback) {
    auto value = lookup(name);
    if (value && !value->empty() && value->front() == '/') return withoutTrailingSlashes(*value);
    return fallback;
}

}  // namespace

SystemEnvironment::SystemEnvironment()
    : SystemEnvironment([](const char* name) -> std::optional<std::string> {
          const char* v = std::getenv(name);
          if (!v) return std::nullopt;
          return std::string(v);
      }) {}

SystemEnvironment::SystemEnvironment(const Lookup& lookup) {
    auto home = lookup("HOME");
    home_ = home && !home->empty() ? withoutTrailingSlashes(*home) : passwdHome();
    auto temp = lookup("TMPDIR");
    temp_ = temp && !temp->empty() ? withoutTrailingSlashes(*temp) : std::string("/tmp");
    const std::string base = home_ == "/" ? std::string() : home_;
    config_ = xdgDirectory(lookup, "XDG_CONFIG_HOME", base + "/.config");
    data_ = xdgDirectory(lookup, "XDG_DATA_HOME", base + "/.local/share");
}

std::chrono::system_clock::time_point SystemEnvironment::now() const {
    return std::chrono::system_clock::now();
}

std::string SystemEnvironment::makeUuid() const { return randomUuidString(); }

std::string randomUuidString() {
    std::array<std::uint8_t, 16> bytes{};
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        ssize_t n = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (n > 0) {
            filled += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            // No kernel randomness: fall back to the library's source.
            std::random_device device;
            for (auto& b : bytes) b = static_cast<std::uint8_t>(device());
            filled = bytes.size();
        }
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 0x0F];
    }
    return text;
}

int makePrivateDirectories(const std::string& directory, std::string* failed) {
    const auto fail = [&](const std::string& at, int error) {
        if (failed) *failed = at;
        return error;
    };
    struct stat info {};
    if (::stat(directory.c_str(), &info) == 0) return S_ISDIR(info.st_mode) ? 0 : fail(directory, ENOTDIR);
    for (std::size_t end = 1; end <= directory.size(); ++end) {
        if (end != directory.size() && directory[end] != '/') continue;
        if (directory[end - 1] == '/') continue;
        const std::string prefix = directory.substr(0, end);
        if (::mkdir(prefix.c_str(), 0700) == 0) continue;
        if (errno != EEXIST) return fail(prefix, errno);
        if (::stat(prefix.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return fail(prefix, ENOTDIR);
    }
    return 0;
}

}  // namespace app::platform
