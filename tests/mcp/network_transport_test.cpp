// The network transport over a scripted connection: states, log lines,
// heartbeats, sending, receiving and reconnection.
#include "mcp/network_transport.hpp"
#include "mcp/network_framing.hpp"

#include "mcp/network_test_support.hpp"
#include "support/wait.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <future>

namespace {
using namespace networktest;
using mcp::MCPError;
using mcp::NetworkTransport;
using mcp::PlatformError;
using Lines = std::vector<std::string>;
using Level = logging::Logger::Level;

const std::string kHeartbeat = NetworkTransport::Heartbeat(1.5).data();

struct Rig {
    explicit Rig(NetworkTransport::HeartbeatConfiguration heartbeat = NetworkTransport::HeartbeatConfiguration::disabled,
                 NetworkTransport::ReconnectionConfiguration reconnection =
                     NetworkTransport::ReconnectionConfiguration::disabled,
                 NetworkTransport::BufferConfiguration buffer = NetworkTransport::BufferConfiguration::defaultConfiguration)
        : transport(std::make_shared<NetworkTransport>(connection, networkLogger(log), heartbeat, reconnection, buffer)) {}

    void connectReady() {
        connection->scriptStart({State::ready()});
        transport->connect();
    }
    std::optional<std::string> next() { return transport->receive()->nextFor(kTimeout); }
    // Messages up to the line "END", pushed after the chunks.
    Lines receiveThrough(const Lines& chunks) {
        for (const auto& chunk : chunks) connection->pushChunk(chunk);
        connection->pushChunk("END\n");
        Lines out;
        for (int i = 0; i < 1000; ++i) {
            auto message = next();
            if (!message || *message == "END") break;
            out.push_back(*message);
        }
        return out;
    }

