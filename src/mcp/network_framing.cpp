#include "mcp/network_framing.hpp"

#include "mcp/network_configuration.hpp"

#include <algorithm>

namespace mcp {

namespace {

bool opensMessage(char c) { return c == '{' || c == '['; }

}  // namespace

NetworkFramer::Boundary NetworkFramer::classify(std::string_view rest, std::size_t& skip) {
    const auto& magic = NetworkHeartbeat::magic;
    constexpr std::size_t kFrame = NetworkHeartbeat::frameSize;
    std::size_t matched = 0;
    while (matched < magic.size() && matched < rest.size() &&
           static_cast<unsigned char>(rest[matched]) == magic[matched]) {
        ++matched;
    }
    if (matched == 0) return Boundary::message;
    if (matched < magic.size()) {
        if (matched == rest.size()) return Boundary::undecided;
        // Part of a marker, then a message: only the marker's bytes go.
        if (opensMessage(rest[matched])) {
            skip = matched;
            return Boundary::cutFrame;
        }
        return Boundary::message;
    }
    // The whole marker: a frame when its timestamp's top two bytes are zero
    // (text never holds a zero byte).
    if (rest.size() <= 10) return Boundary::undecided;
    const bool plausible = rest[10] == 0 && (rest.size() < kFrame || rest[11] == 0);
    if (plausible) {
        if (rest.size() < kFrame) return Boundary::undecided;
        skip = kFrame;
        return Boundary::heartbeat;
    }
    // A frame cut short: the message starts at the first '{' or '[' after the
    // marker, within a frame's length.
    const std::size_t limit = std::min(rest.size(), kFrame);
    for (std::size_t i = magic.size(); i < limit; ++i) {
        if (opensMessage(rest[i])) {
            skip = i;
            return Boundary::cutFrame;
        }
    }
    return rest.size() < kFrame ? Boundary::undecided : Boundary::message;
}

}  // namespace mcp
