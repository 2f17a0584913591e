// Splits the bytes of a network connection into messages and heartbeat
// frames, over plain byte buffers: the network transport feeds it what it
// receives, and a fuzzer can feed it anything.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace mcp {

// Each message ends with byte 10. Between messages, and only there, a peer may
// send a 12-byte heartbeat frame (NetworkHeartbeat): the 4 marker bytes and a
// little-endian millisecond count whose top two bytes are zero (every time
// before the year 10,000), so that a frame is told from message bytes that
// merely begin like one. The bytes of a frame cut short are dropped up to the
// message's first byte ('{' or '[') or up to the next frame's marker, so no
// cut frame ever reaches a message; anything else at a boundary is message
// text, byte for byte. Marker bytes inside a message are message bytes.
class NetworkFramer {
public:
    // Calls onMessage(std::string) for every complete message that is not
    // empty, and onHeartbeat(std::string_view) with every whole frame.
    template <class OnMessage, class OnHeartbeat>
    void feed(std::string_view chunk, OnMessage&& onMessage, OnHeartbeat&& onHeartbeat);

    // Bytes held for the message (or frame) not yet complete.
    std::size_t size() const { return buffer_.size(); }

    enum class Boundary { message, heartbeat, cutFrame, undecided };
    // What the bytes at a message boundary begin with; `skip` is how many
    // bytes a cut frame spans up to the message.
    static Boundary classify(std::string_view rest, std::size_t& skip);

    // A cut frame, whose kept timestamp bytes may hold '{', '[' and newlines
    // too: the message starts at the first '{' or '[' whose line is JSON
    // text and ends past a frame's length. False while undecided; `scanned`
    // keeps the newline search's place meanwhile.
    static bool resolveCut(std::string_view rest, std::size_t& skip, std::size_t& scanned);

private:
    std::string buffer_;
    std::size_t cutScanned_ = 0;  // bytes after a cut frame already searched for a newline
    std::size_t scanned_ = 0;  // bytes after the boundary already searched for a newline
};

template <class OnMessage, class OnHeartbeat>
void NetworkFramer::feed(std::string_view chunk, OnMessage&& onMessage, OnHeartbeat&& onHeartbeat) {
    buffer_.append(chunk);
    std::size_t start = 0;
    bool atBoundary = scanned_ == 0;
    for (;;) {
        const std::string_view rest(buffer_.data() + start, buffer_.size() - start);
        if (rest.empty()) break;
        if (atBoundary) {
            std::size_t skip = 0;
            const Boundary kind = classify(rest, skip);
            if (kind == Boundary::undecided) break;  // the rest of a frame may be on its way
            if (kind == Boundary::cutFrame && !resolveCut(rest, skip, cutScanned_)) break;
            cutScanned_ = 0;
            if (kind == Boundary::heartbeat || kind == Boundary::cutFrame) {
                if (kind == Boundary::heartbeat) onHeartbeat(rest.substr(0, skip));
                start += skip;
                continue;
            }
            atBoundary = false;
            scanned_ = 0;
        }
        // Bytes before scanned_ were searched with an earlier chunk already.
        const std::size_t newline = rest.find('\n', scanned_);
        if (newline == std::string_view::npos) {
            scanned_ = rest.size();
            break;
        }
        if (newline > 0) onMessage(std::string(rest.substr(0, newline)));
        start += newline + 1;
        scanned_ = 0;
        atBoundary = true;
    }
    buffer_.erase(0, start);
    if (atBoundary) scanned_ = 0;
}

}  // namespace mcp