    std::shared_ptr<logging::testing::RecordSink> log = std::make_shared<logging::testing::RecordSink>();
    std::shared_ptr<FakeNetworkConnection> connection = std::make_shared<FakeNetworkConnection>();
    std::shared_ptr<NetworkTransport> transport;
};

template <class F>
std::optional<MCPError> mcpErrorOf(F&& f) {
    try {
        f();
    } catch (const MCPError& e) {
        return e;
    }
    return std::nullopt;
}

double secondsSince(rt::Clock::time_point start) {
    return std::chrono::duration<double>(rt::Clock::now() - start).count();
}

TEST(NetworkTransportConnect, ReturnsWhenReady) {
    Rig rig;
    rig.connection->scriptStart({State::setup(), State::preparing(), State::ready()});
    rig.transport->connect();

    EXPECT_TRUE(rig.transport->isConnected());
    rig.transport->connect();  // already connected: nothing starts
    EXPECT_EQ(rig.connection->startCount(), 1);
    // Later failed or cancelled states change nothing.
    rig.connection->deliver(State::failed(PlatformError::fromErrno(ECONNRESET)));
    rig.connection->deliver(State::cancelled());
    EXPECT_TRUE(rig.transport->isConnected());
    EXPECT_EQ(rig.connection->startCount(), 1);
}

TEST(NetworkTransportConnect, FailureBeforeReadyThrowsAfterTheBackoffOfAttemptOne) {
    using Reconnection = NetworkTransport::ReconnectionConfiguration;
    const auto refused = State::failed(PlatformError::fromErrno(ECONNREFUSED));
    struct Case {
        const char* name;
        State state;
        Reconnection reconnection;
        std::string error;
        bool waits;
    };
    const std::vector<Case> cases = {
        {"failed", refused, Reconnection::defaultConfiguration, "Transport error: Connection refused", true},
        // Attempt 1 waits 0.5 s whatever the multiplier.
        {"failed, multiplier 40", refused, Reconnection{true, 2, 40.0}, "Transport error: Connection refused", true},
        {"failed, disabled", refused, Reconnection::disabled, "Transport error: Connection refused", false},
        {"failed, no attempts", refused, Reconnection{true, 0, 1.5}, "Transport error: Connection refused", false},
        {"cancelled", State::cancelled(), Reconnection::defaultConfiguration, "Internal error: Connection cancelled",
         true},
        {"cancelled, disabled", State::cancelled(), Reconnection::disabled, "Internal error: Connection cancelled",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(NetworkTransport::HeartbeatConfiguration::disabled, c.reconnection);
        rig.connection->scriptStart({c.state});
        const auto start = rt::Clock::now();
        const auto error = mcpErrorOf([&] { rig.transport->connect(); });
        const double elapsed = secondsSince(start);

        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(std::string(error->what()), c.error);
        if (error->kind() == MCPError::Kind::TransportError) {
            EXPECT_EQ(error->underlying()->code(), ECONNREFUSED);
        }
        EXPECT_GE(rig.connection->cancelCount(), 1);
        EXPECT_EQ(rig.connection->state().kind(), State::Kind::cancelled);
        EXPECT_FALSE(rig.transport->isConnected());
        EXPECT_EQ(rig.connection->startCount(), 1);
        EXPECT_EQ(elapsed >= 0.45, c.waits) << elapsed;
    }
}

TEST(NetworkTransportDisconnect, EndsTheStreamAndTheOutstandingReceive) {
    Rig rig;
    rig.connectReady();
    ASSERT_TRUE(testsupport::waitUntil([&] { return rig.connection->receiveWaiting(); }));
    rig.transport->disconnect();

    EXPECT_EQ(rig.next(), std::nullopt);  // ends without an error
    EXPECT_FALSE(rig.transport->isConnected());
    EXPECT_EQ(rig.connection->state().kind(), State::Kind::cancelled);
    rig.transport->disconnect();  // harmless twice
}

TEST(NetworkTransportDisconnect, StopsAConnectThatIsWaiting) {
    Rig rig;
    rig.connection->scriptStart({State::waiting(PlatformError::fromErrno(ENETUNREACH))});
    auto connecting = std::async(std::launch::async, [&] { rig.transport->connect(); });
    ASSERT_TRUE(rig.log->waitFor("Connection waiting: Network is unreachable"));
    rig.transport->disconnect();
    EXPECT_TRUE(rig.transport->receive()->isFinished());
    ASSERT_EQ(connecting.wait_for(kTimeout), std::future_status::ready);
    const auto error = mcpErrorOf([&] { connecting.get(); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(std::string(error->what()), "Internal error: Connection cancelled");
}

TEST(NetworkTransportSend, EveryConnectionLossStartsARecovery) {
    for (int code : {ENOTCONN, ECONNRESET, EPIPE, ECONNABORTED, ETIMEDOUT, ENETRESET}) {
        const std::string description = PlatformError::fromErrno(code).localizedDescription();
        SCOPED_TRACE(description);
        Rig rig(NetworkTransport::HeartbeatConfiguration::disabled,
                NetworkTransport::ReconnectionConfiguration::defaultConfiguration);
        rig.connectReady();
        rig.connection->failNextSend(code);
        const auto error = mcpErrorOf([&] { rig.transport->send("{}"); });
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(std::string(error->what()), "Internal error: Send error: " + description);
        EXPECT_FALSE(rig.transport->isConnected());
        EXPECT_EQ(rig.transport->reconnectAttempt(), 1);
        // The recovery is still in its pause: the rig's end stops it.
    }
}

TEST(NetworkTransportReceive, SplitsMessagesAtNewlines) {
    struct Case {
        const char* name;
        Lines chunks;
        Lines messages;
    };
    const std::vector<Case> cases = {
        {"two in one chunk", {"A\nB\n"}, {"A", "B"}},
        {"one over two chunks", {"A", "B\n"}, {"AB"}},
        {"empty lines", {"\n\n"}, {}},
        {"carriage return kept", {"A\r\n"}, {"A\r"}},
        {"CR LF and blank lines", {"\r\n", "A\r\n\r\n\n", "B\n"}, {"\r", "A\r", "\r", "B"}},
        {"magic prefix then data", {"\xF0\x9F\x92", "x\n"}, {"\xF0\x9F\x92x"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.connectReady();
        EXPECT_EQ(rig.receiveThrough(c.chunks), c.messages);
    }
}

TEST(NetworkTransportReceive, AnUnfinishedMessageIsLimitedAtItsEdge) {
    NetworkTransport::BufferConfiguration buffer;
    buffer.maxMessageSize = 4;
    for (const std::string unfinished : {"ABCD", "ABCDE"}) {
        SCOPED_TRACE(unfinished);
        Rig rig(NetworkTransport::HeartbeatConfiguration::disabled,
                NetworkTransport::ReconnectionConfiguration::disabled, buffer);
        rig.connectReady();
        rig.connection->pushChunk(unfinished);
        rig.connection->pushChunk("\n");
        const auto error = mcpErrorOf([&] { EXPECT_EQ(rig.next(), "ABCD"); });
        EXPECT_EQ(error ? error->detail() : std::nullopt,
                  unfinished.size() > 4 ? std::optional<std::string>("Received message exceeds the limit of 4 bytes")
                                        : std::nullopt);
    }
}

TEST(NetworkTransportReceive, HeartbeatsBetweenMessagesAreDroppedUnderEveryChunking) {
    // Heartbeats before, between and after messages, and the magic bytes inside one.
    const std::string inner = "{\"text\":\"x\xF0\x9F\x92\x93yyyyyyyyyy\"}";
    const std::string bytes = kHeartbeat + "A\n" + kHeartbeat + inner + "\n" + kHeartbeat + kHeartbeat + "\n" +
                              "C\r\n" + kHeartbeat;
    const Lines expected{"A", inner, "C\r"};

    Rig rig;
    rig.connectReady();
    const auto check = [&](const Lines& chunks) { ASSERT_EQ(rig.receiveThrough(chunks), expected); };
    for (std::size_t cut = 1; cut < bytes.size(); ++cut) check({bytes.substr(0, cut), bytes.substr(cut)});
    for (std::size_t a = 1; a < bytes.size(); a += 3) {
        for (std::size_t b = a + 1; b < bytes.size(); b += 2)
            check({bytes.substr(0, a), bytes.substr(a, b - a), bytes.substr(b)});
    }
    Lines single;
    for (char c : bytes) single.emplace_back(1, c);
    check(single);
}

TEST(NetworkTransportReceive, ThePeersEndFinishesTheStreamAfterQueuedMessages) {
    Rig rig;
    rig.connectReady();
    rig.connection->pushChunk("A\nB\nunfinished");
    rig.connection->pushEnd();
    EXPECT_EQ(rig.next(), "A");
    EXPECT_EQ(rig.next(), "B");
    const auto error = mcpErrorOf([&] { rig.next(); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), MCPError::Kind::ConnectionClosed);
}

TEST(NetworkTransportReceive, ALostConnectionWithoutReconnectionEndsTheStream) {
    for (int code : {ENOTCONN, ECONNRESET, EPIPE, ECONNABORTED, ETIMEDOUT, ENETRESET}) {
        SCOPED_TRACE(code);
        Rig rig;
        rig.connectReady();
        rig.connection->pushChunk("A\n");
        rig.connection->pushError(code);
        EXPECT_EQ(rig.next(), "A");
        const auto error = mcpErrorOf([&] { rig.next(); });
        ASSERT_TRUE(error.has_value());
        ASSERT_EQ(error->kind(), MCPError::Kind::TransportError);
        EXPECT_EQ(error->underlying()->code(), code);
        EXPECT_FALSE(rig.transport->isConnected());
    }
}

TEST(NetworkTransportReconnect, ALostConnectionIsReopenedAndTheStreamGoesOn) {
    Rig rig(NetworkTransport::HeartbeatConfiguration::disabled,
            NetworkTransport::ReconnectionConfiguration::defaultConfiguration);
    rig.connectReady();
    rig.connection->scriptStart({State::preparing(), State::ready()});
    rig.connection->pushChunk("A\nhalf");
    rig.connection->pushError(ECONNRESET);
    EXPECT_EQ(rig.next(), "A");
    ASSERT_TRUE(rig.log->waitFor("Network transport connected successfully", 2));

    rig.connection->pushChunk("B\n");
    EXPECT_EQ(rig.next(), "B");  // the unfinished "half" was lost with the old connection
    EXPECT_EQ(rig.transport->reconnectAttempt(), 0);
    EXPECT_EQ(rig.connection->startCount(), 2);
}

// The messages and the heartbeat frames of `bytes` fed in two reads, split at `at`.
std::pair<Lines, Lines> framedInTwo(std::string_view bytes, std::size_t at) {
    mcp::NetworkFramer framer;
    Lines messages, heartbeats;
    const auto onMessage = [&](std::string m) { messages.push_back(std::move(m)); };
    const auto onHeartbeat = [&](std::string_view f) { heartbeats.emplace_back(f); };
    framer.feed(bytes.substr(0, at), onMessage, onHeartbeat);
    framer.feed(bytes.substr(at), onMessage, onHeartbeat);
    return {messages, heartbeats};
}

// A frame cut short (its first 1 to 11 bytes), or two, before a whole frame
// or before the message: none of their bytes reach the message, however the
// bytes arrive.
TEST(NetworkFraming, CutFramesNeverReachAMessage) {
    const std::string message = R"({"jsonrpc":"2.0","id":1,"method":"ping"})";
    std::vector<std::string> frames{kHeartbeat};
    for (const char byte : {'\x00', '\n', '{', '\xF0', '\x93'}) {
        std::string frame = kHeartbeat;
        frame[5] = byte;
        frame[9] = byte == '\xF0' ? '\x9F' : '\x00';
        frames.push_back(frame);
        frame[6] = '{';  // a cut marker and a bracket among the timestamp bytes
        frames.push_back(frame);
    }
    for (const std::string& frame : frames) {
        for (std::size_t first = 1; first < frame.size(); ++first) {
            for (std::size_t second = 0; second < frame.size(); ++second) {
                for (const bool whole : {true, false}) {
                    const std::string cut = frame.substr(0, first) + frame.substr(0, second);
                    const std::string bytes = cut + (whole ? frame : "") + message + "\n";
                    for (std::size_t at : {bytes.size(), first, first + 1, cut.size() + 3}) {
                        const auto [messages, heartbeats] = framedInTwo(bytes, at);
                        ASSERT_EQ(messages, Lines{message})
                            << first << " and " << second << " bytes cut, whole frame " << whole << ", fed to " << at;
                        ASSERT_EQ(heartbeats, whole ? Lines{frame} : Lines{})
                            << first << " and " << second << " bytes cut, fed to " << at;
                    }
                }
            }
        }
    }
}

TEST(NetworkFraming, AHeartbeatIsOnlyAWholeFrameAtAMessageBoundary) {
    const std::string marker = kHeartbeat.substr(0, 4);
    const std::string message = R"({"jsonrpc":"2.0","id":1,"method":"ping"})";
    struct Case {
        const char* name;
        std::string bytes;
        Lines messages;
        int heartbeats;
    };
    const Case cases[] = {
        {"frames around a message", kHeartbeat + message + "\n" + kHeartbeat, {message}, 2},
        {"cut frame then a message", kHeartbeat.substr(0, 8) + message + "\n", {message}, 0},
        {"marker alone then a message", marker + message + "\n", {message}, 0},
        {"part of the marker then a message", marker.substr(0, 2) + "[" + message + "]\n", {"[" + message + "]"}, 0},
        {"marker bytes inside a message", "{\"a\":\"" + kHeartbeat + "\"}\n", {"{\"a\":\"" + kHeartbeat + "\"}"}, 0},
        {"text resembling the marker", "\xF0\x9F\x98\x80 hi\n", {"\xF0\x9F\x98\x80 hi"}, 0},
    };
    for (const auto& c : cases) {
        // Whole, and in every split into two pieces.
        for (std::size_t cut = 0; cut < c.bytes.size(); ++cut) {
            SCOPED_TRACE(std::string(c.name) + " cut at " + std::to_string(cut));
            mcp::NetworkFramer framer;
            Lines messages;
            int heartbeats = 0;
            const auto onMessage = [&](std::string m) { messages.push_back(std::move(m)); };
            const auto onHeartbeat = [&](std::string_view frame) {
                EXPECT_EQ(frame, kHeartbeat);
                ++heartbeats;
            };
            framer.feed(std::string_view(c.bytes).substr(0, cut), onMessage, onHeartbeat);
            framer.feed(std::string_view(c.bytes).substr(cut), onMessage, onHeartbeat);
            EXPECT_EQ(messages, c.messages);
            EXPECT_EQ(heartbeats, c.heartbeats);
            EXPECT_EQ(framer.size(), 0u);
        }
    }
    // Every byte value at every place of the timestamp, the frame whole or cut
    // short before the message: a '{' or '[' kept from it starts no message.
    for (int value = 0; value < 256; ++value) {
        for (std::size_t place = 4; place < 10; ++place) {
            std::string frame = kHeartbeat;
            frame[place] = static_cast<char>(value);
            for (std::size_t kept = 4; kept <= frame.size(); ++kept) {
                const std::string bytes = frame.substr(0, kept) + message + "\n";
                for (std::size_t cut : {bytes.size(), kept, kept + 1}) {
                    const auto [messages, heartbeats] = framedInTwo(bytes, cut);
                    ASSERT_EQ(messages, Lines{message}) << value << " at " << place << ", " << kept << " kept";
                    ASSERT_EQ(heartbeats, kept == frame.size() ? Lines{frame} : Lines{});
                }
            }
        }
    }
}

}  // namespace
