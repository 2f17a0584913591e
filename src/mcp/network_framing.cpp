#include "mcp/network_framing.hpp"

#include "mcp/network_configuration.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <vector>

namespace mcp {

namespace {

bool opensMessage(char c) { return c == '{' || c == '['; }

// How many of the marker's bytes stand at `at` (all 4, or fewer).
std::size_t markerBytesAt(std::string_view rest, std::size_t at) {
    const auto& magic = NetworkHeartbeat::magic;
    std::size_t matched = 0;
    while (matched < magic.size() && at + matched < rest.size() &&
           static_cast<unsigned char>(rest[at + matched]) == magic[matched]) {
        ++matched;
    }
    return matched;
}

enum class Next { no, marker, message, undecided };

// Whether another frame begins at `at`: a whole marker, perhaps after the
// first bytes of a few more markers cut short (`marker`), or such cut markers
// before a '{' or '[' at `end` (`message`). A frame cut short ends where the
// next one begins, and none of its bytes reach a message.
Next markerAt(std::string_view rest, std::size_t at, std::size_t& end) {
    constexpr std::size_t kMarker = NetworkHeartbeat::magic.size();
    // A longer run of cut markers is not taken for frames.
    const std::size_t limit = at + 2 * NetworkHeartbeat::frameSize;
    for (std::size_t i = at; i < limit;) {
        const std::size_t matched = markerBytesAt(rest, i);
        if (matched == kMarker) return Next::marker;
        if (matched == 0) {
            end = i;
            return i > at && opensMessage(rest[i]) ? Next::message : Next::no;
        }
        if (i + matched == rest.size()) return Next::undecided;
        i += matched;
    }
    return Next::no;
}

Next markerAt(std::string_view rest, std::size_t at) {
    std::size_t end = 0;
    return markerAt(rest, at, end);
}

}  // namespace

NetworkFramer::Boundary NetworkFramer::classify(std::string_view rest, std::size_t& skip) {
    const auto& magic = NetworkHeartbeat::magic;
    constexpr std::size_t kFrame = NetworkHeartbeat::frameSize;
    const std::size_t matched = markerBytesAt(rest, 0);
    if (matched == 0) return Boundary::message;
    if (matched < magic.size()) {
        if (matched == rest.size()) return Boundary::undecided;
        // Part of a marker, then a message or another frame: only the
        // marker's bytes go.
        const Next next = markerAt(rest, matched);
        if (next == Next::undecided) return Boundary::undecided;
        if (opensMessage(rest[matched]) || next == Next::marker || next == Next::message) {
            skip = matched;
            return Boundary::cutFrame;
        }
        return Boundary::message;
    }
    // Another marker within a frame's length: this frame was cut short, and
    // the next begins there (a timestamp holding the marker's four bytes
    // costs that one heartbeat, never a message byte).
    for (std::size_t i = magic.size(); i < std::min(rest.size(), kFrame); ++i) {
        const std::size_t next = markerBytesAt(rest, i);
        if (next == magic.size()) {
            skip = i;
            return Boundary::cutFrame;
        }
        if (next > 0 && i + next == rest.size()) return Boundary::undecided;
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
    // marker, or the next frame at its marker, within a frame's length.
    const std::size_t limit = std::min(rest.size(), kFrame);
    for (std::size_t i = magic.size(); i < limit; ++i) {
        std::size_t end = 0;
        const Next next = markerAt(rest, i, end);
        if (next == Next::undecided) return Boundary::undecided;
        if (opensMessage(rest[i]) || next == Next::marker) {
            skip = i;
            return Boundary::cutFrame;
        }
        // Cut markers up to a '{' or '[': if that is timestamp bytes, the
        // message's own text decides below.
        if (next == Next::message) {
            skip = end;
            return Boundary::cutFrame;
        }
    }
    return rest.size() < kFrame ? Boundary::undecided : Boundary::message;
}

bool NetworkFramer::resolveCut(std::string_view rest, std::size_t& skip, std::size_t& scanned) {
    constexpr std::size_t kFrame = NetworkHeartbeat::frameSize;
    const std::string_view head = rest.substr(0, kFrame);
    std::vector<std::size_t> candidates;
    for (std::size_t i = skip; i < head.size(); ++i) {
        std::size_t end = 0;
        const Next next = markerAt(rest, i, end);
        if (opensMessage(head[i]) || next == Next::marker || next == Next::undecided) candidates.push_back(i);
        // Cut markers, then perhaps the message past them.
        if (next == Next::message) candidates.push_back(end);
    }
    std::sort(candidates.begin(), candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
    std::size_t newline = std::string_view::npos;
    for (std::size_t start : candidates) {
        // Another frame begins here: the bytes before it are all of this one.
        switch (markerAt(rest, start)) {
            case Next::marker:
                skip = start;
                return true;
            case Next::undecided:
                return false;
            case Next::no:
            case Next::message:
                break;
        }
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
        if (newline < start) continue;
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
