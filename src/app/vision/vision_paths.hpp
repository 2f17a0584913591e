// Path handling shared by the program and the analysis module: tilde
// expansion of the callers' paths, and what lies at a path.
#pragma once

#include <string>

namespace app::vision {

// "~" and "~/rest" under home, "~name/rest" under that user's home; any
// other path, and "~name" of an unknown user, unchanged.
std::string expandTilde(const std::string& path, const std::string& home);

enum class PathKind { Missing, RegularFile, Other };

// Missing when no file exists at the path (or a part of it is no folder);
// Other for folders, devices, FIFOs, sockets and paths that cannot be
// examined. Symbolic links are followed. A path holding NUL is Missing.
PathKind pathKind(const std::string& path);

}  // namespace app::vision
