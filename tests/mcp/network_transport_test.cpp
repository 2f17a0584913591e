// The network transport over a scripted connection: states, log lines,
// heartbeats, sending, receiving and reconnection.
#include "mcp/network_transport.hpp"
#include "mcp/network_framing.hpp"

#include "mcp/network_test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <future>
#include <limits>
#include <thread>

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
        : transport(std::make_shared<NetworkTransport>(connection, log.logger(), heartbeat, reconnection, buffer)) {}

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

    LogRecorder log;
    std::shared_ptr<FakeNetworkConnection> connection = std::make_shared<FakeNetworkConnection>();
    std::shared_ptr<NetworkTransport> transport;
};

// The error a call throws, as the MCPError it must be.
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

// ---- Connecting -----------------------------------------------------------------

TEST(NetworkTransportConnect, LogsEachStateAndReturnsWhenReady) {
    Rig rig;
    rig.connection->scriptStart({State::setup(), State::preparing(), State::ready()});
    rig.transport->connect();

    EXPECT_TRUE(rig.transport->isConnected());
    EXPECT_EQ(rig.log.describe(), (Lines{"debug Connection setup...", "debug Connection preparing...",
                                         "debug Network transport connected successfully"}));
    for (const auto& line : rig.log.lines()) EXPECT_EQ(line.source, "MCP");
    EXPECT_EQ(rig.log.lines().back().function, "handleConnectionReady(continuation:)");

    rig.transport->connect();  // already connected: nothing starts
    EXPECT_EQ(rig.connection->startCount(), 1);
    EXPECT_EQ(rig.log.lines().size(), 3u);
}

TEST(NetworkTransportConnect, StaysSuspendedWhileWaiting) {
    Rig rig;
    rig.connection->scriptStart({State::preparing(), State::waiting(PlatformError::fromErrno(ENETUNREACH))});
    auto connecting = std::async(std::launch::async, [&] { rig.transport->connect(); });
    ASSERT_TRUE(rig.log.waitFor("Connection waiting: Network is unreachable"));
    EXPECT_EQ(connecting.wait_for(0s), std::future_status::timeout);
    EXPECT_FALSE(rig.transport->isConnected());

    rig.connection->deliver(State::ready());
    ASSERT_EQ(connecting.wait_for(kTimeout), std::future_status::ready);
    connecting.get();
    EXPECT_TRUE(rig.transport->isConnected());
}

TEST(NetworkTransportConnect, WarnsAboutAnUnknownState) {
    Rig rig;
    rig.connection->scriptStart({State(static_cast<State::Kind>(42)), State::ready()});
    rig.transport->connect();
    EXPECT_EQ(rig.log.describe(),
              (Lines{"warning Unknown connection state", "debug Network transport connected successfully"}));
}

TEST(NetworkTransportConnect, FailureBeforeReadyThrowsAfterTheBackoffOfAttemptOne) {
    using Reconnection = NetworkTransport::ReconnectionConfiguration;
    const auto refused = State::failed(PlatformError::fromErrno(ECONNREFUSED));
    struct Case {
        const char* name;
        State state;
        Reconnection reconnection;
        Lines lines;
        std::string error;
        bool waits;
    };
    const std::vector<Case> cases = {
        {"failed", refused, Reconnection::defaultConfiguration,
         {"error Connection failed: Connection refused", "debug Attempting reconnection after failure (1/5)..."},
         "Transport error: Connection refused", true},
        // Attempt 1 waits 0.5 s whatever the multiplier.
        {"failed, multiplier 40", refused, Reconnection{true, 2, 40.0},
         {"error Connection failed: Connection refused", "debug Attempting reconnection after failure (1/2)..."},
         "Transport error: Connection refused", true},
        {"failed, disabled", refused, Reconnection::disabled, {"error Connection failed: Connection refused"},
         "Transport error: Connection refused", false},
        {"failed, no attempts", refused, Reconnection{true, 0, 1.5}, {"error Connection failed: Connection refused"},
         "Transport error: Connection refused", false},
        {"cancelled", State::cancelled(), Reconnection::defaultConfiguration,
         {"warning Connection cancelled", "debug Attempting reconnection after cancellation (1/5)..."},
         "Internal error: Connection cancelled", true},
        {"cancelled, disabled", State::cancelled(), Reconnection::disabled, {"warning Connection cancelled"},
         "Internal error: Connection cancelled", false},
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
        EXPECT_EQ(rig.log.describe(), c.lines);
        EXPECT_GE(rig.connection->cancelCount(), 1);
        EXPECT_EQ(rig.connection->state().kind(), State::Kind::cancelled);
        EXPECT_FALSE(rig.transport->isConnected());
        EXPECT_EQ(rig.connection->startCount(), 1);
        if (c.waits) {
            EXPECT_GE(elapsed, 0.45);
        } else {
            EXPECT_LT(elapsed, 0.45);
        }
    }
}

