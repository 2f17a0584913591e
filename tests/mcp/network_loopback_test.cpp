// The TCP connection and the network transport over real loopback sockets.
#include "mcp/network_transport.hpp"

#include "mcp/network_test_support.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <future>
#include <thread>

namespace {
using namespace networktest;
using mcp::MCPError;
using mcp::NetworkTransport;
using mcp::TcpConnection;
using Lines = std::vector<std::string>;

// Records the states a connection reports and lets the test wait for them.
// The record is shared with the handler, which may still run on the
// connection's thread while the test ends.
class StateLog {
public:
    explicit StateLog(mcp::NetworkConnection& connection) {
        connection.setStateUpdateHandler([shared = shared_](const State& state) {
            {
                std::lock_guard lock(shared->mutex);
                shared->states.push_back(state);
            }
            shared->cv.notify_all();
        });
    }
    // The kinds seen so far, once `count` arrived (or at the time-out).
    std::vector<State::Kind> waitFor(std::size_t count) {
        std::unique_lock lock(shared_->mutex);
        shared_->cv.wait_for(lock, kTimeout, [&] { return shared_->states.size() >= count; });
        std::vector<State::Kind> kinds;
        for (const auto& s : shared_->states) kinds.push_back(s.kind());
        return kinds;
    }

private:
    struct Shared {
        std::mutex mutex;
        std::condition_variable cv;
        std::vector<State> states;
    };
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

using K = State::Kind;

// ---- TcpConnection --------------------------------------------------------------

// ---- NetworkTransport over loopback -----------------------------------------------

TEST(NetworkTransportLoopback, APeerResetLeadsToAReconnectionToTheRelisteningPeer) {
    auto log = std::make_shared<logging::testing::RecordSink>();
    auto listener = std::make_unique<LoopbackListener>();
    const auto port = listener->port();
    auto transport = std::make_shared<NetworkTransport>(std::make_shared<TcpConnection>("127.0.0.1", port),
                                                        networkLogger(log), NetworkTransport::HeartbeatConfiguration::disabled,
                                                        NetworkTransport::ReconnectionConfiguration{true, 5, 1.0});
    auto connecting = std::async(std::launch::async, [&] { transport->connect(); });
    auto first = std::make_unique<RawPeer>(listener->accept());
    ASSERT_EQ(connecting.wait_for(kTimeout), std::future_status::ready);
    connecting.get();

    ASSERT_TRUE(first->write("{\"first\":1}\n"));
    EXPECT_EQ(transport->receive()->nextFor(kTimeout), "{\"first\":1}");

    // The peer goes away with a reset and comes back on the same port.
    listener.reset();
    first->reset();
    LoopbackListener relistening(port);
    RawPeer second(relistening.accept());
    ASSERT_TRUE(log->waitFor("Network transport connected successfully", 2));

    ASSERT_TRUE(second.write("{\"second\":2}\n"));
    EXPECT_EQ(transport->receive()->nextFor(kTimeout), "{\"second\":2}");
    transport->send("{\"after\":3}");
    EXPECT_EQ(second.readLines(1), (Lines{"{\"after\":3}"}));
    EXPECT_EQ(log->count("Network connection lost, attempting reconnection (1/5)..."), 1u);
    EXPECT_EQ(transport->reconnectAttempt(), 0);
    transport->disconnect();
}

}  // namespace
