#include "mcp/network_framing.hpp"

#include "mcp/network_configuration.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <vector>

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

bool NetworkFramer::resolveCut(std::string_view rest, std::size_t& skip, std::size_t& scanned) {
    constexpr std::size_t kFrame = NetworkHeartbeat::frameSize;
    const std::string_view head = rest.substr(0, kFrame);
    std::vector<std::size_t> candidates;
    for (std::size_t i = skip; i < head.size(); ++i)
        if (opensMessage(head[i])) candidates.push_back(i);
    std::size_t newline = std::string_view::npos;
    for (std::size_t start : candidates) {
        // A line ending within a frame's length is kept timestamp bytes: a
        // message is longer.
        if (head.find('\n', start) != std::string_view::npos) continue;
        if (newline == std::string_view::npos) {
            // One search for the message's end, from where the last one stopped.
            newline = rest.find('\n', std::max(head.size(), scanned));
            if (newline == std::string_view::npos) {
                scanned = rest.size();
                return false;
            }
        }
        // JSON text holds no zero byte (the parser would stop at one).
        const std::string_view text = rest.substr(start, newline - start);
        if (text.find('\0') == std::string_view::npos && nlohmann::json::accept(text)) {
            skip = start;
            return true;
        }
    }
    if (rest.size() < kFrame) return false;  // the message may begin in the bytes to come
    // No candidate is a message: the bytes go on as they came.
    if (!candidates.empty()) skip = candidates.front();
    return true;
}

}  // namespace mcp