TEST(NetworkTransportConnect, LaterFailedOrCancelledStatesChangeNothing) {
    Rig rig;
    rig.connectReady();
    const auto before = rig.log.lines().size();
    rig.connection->deliver(State::failed(PlatformError::fromErrno(ECONNRESET)));
    rig.connection->deliver(State::cancelled());
    rig.connection->deliver(State::ready());
    EXPECT_TRUE(rig.transport->isConnected());
    EXPECT_EQ(rig.log.lines().size(), before);
    EXPECT_EQ(rig.connection->startCount(), 1);
}

TEST(NetworkTransportConnect, StopTokenAbandonsTheAttempt) {
    Rig rig;
    rig.connection->scriptStart({State::preparing()});
    std::stop_source stop;
    auto connecting = std::async(std::launch::async, [&] { rig.transport->connect(stop.get_token()); });
    ASSERT_TRUE(rig.log.waitFor("Connection preparing..."));
    stop.request_stop();
    ASSERT_EQ(connecting.wait_for(kTimeout), std::future_status::ready);
    EXPECT_THROW(connecting.get(), rt::Cancelled);
    EXPECT_EQ(rig.connection->state().kind(), State::Kind::cancelled);

    // A late ready belongs to no one.
    rig.connection->deliver(State::ready());
    EXPECT_FALSE(rig.transport->isConnected());
}

// ---- Disconnecting --------------------------------------------------------------

TEST(NetworkTransportDisconnect, DoesNothingOnATransportNeverStarted) {
    Rig rig;
    rig.transport->disconnect();
    EXPECT_EQ(rig.connection->cancelCount(), 0);
    EXPECT_TRUE(rig.log.lines().empty());
    EXPECT_FALSE(rig.transport->receive()->isFinished());
}

TEST(NetworkTransportDisconnect, EndsTheStreamAndTheOutstandingReceive) {
    Rig rig;
    rig.connectReady();
    ASSERT_TRUE(rig.connection->waitUntil([&] { return rig.connection->receiveWaiting(); }));
    rig.transport->disconnect();

    EXPECT_EQ(rig.next(), std::nullopt);  // ends without an error
    EXPECT_FALSE(rig.transport->isConnected());
    EXPECT_EQ(rig.connection->state().kind(), State::Kind::cancelled);
    // The receive loop ends on its own thread, so the last two may come in either order.
    auto lines = rig.log.describe();
    ASSERT_EQ(lines.size(), 3u);
    std::sort(lines.begin() + 1, lines.end());
    EXPECT_EQ(lines, (Lines{"debug Network transport connected successfully", "debug Network transport disconnected",
                            "debug Receive loop stopping normally"}));

    rig.transport->disconnect();  // harmless twice
    EXPECT_EQ(rig.log.lines().size(), 3u);
}

