#include "app/vision/vision_paths.hpp"

#include <cerrno>
#include <vector>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app::vision {

namespace {

std::string userHome(const std::string& name) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return {};
    return found->pw_dir ? found->pw_dir : "";
}

std::string withoutTrailingSlash(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

}  // namespace

std::string expandTilde(const std::string& path, const std::string& home) {
    if (path.empty() || path[0] != '~') return path;
    const std::size_t slash = path.find('/');
    const std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    std::string base = user.empty() ? home : userHome(user);
    if (base.empty()) return path;
    base = withoutTrailingSlash(base);
    if (slash == std::string::npos) return base;
    return (base == "/" ? std::string() : base) + path.substr(slash);
}

PathKind pathKind(const std::string& path) {
    // The system would read only up to the NUL and name another file.
    if (path.find('\0') != std::string::npos) return PathKind::Missing;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? PathKind::Missing : PathKind::Other;
    }
    return S_ISREG(st.st_mode) ? PathKind::RegularFile : PathKind::Other;
}

}  // namespace app::vision
