// The stdio line splitter and the network framing over byte buffers: what
// they deliver does not depend on how the bytes were cut into reads, no line
// holds a newline or passes the limit, and every heartbeat is a whole frame.
#include "fuzz_check.hpp"
#include "mcp/line_splitter.hpp"
#include "mcp/network_framing.hpp"

#include <string>
#include <vector>

namespace {

constexpr std::size_t kMaxLine = 64;

struct Split {
    std::vector<std::string> lines;
    std::vector<std::string> overlong;  // the start of each
    bool operator==(const Split&) const = default;
};

Split splitLines(std::string_view bytes, std::size_t chunk) {
    mcp::LineSplitter splitter(kMaxLine);
    Split out;
    auto onLine = [&](std::string_view line) { out.lines.emplace_back(line); };
    auto onOverlong = [&](std::string_view start) { out.overlong.emplace_back(start); };
    for (std::size_t i = 0; i < bytes.size(); i += chunk) splitter.feed(bytes.substr(i, chunk), onLine, onOverlong);
    splitter.finish(onLine, onOverlong);
    return out;
}

std::vector<std::string> frames(std::string_view bytes, std::size_t chunk) {
    mcp::NetworkFramer framer;
    std::vector<std::string> out;
    auto onMessage = [&](std::string message) { out.push_back("m:" + message); };
    auto onHeartbeat = [&](std::string_view frame) { out.push_back("h:" + std::string(frame)); };
    for (std::size_t i = 0; i < bytes.size(); i += chunk) framer.feed(bytes.substr(i, chunk), onMessage, onHeartbeat);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t chunk = data[0] % 16 + 1;
    const std::string_view bytes = fuzzText(data + 1, size - 1);

    const Split whole = splitLines(bytes, bytes.size() + 1);
    FUZZ_CHECK(splitLines(bytes, chunk) == whole);
    for (const auto& line : whole.lines) {
        FUZZ_CHECK(line.find('\n') == std::string::npos && line.size() <= kMaxLine && !mcp::LineSplitter::isBlank(line));
    }

    const auto framed = frames(bytes, bytes.size() + 1);
    FUZZ_CHECK(frames(bytes, chunk) == framed);

    // A heartbeat whose timestamp's six low bytes are the input's, whole or
    // cut short, before a message: the message arrives as sent. (A timestamp
    // holding the marker's four bytes is taken for a frame cut short there.)
    const std::string message = R"({"jsonrpc":"2.0","id":[1],"method":"ping"})";
    if (bytes.size() >= 7) {
        std::string frame = "\xF0\x9F\x92\x93" + std::string(bytes.substr(1, 6)) + std::string(2, '\0');
        const bool whole = frame.find("\xF0\x9F\x92\x93", 1) == std::string::npos;
        const std::size_t kept = static_cast<unsigned char>(bytes[0]) % 13;
        const std::string sent = frame.substr(0, kept) + message + "\n";
        std::vector<std::string> expected;
        if (kept == 12 && whole) expected.push_back("h:" + frame);
        expected.push_back("m:" + message);
        FUZZ_CHECK(frames(sent, chunk) == expected);

        // One or two frames cut short, then perhaps a whole frame, then the
        // message: no byte of a cut frame reaches the message.
        if (bytes.size() >= 9) {
            const std::size_t first = static_cast<unsigned char>(bytes[7]) % 11 + 1;
            const std::size_t second = static_cast<unsigned char>(bytes[8]) % 12;
            const bool thenWhole = (static_cast<unsigned char>(bytes[0]) & 0x80) != 0;
            const std::string cut = frame.substr(0, first) + frame.substr(0, second);
            std::vector<std::string> after;
            if (thenWhole && whole) after.push_back("h:" + frame);
            after.push_back("m:" + message);
            FUZZ_CHECK(frames(cut + (thenWhole ? frame : "") + message + "\n", chunk) == after);
        }
    }
    return 0;
}