TEST(NetworkTransportDisconnect, StopsAConnectThatIsWaiting) {
    Rig rig;
    rig.connection->scriptStart({State::waiting(PlatformError::fromErrno(ENETUNREACH))});
    auto connecting = std::async(std::launch::async, [&] { rig.transport->connect(); });
    ASSERT_TRUE(rig.log.waitFor("Connection waiting: Network is unreachable"));
    rig.transport->disconnect();

    ASSERT_EQ(connecting.wait_for(kTimeout), std::future_status::ready);
    const auto error = mcpErrorOf([&] { connecting.get(); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(std::string(error->what()), "Internal error: Connection cancelled");
    EXPECT_TRUE(rig.transport->receive()->isFinished());
    EXPECT_EQ(rig.log.count("Network transport disconnected"), 1u);
}

TEST(NetworkTransportDisconnect, CutsTheBackoffOfAFailedConnectShort) {
    Rig rig(NetworkTransport::HeartbeatConfiguration::disabled,
            NetworkTransport::ReconnectionConfiguration::defaultConfiguration);
    rig.connection->scriptStart({State::failed(PlatformError::fromErrno(ECONNREFUSED))});
    auto connecting = std::async(std::launch::async, [&] { rig.transport->connect(); });
    ASSERT_TRUE(rig.log.waitFor("Attempting reconnection after failure (1/5)..."));
    rig.transport->disconnect();

    ASSERT_EQ(connecting.wait_for(kTimeout), std::future_status::ready);
    const auto error = mcpErrorOf([&] { connecting.get(); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(std::string(error->what()), "Transport error: Connection refused");
    // Only disconnect() cancelled: the step saw isStopping after its pause.
    EXPECT_EQ(rig.connection->cancelCount(), 1);
    EXPECT_EQ(rig.connection->startCount(), 1);
}

// ---- Sending --------------------------------------------------------------------

TEST(NetworkTransportSend, RefusesWhileNotConnected) {
    Rig rig;
    const auto error = mcpErrorOf([&] { rig.transport->send("{}"); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(std::string(error->what()), "Internal error: Transport not connected");
    EXPECT_TRUE(rig.connection->sent().empty());
}

TEST(NetworkTransportSend, AppendsOneNewline) {
    Rig rig;
    rig.connectReady();
    rig.transport->send("{}");
    rig.transport->send("");
    EXPECT_EQ(rig.connection->sent(), (Lines{"{}\n", "\n"}));
}

TEST(NetworkTransportSend, AnOrdinaryErrorIsReportedWithoutRecovery) {
    Rig rig(NetworkTransport::HeartbeatConfiguration::disabled,
            NetworkTransport::ReconnectionConfiguration::defaultConfiguration);
    rig.connectReady();
    rig.connection->failNextSend(EMSGSIZE);
    const auto error = mcpErrorOf([&] { rig.transport->send("{}"); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(std::string(error->what()), "Internal error: Send error: Message too long");
    EXPECT_EQ(rig.log.describe(Level::info), (Lines{"error Send error: Message too long"}));
    EXPECT_TRUE(rig.transport->isConnected());
    rig.transport->send("{}");
    EXPECT_EQ(rig.connection->sent(), (Lines{"{}\n"}));
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
        EXPECT_EQ(rig.log.describe(Level::info),
                  (Lines{"error Send error: " + description,
                         "warning Connection appears broken, will attempt to reconnect..."}));
        EXPECT_FALSE(rig.transport->isConnected());
        EXPECT_EQ(rig.transport->reconnectAttempt(), 1);
        // The recovery is still in its pause: the rig's end stops it.
    }
}

TEST(NetworkTransportSend, RecoveryReconnectsAfterHalfASecond) {
    Rig rig(NetworkTransport::HeartbeatConfiguration::disabled,
            NetworkTransport::ReconnectionConfiguration::defaultConfiguration);
    rig.connectReady();
    rig.connection->scriptStart({State::preparing(), State::ready()});
    rig.connection->failNextSend(ECONNRESET);
    const auto start = rt::Clock::now();
    EXPECT_TRUE(mcpErrorOf([&] { rig.transport->send("lost"); }).has_value());
    EXPECT_THROW(rig.transport->send("{}"), MCPError);  // not connected meanwhile

    ASSERT_TRUE(rig.log.waitFor("Network transport connected successfully", 2));
    EXPECT_GE(secondsSince(start), 0.45);
    EXPECT_TRUE(rig.transport->isConnected());
    EXPECT_EQ(rig.transport->reconnectAttempt(), 0);
    EXPECT_EQ(rig.connection->startCount(), 2);
    EXPECT_GE(rig.connection->cancelCount(), 1);

    rig.transport->send("again");
    rig.connection->pushChunk("{\"back\":true}\n");
    EXPECT_EQ(rig.next(), "{\"back\":true}");
    EXPECT_EQ(rig.connection->sent(), (Lines{"again\n"}));
    EXPECT_EQ(rig.connection->heartbeatsSent(), 0u);  // heartbeats are off
}

// ---- Heartbeats -----------------------------------------------------------------

TEST(NetworkTransportHeartbeat, SendsBareFramesAfterTheFirstSecond) {
    Rig rig(NetworkTransport::HeartbeatConfiguration{true, 0.02});
    const auto before = NetworkTransport::Heartbeat::currentTimestamp();
    const auto start = rt::Clock::now();
    rig.connectReady();
    ASSERT_TRUE(rig.connection->waitUntil([&] { return rig.connection->sent().size() >= 3; }));
    EXPECT_GE(secondsSince(start), 0.9);

    for (const auto& frame : rig.connection->sent()) {
        ASSERT_EQ(frame.size(), 12u);
        const auto heartbeat = NetworkTransport::Heartbeat::fromData(frame);
        ASSERT_TRUE(heartbeat.has_value());
        EXPECT_GE(heartbeat->timestamp(), before - 0.001);
        EXPECT_LE(heartbeat->timestamp(), NetworkTransport::Heartbeat::currentTimestamp());
    }
    ASSERT_TRUE(rig.log.waitFor("Heartbeat sent", 3));
    EXPECT_TRUE(rig.transport->lastHeartbeatTime().has_value());
    EXPECT_EQ(rig.log.lines().back().level, Level::trace);
}

TEST(NetworkTransportHeartbeat, AFailedHeartbeatIsLogged) {
    Rig rig(NetworkTransport::HeartbeatConfiguration{true, 0.02});
    rig.connection->failNextSend(EIO);
    rig.connectReady();
    ASSERT_TRUE(rig.log.waitFor("Heartbeat failed: Input/output error"));
    EXPECT_FALSE(rig.transport->lastHeartbeatTime().has_value());
    EXPECT_TRUE(rig.transport->isConnected());
    // A clean disconnect stops the heartbeats without a warning.
    ASSERT_TRUE(rig.connection->waitUntil([&] { return rig.transport->lastHeartbeatTime().has_value(); }));
    rig.transport->disconnect();
    EXPECT_EQ(rig.log.count("Heartbeat failed: Cancelled"), 0u);
    EXPECT_EQ(rig.log.count("Heartbeat failed: " + PlatformError::fromErrno(ECANCELED).localizedDescription()), 0u);
}

// ---- Receiving ------------------------------------------------------------------

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
        Lines sizes;
        for (const auto& line : rig.log.lines()) {
            if (line.message != "Message received") continue;
            ASSERT_TRUE(line.metadata.has_value());
            sizes.push_back(line.metadata->at("size").description());
        }
        Lines expected;
        for (const auto& m : c.messages) expected.push_back(std::to_string(m.size()));
        expected.push_back("3");  // END
        EXPECT_EQ(sizes, expected);
    }
}

TEST(NetworkTransportReceive, HeartbeatsBetweenMessagesAreDroppedUnderEveryChunking) {
    // Heartbeats before, between and after messages, and the magic bytes inside one.
    const std::string inner = "{\"text\":\"x\xF0\x9F\x92\x93yyyyyyyyyy\"}";
    const std::string bytes = kHeartbeat + "A\n" + kHeartbeat + inner + "\n" + kHeartbeat + kHeartbeat + "\n" +
                              "C\r\n" + kHeartbeat;
    const Lines expected{"A", inner, "C\r"};
    constexpr std::size_t heartbeatsPerRound = 5;

    Rig rig;
    rig.connectReady();
    std::size_t rounds = 0;
    const auto check = [&](const Lines& chunks) {
        ++rounds;
        ASSERT_EQ(rig.receiveThrough(chunks), expected);
    };
    for (std::size_t cut = 1; cut < bytes.size(); ++cut) check({bytes.substr(0, cut), bytes.substr(cut)});
    for (std::size_t a = 1; a < bytes.size(); a += 3) {
        for (std::size_t b = a + 1; b < bytes.size(); b += 2) {
            check({bytes.substr(0, a), bytes.substr(a, b - a), bytes.substr(b)});
        }
    }
    Lines single;
    for (char c : bytes) single.emplace_back(1, c);
    check(single);

    EXPECT_EQ(rig.log.count("Received heartbeat from peer"), rounds * heartbeatsPerRound);
    EXPECT_EQ(rig.log.count("Heartbeat timestamp: 2001-01-01 00:00:01 +0000"), rounds * heartbeatsPerRound);
}

TEST(NetworkTransportReceive, AHeartbeatFrameIsLoggedOnlyWhenWhole) {
    Rig rig;
    rig.connectReady();
    rig.connection->pushChunk(kHeartbeat.substr(0, 4));
    rig.connection->pushChunk(kHeartbeat.substr(4) + "{}\n");
    EXPECT_EQ(rig.next(), "{}");
    EXPECT_EQ(rig.log.describe(), (Lines{"debug Network transport connected successfully",
                                         "trace Received heartbeat from peer",
                                         "trace Heartbeat timestamp: 2001-01-01 00:00:01 +0000",
                                         "debug Message received"}));
}

TEST(NetworkTransportReceive, PassesTheReceiveLimitToTheConnection) {
    using Buffer = NetworkTransport::BufferConfiguration;
    const std::vector<std::pair<Buffer, std::int64_t>> cases = {
        {Buffer::defaultConfiguration, 10485760},
        {Buffer::unlimited, std::numeric_limits<std::int64_t>::max()},
        {Buffer{4}, 4},
        {Buffer{0}, 1},
        {Buffer{-7}, 1},
    };
    for (const auto& [buffer, maximum] : cases) {
        SCOPED_TRACE(maximum);
        Rig rig(NetworkTransport::HeartbeatConfiguration::disabled,
                NetworkTransport::ReconnectionConfiguration::disabled, buffer);
        rig.connectReady();
        ASSERT_TRUE(rig.connection->waitUntil([&] { return rig.connection->receiveWaiting(); }));
        EXPECT_EQ(rig.connection->receiveMaximums().front(), maximum);
    }
}

TEST(NetworkTransportReceive, WarnsAfterFiveEmptyReadsAndLeavesWhenNotReady) {
    Rig rig;
    rig.connectReady();
    for (int i = 0; i < 4; ++i) rig.connection->pushEmpty();
    EXPECT_EQ(rig.receiveThrough({"A\n"}), (Lines{"A"}));
    EXPECT_EQ(rig.log.describe(Level::warning), Lines{});

    for (int i = 0; i < 6; ++i) rig.connection->pushEmpty();
    EXPECT_EQ(rig.receiveThrough({}), Lines{});
    EXPECT_EQ(rig.log.describe(Level::warning),
              (Lines{"warning Multiple consecutive empty reads (5), possible connection issue",
                     "warning Multiple consecutive empty reads (6), possible connection issue"}));

    // A heartbeat counts as a non-empty chunk and sets the count back.
    for (int i = 0; i < 4; ++i) rig.connection->pushEmpty();
    rig.connection->pushChunk(kHeartbeat);
    for (int i = 0; i < 4; ++i) rig.connection->pushEmpty();
    EXPECT_EQ(rig.receiveThrough({}), Lines{});
    EXPECT_EQ(rig.log.describe(Level::warning).size(), 2u);

    rig.connection->deliver(State::failed(PlatformError::fromErrno(ECONNRESET)));  // ignored after ready
    for (int i = 0; i < 5; ++i) rig.connection->pushEmpty();
    ASSERT_TRUE(rig.log.waitFor("Connection no longer ready, exiting receive loop"));
    EXPECT_EQ(rig.log.describe(Level::warning).size(), 4u);
    EXPECT_EQ(rig.log.describe(Level::warning)[2],
              "warning Multiple consecutive empty reads (5), possible connection issue");
    // Not left silent and open: the stream ends with an error, sends fail.
    const auto error = mcpErrorOf([&] { rig.next(); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), MCPError::Kind::ConnectionClosed);
    EXPECT_FALSE(rig.transport->isConnected());
    EXPECT_TRUE(mcpErrorOf([&] { rig.transport->send("x"); }).has_value());
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
    EXPECT_EQ(rig.log.describe(Level::trace).back(), "error Receive error: [-32000] Connection closed");
    EXPECT_EQ(rig.log.count("Connection completed by peer"), 1u);
    EXPECT_FALSE(rig.transport->isConnected());
    EXPECT_TRUE(mcpErrorOf([&] { rig.transport->send("x"); }).has_value());
}

TEST(NetworkTransportReceive, AnOrdinaryNetworkErrorIsRetriedKeepingPendingBytes) {
    Rig rig;
    rig.connectReady();
    rig.connection->pushChunk("{\"a\":");
    rig.connection->pushError(EIO);
    rig.connection->pushError(ECANCELED);
    rig.connection->pushChunk("1}\n");
    EXPECT_EQ(rig.next(), "{\"a\":1}");
    const auto lines = rig.log.lines();
    std::vector<std::string> errors;
    for (const auto& line : lines) {
        if (line.message != "Network error occurred") continue;
        EXPECT_EQ(line.level, Level::error);
        errors.push_back(line.metadata->at("error").description());
    }
    EXPECT_EQ(errors, (Lines{PlatformError::fromErrno(EIO).debugDescription(),
                             PlatformError::fromErrno(ECANCELED).debugDescription()}));
    EXPECT_FALSE(rig.transport->receive()->isFinished());
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
        EXPECT_EQ(rig.log.describe(Level::info), (Lines{"error Network error occurred"}));
        EXPECT_FALSE(rig.transport->isConnected());
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
}

TEST(NetworkTransportReceive, AMessageBeyondTheLimitIsAReceiveFailure) {
    NetworkTransport::BufferConfiguration buffer;
    buffer.maxMessageSize = 8;
    Rig rig(NetworkTransport::HeartbeatConfiguration::disabled, NetworkTransport::ReconnectionConfiguration::disabled,
            buffer);
    rig.connectReady();
    EXPECT_EQ(rig.receiveThrough({"0123", "4567", "\n"}), (Lines{"01234567"}));  // at the limit
    rig.connection->pushChunk("012345678");
    const auto error = mcpErrorOf([&] { rig.next(); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(std::string(error->what()), "Internal error: Received message exceeds the limit of 8 bytes");
    EXPECT_EQ(rig.log.describe(Level::info),
              (Lines{"error Receive error: [-32603] Internal error: Received message exceeds the limit of 8 bytes"}));
}

// ---- Reconnection ---------------------------------------------------------------

TEST(NetworkTransportReconnect, ALostConnectionIsReopenedAndTheStreamGoesOn) {
    Rig rig(NetworkTransport::HeartbeatConfiguration::disabled,
            NetworkTransport::ReconnectionConfiguration::defaultConfiguration);
    rig.connectReady();
    rig.connection->scriptStart({State::preparing(), State::ready()});
    rig.connection->pushChunk("A\nhalf");
    rig.connection->pushError(ECONNRESET);
    EXPECT_EQ(rig.next(), "A");
    ASSERT_TRUE(rig.log.waitFor("Network transport connected successfully", 2));

    rig.connection->pushChunk("B\n");
    EXPECT_EQ(rig.next(), "B");  // the unfinished "half" was lost with the old connection
    EXPECT_EQ(rig.log.describe(Level::debug),
              (Lines{"debug Network transport connected successfully", "debug Message received",
                     "error Network error occurred",
                     "warning Network connection lost, attempting reconnection (1/5)...",
                     "debug Connection preparing...", "debug Network transport connected successfully",
                     "debug Message received"}));
    EXPECT_EQ(rig.transport->reconnectAttempt(), 0);
    EXPECT_EQ(rig.connection->startCount(), 2);
}

TEST(NetworkTransportReconnect, AnotherReceiveFailureAlsoReconnects) {
    Rig rig(NetworkTransport::HeartbeatConfiguration::disabled,
            NetworkTransport::ReconnectionConfiguration::defaultConfiguration);
    rig.connectReady();
    rig.connection->scriptStart({State::ready()});
    rig.connection->pushEnd();
    ASSERT_TRUE(rig.log.waitFor("Network transport connected successfully", 2));
    EXPECT_EQ(rig.log.describe(Level::info),
              (Lines{"error Receive error: [-32000] Connection closed",
                     "warning Error during receive, attempting reconnection (1/5)..."}));
    rig.connection->pushChunk("B\n");
    EXPECT_EQ(rig.next(), "B");
}

TEST(NetworkTransportReconnect, AttemptsAreCountedUntilTheStreamEndsWithTheLastError) {
    Rig rig(NetworkTransport::HeartbeatConfiguration::disabled,
            NetworkTransport::ReconnectionConfiguration{true, 3, 0.01});
    rig.connectReady();
    for (int i = 0; i < 3; ++i) rig.connection->scriptStart({State::failed(PlatformError::fromErrno(ECONNREFUSED))});
    rig.connection->pushChunk("A\n");
    rig.connection->pushError(ECONNRESET);

    EXPECT_EQ(rig.next(), "A");
    const auto error = mcpErrorOf([&] { rig.next(); });
    ASSERT_TRUE(error.has_value());
    ASSERT_EQ(error->kind(), MCPError::Kind::TransportError);
    EXPECT_EQ(error->underlying()->code(), ECONNREFUSED);

    EXPECT_EQ(rig.log.describe(Level::debug),
              (Lines{"debug Network transport connected successfully", "debug Message received",
                     "error Network error occurred",
                     "warning Network connection lost, attempting reconnection (1/3)...",
                     "error Connection failed: Connection refused",
                     "debug Attempting reconnection after failure (2/3)...",
                     "error Connection failed: Connection refused",
                     "debug Attempting reconnection after failure (3/3)...",
                     "error Connection failed: Connection refused"}));
    EXPECT_EQ(rig.connection->startCount(), 4);
    EXPECT_EQ(rig.connection->state().kind(), State::Kind::cancelled);
    EXPECT_FALSE(rig.transport->isConnected());

    // A later connect() starts afresh.
    rig.connectReady();
    EXPECT_TRUE(rig.transport->isConnected());
    EXPECT_EQ(rig.transport->reconnectAttempt(), 0);
}

TEST(NetworkTransportReconnect, DisconnectDuringThePauseStopsIt) {
    Rig rig(NetworkTransport::HeartbeatConfiguration::disabled,
            NetworkTransport::ReconnectionConfiguration::defaultConfiguration);
    rig.connectReady();
    rig.connection->pushError(ECONNRESET);
    ASSERT_TRUE(rig.log.waitFor("Network connection lost, attempting reconnection (1/5)..."));
    rig.transport->disconnect();

    EXPECT_EQ(rig.next(), std::nullopt);
    EXPECT_EQ(rig.connection->startCount(), 1);
    EXPECT_EQ(rig.connection->cancelCount(), 1);
    EXPECT_EQ(rig.log.describe(Level::info),
              (Lines{"error Network error occurred",
                     "warning Network connection lost, attempting reconnection (1/5)..."}));
}

TEST(NetworkTransportReconnect, AConnectWaitsForTheRecoveryInProgress) {
    Rig rig(NetworkTransport::HeartbeatConfiguration::disabled,
            NetworkTransport::ReconnectionConfiguration::defaultConfiguration);
    rig.connectReady();
    rig.connection->scriptStart({State::ready()});
    rig.connection->pushError(ECONNRESET);
    ASSERT_TRUE(rig.log.waitFor("Network connection lost, attempting reconnection (1/5)..."));
    rig.transport->connect();  // returns with the recovered connection, starts nothing itself
    EXPECT_TRUE(rig.transport->isConnected());
    EXPECT_EQ(rig.connection->startCount(), 2);
}

TEST(NetworkTransportReconnect, SendAndReceiveSeeingTheLossStartOneRecovery) {
    Rig rig(NetworkTransport::HeartbeatConfiguration::disabled,
            NetworkTransport::ReconnectionConfiguration::defaultConfiguration);
    rig.connectReady();
    rig.connection->scriptStart({State::ready()});
    rig.connection->failNextSend(EPIPE);
    rig.connection->pushError(ECONNRESET);
    EXPECT_THROW(rig.transport->send("{}"), MCPError);
    ASSERT_TRUE(rig.log.waitFor("Network transport connected successfully", 2));

    rig.connection->pushChunk("B\n");
    EXPECT_EQ(rig.next(), "B");
    EXPECT_EQ(rig.connection->startCount(), 2);
    EXPECT_EQ(rig.log.count("Network connection lost, attempting reconnection (1/5)...") +
                  rig.log.count("Connection appears broken, will attempt to reconnect..."),
              1u);
}

TEST(NetworkTransportLifecycle, WithoutALoggerEveryLineIsDiscarded) {
    auto connection = std::make_shared<FakeNetworkConnection>();
    NetworkTransport transport(connection);
    EXPECT_EQ(transport.logger().label(), "mcp.transport.network");
    EXPECT_EQ(transport.logger().logLevel(), Level::critical);
    EXPECT_EQ(transport.heartbeatConfig(), NetworkTransport::HeartbeatConfiguration::defaultConfiguration);
    EXPECT_EQ(transport.reconnectionConfig(), NetworkTransport::ReconnectionConfiguration::defaultConfiguration);
    EXPECT_EQ(transport.bufferConfig(), NetworkTransport::BufferConfiguration::defaultConfiguration);
    EXPECT_EQ(transport.receive(), transport.receive());
    EXPECT_EQ(connection->startCount(), 0);  // construction touches nothing
}

TEST(NetworkTransportLifecycle, DestructionStopsEveryTaskButLeavesTheConnection) {
    auto log = std::make_unique<LogRecorder>();
    auto connection = std::make_shared<FakeNetworkConnection>();
    auto transport = std::make_shared<NetworkTransport>(
        connection, log->logger(), NetworkTransport::HeartbeatConfiguration{true, 0.02},
        NetworkTransport::ReconnectionConfiguration::defaultConfiguration);
    connection->scriptStart({State::ready()});
    transport->connect();
    auto stream = transport->receive();
    ASSERT_TRUE(connection->waitUntil([&] { return connection->receiveWaiting(); }));

    transport.reset();
    EXPECT_EQ(connection->cancelCount(), 0);
    EXPECT_FALSE(stream->isFinished());
    // Nothing of the transport runs any more: the connection's states reach no one.
    const auto lines = log->lines().size();
    connection->deliver(State::setup());
    EXPECT_EQ(log->lines().size(), lines);
}

// A connection that notes the thread it is destroyed on.
class NotingConnection final : public mcp::NetworkConnection {
public:
    explicit NotingConnection(std::shared_ptr<rt::OneShot<std::thread::id>> destroyedOn)
        : destroyedOn_(std::move(destroyedOn)) {}
    ~NotingConnection() override { destroyedOn_->resume(std::this_thread::get_id()); }

    // Hands the state to the handler on this thread, as a connection does.
    void deliver(const State& state) {
        StateUpdateHandler handler;
        {
            std::lock_guard lock(mutex_);
            handler = handler_;
        }
        if (handler) handler(state);
    }

    State state() const override { return State::setup(); }
    StateUpdateHandler stateUpdateHandler() const override {
        std::lock_guard lock(mutex_);
        return handler_;
    }
    void setStateUpdateHandler(StateUpdateHandler handler) override {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
    }
    void start() override { started.resume({}); }
    void cancel() override {}
    std::optional<PlatformError> send(std::string_view, bool, std::stop_token) override { return std::nullopt; }

    rt::OneShot<std::monostate> started;
    ReceiveResult receive(std::size_t, std::int64_t, std::stop_token) override { return {std::nullopt, true, {}}; }

private:
    std::shared_ptr<rt::OneShot<std::thread::id>> destroyedOn_;
    mutable std::mutex mutex_;
    StateUpdateHandler handler_;
};

// Holds the line "Connection setup..." until released, and so the delivery
// that writes it.
class HoldingHandler final : public logging::LogHandler {
public:
    struct Gates {
        rt::OneShot<std::monostate> entered;
        rt::OneShot<std::monostate> release;
    };
    explicit HoldingHandler(std::shared_ptr<Gates> gates) : gates_(std::move(gates)) {}
    std::unique_ptr<LogHandler> clone() const override { return std::make_unique<HoldingHandler>(*this); }

    using LogHandler::log;
    void log(Level, const logging::Logger::Message& message, const std::optional<logging::Logger::Metadata>&,
             std::string_view, std::string_view, std::string_view, std::int64_t) const override {
        if (message.value != "Connection setup...") return;
        gates_->entered.resume({});
        gates_->release.waitFor(kTimeout);
    }
    std::optional<logging::Logger::MetadataValue> metadataItem(std::string_view) const override {
        return std::nullopt;
    }
    void setMetadataItem(const std::string&, std::optional<logging::Logger::MetadataValue>) override {}
    logging::Logger::Metadata metadata() const override { return {}; }
    void setMetadata(logging::Logger::Metadata) override {}
    Level logLevel() const override { return Level::trace; }
    void setLogLevel(Level) override {}

private:
    std::shared_ptr<Gates> gates_;
};

TEST(NetworkTransportLifecycle, AConnectionOwnedByTheTransportIsNeverDestroyedOnItsDeliveringThread) {
    auto destroyedOn = std::make_shared<rt::OneShot<std::thread::id>>();
    auto gates = std::make_shared<HoldingHandler::Gates>();
    auto owned = std::make_shared<NotingConnection>(destroyedOn);
    NotingConnection* connection = owned.get();
    auto transport = std::make_unique<NetworkTransport>(
        std::move(owned),
        logging::Logger("test", logging::Logger::OneArgFactory([gates](const std::string&) {
                            return logging::AnyLogHandler(HoldingHandler(gates));
                        })),
        NetworkTransport::HeartbeatConfiguration::disabled, NetworkTransport::ReconnectionConfiguration::disabled);
    // connect() installs the transport's handler; the connection never reports.
    std::stop_source abandon;
    auto connecting = std::async(std::launch::async, [&] {
        try {
            transport->connect(abandon.get_token());
        } catch (...) {
        }
    });
    connection->started.waitFor(kTimeout);
    abandon.request_stop();
    ASSERT_EQ(connecting.wait_for(kTimeout), std::future_status::ready);

    // A delivery is under way on its own thread when the transport goes.
    std::thread::id deliveringThread;
    auto delivering = std::async(std::launch::async, [&] {
        deliveringThread = std::this_thread::get_id();
        connection->deliver(State::setup());
    });
    gates->entered.waitFor(kTimeout);
    auto destroying = std::async(std::launch::async, [&] {
        transport.reset();
        return std::this_thread::get_id();
    });
    // The destruction waits for the delivery rather than leaving the connection to it.
    EXPECT_EQ(destroying.wait_for(200ms), std::future_status::timeout);
    gates->release.resume({});
    ASSERT_EQ(delivering.wait_for(kTimeout), std::future_status::ready);
    ASSERT_EQ(destroying.wait_for(kTimeout), std::future_status::ready);
    const auto destroyer = destroying.get();
    EXPECT_EQ(destroyedOn->waitFor(kTimeout), destroyer);
    EXPECT_NE(destroyer, deliveringThread);
}

}  // namespace
