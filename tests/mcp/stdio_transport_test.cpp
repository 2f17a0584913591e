#include "mcp/stdio_transport.hpp"

#include "logging/recording_handler.hpp"
#include "mcp/error.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using mcp::MCPError;
using mcp::StdioTransport;

constexpr auto kTimeout = 10s;

struct Pipe {
    int readEnd = -1;
    int writeEnd = -1;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
        readEnd = fds[0];
        writeEnd = fds[1];
    }
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    void closeRead() {
        if (readEnd >= 0) ::close(readEnd);
        readEnd = -1;
    }
    void closeWrite() {
        if (writeEnd >= 0) ::close(writeEnd);
        writeEnd = -1;
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
};

void writeAllTo(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        ASSERT_GT(n, 0) << "write failed: errno " << errno;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

int bytesQueued(int fd) {
    int n = 0;
    ::ioctl(fd, FIONREAD, &n);
    return n;
}

// Polls an observable condition (bounded in time): the reader thread gives no
// other signal that it has taken the bytes out of a pipe.
template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Reads exactly `count` bytes from fd (which may be non-blocking), in reads of
// at most `chunk` bytes, bounded by kTimeout.
std::string readExactly(int fd, std::size_t count, std::size_t chunk = 65536) {
    std::string out;
    out.reserve(count);
    std::vector<char> buffer(chunk);
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = ::read(fd, buffer.data(), std::min(chunk, count - out.size()));
        if (n > 0) out.append(buffer.data(), static_cast<std::size_t>(n));
        if (n == 0) break;
    }
    return out;
}

constexpr std::string_view kTooLarge =
    R"({"error":{"code":-32600,"data":{"detail":"Message too large"},"message":"Invalid Request: Message too large"},"id":null,"jsonrpc":"2.0"})"
    "\n";

int errnoOf(const MCPError& error) {
    return error.underlying() ? static_cast<int>(error.underlying()->code()) : 0;
}

bool isNonBlocking(int fd) { return (::fcntl(fd, F_GETFL) & O_NONBLOCK) != 0; }

logging::Logger recordingLogger(std::shared_ptr<logging::testing::RecordSink> sink) {
    return logging::Logger("test.stdio", logging::Logger::OneArgFactory([sink](const std::string&) {
                               return logging::AnyLogHandler(logging::testing::RecordingHandler(
                                   sink, "h", logging::Logger::Level::trace));
                           }));
}

std::vector<std::string> messagesOf(const std::vector<logging::testing::Record>& records) {
    std::vector<std::string> out;
    for (const auto& r : records) out.push_back(r.message);
    return out;
}

TEST(FirstNewlineIndex, FindsTheFirstNewlineAtOrAfterTheStart) {
    struct Case {
        std::string_view buffer;
        std::size_t from;
        std::optional<std::size_t> expected;
    };
    const Case cases[] = {
        {"", 0, std::nullopt},       {"abc", 0, std::nullopt}, {"\n", 0, 0},  {"ab\ncd\n", 0, 2},
        {"ab\ncd\n", 3, 5},          {"ab\ncd\n", 6, std::nullopt}, {"ab\ncd\n", 99, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mcp::firstNewlineIndex(c.buffer, c.from), c.expected) << c.buffer << " from " << c.from;
    }
}

// Each chunk is written only after the reader has taken the previous one, so a
// line really arrives over several reads.
TEST(StdioTransport, DeliversEachNonEmptyLineWhateverTheReadBoundaries) {
    struct Case {
        const char* name;
        std::vector<std::string> chunks;
        std::vector<std::string> expected;
        std::size_t limit = std::size_t{64} << 20;
        int refused = 0;  // lines over the limit, each answered with an error
    };
    const std::string longLine(200000, 'x');
    const std::vector<Case> cases = {
        {"several lines in one read", {"{\"a\":1}\n{\"b\":2}\n[3]\n"}, {"{\"a\":1}", "{\"b\":2}", "[3]"}},
        {"a line over three reads", {"{\"a\"", ":1", "}\n"}, {"{\"a\":1}"}},
        {"newline arrives alone", {"abc", "\n", "def\nghi", "\n"}, {"abc", "def", "ghi"}},
        {"blank lines skipped", {"\n\n", "\nabc\n\n"}, {"abc"}},
        {"carriage return kept", {"abc\r\n", "\r\n"}, {"abc\r"}},
        {"whitespace-only lines skipped", {" \t \n", "  ", "\r\n{}\n \t"}, {"{}"}},
        {"unterminated tail delivered at end of input", {"first\n", "abc"}, {"first", "abc"}},
        {"overlong lines skipped to their newline", {"12345678\n12", "3456789", "0\nabc\n123456789\nxy"}, {"12345678", "abc", "xy"}, 8, 2},
        {"overlong tail at end of input", {"ok\n", "123456789"}, {"ok"}, 8, 1},
        {"long line across many reads", {longLine.substr(0, 70000), longLine.substr(70000) + "\n"}, {longLine}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Pipe in, out;
        StdioTransport transport(in.readEnd, out.writeEnd, std::nullopt, c.limit);
        transport.connect();
        auto stream = transport.receive();
        for (const auto& chunk : c.chunks) {
            writeAllTo(in.writeEnd, chunk);
            ASSERT_TRUE(eventually([&] { return bytesQueued(in.readEnd) == 0; }));
        }
        in.closeWrite();
        for (const auto& expected : c.expected) {
            auto message = stream->nextFor(kTimeout);
            ASSERT_TRUE(message.has_value());
            EXPECT_EQ(*message, expected);
        }
        EXPECT_EQ(stream->nextFor(kTimeout), std::nullopt) << "the stream ends normally at end of input";
        // End of input leaves the transport connected and able to send.
        EXPECT_TRUE(transport.isConnected());
        transport.send("{}");
        std::string written;
        for (int i = 0; i < c.refused; ++i) written += kTooLarge;
        written += "{}\n";
        EXPECT_EQ(readExactly(out.readEnd, written.size()), written);
        transport.disconnect();
    }
}

TEST(StdioTransport, AFailedWriteEndsTheStreamAndDropsWhatWaits) {
    struct Case {
        const char* name;
        int expectedErrno;
    };
    for (const Case& c : {Case{"reader gone", EPIPE}, Case{"device full", ENOSPC}}) {
        SCOPED_TRACE(c.name);
        Pipe in, out;
        const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
        ASSERT_GE(full, 0);
        if (c.expectedErrno == EPIPE) out.closeRead();
        StdioTransport transport(in.readEnd, c.expectedErrno == EPIPE ? out.writeEnd : full);
        transport.connect();
        auto stream = transport.receive();
        writeAllTo(in.writeEnd, "a\nb\n");
        ASSERT_TRUE(eventually([&] { return stream->size() == 2; }));
        transport.send("{}");  // held back while input waits: the write fails at the flush
        for (int attempt = 0; attempt < 2; ++attempt) {
            try {
                if (attempt == 0) transport.flush();
                else transport.send("{}");
                ADD_FAILURE() << "written";
            } catch (const MCPError& e) {
                EXPECT_EQ(errnoOf(e), c.expectedErrno);
            }
        }
        EXPECT_EQ(transport.outputError(), c.expectedErrno);
        EXPECT_THROW(stream->nextFor(kTimeout), MCPError) << "nothing queued is handed out any more";
        transport.disconnect();
        ::close(full);
    }
}

TEST(StdioTransport, AnswersGatherWhileInputWaitsAndLeaveTogether) {
    Pipe in, out;
    StdioTransport transport(in.readEnd, out.writeEnd);
    transport.connect();
    auto stream = transport.receive();
    transport.send("lone");
    EXPECT_EQ(readExactly(out.readEnd, 5), "lone\n") << "nothing waits: written at once";

    writeAllTo(in.writeEnd, "r1\nr2\n");
    ASSERT_TRUE(eventually([&] { return stream->size() == 2; }));
    transport.send("a1");
    transport.send("a2");
    EXPECT_EQ(bytesQueued(out.readEnd), 0) << "held while input waits";
    const std::string big(StdioTransport::kCoalesceLimit, 'x');
    transport.send(big);  // past the limit: everything held leaves with it, in order
    EXPECT_EQ(readExactly(out.readEnd, 6 + big.size() + 1), "a1\na2\n" + big + "\n");
    transport.send("a3");
    transport.flush();
    EXPECT_EQ(readExactly(out.readEnd, 3), "a3\n");
    transport.disconnect();
}

TEST(StdioTransport, LogsItsEventsThroughTheGivenLogger) {
    auto sink = std::make_shared<logging::testing::RecordSink>();
    Pipe in, out;
    {
        StdioTransport transport(in.readEnd, out.writeEnd, recordingLogger(sink));
        EXPECT_EQ(transport.logger().label(), "test.stdio");
        transport.connect();
        writeAllTo(in.writeEnd, "abcd\n \t");
        in.closeWrite();
        auto stream = transport.receive();
        EXPECT_EQ(stream->nextFor(kTimeout), "abcd");
        EXPECT_EQ(stream->nextFor(kTimeout), std::nullopt);
        transport.disconnect();
    }
    const auto records = sink->snapshot();
    EXPECT_EQ(messagesOf(records), (std::vector<std::string>{"Transport connected successfully", "Message received",
                                                             "EOF received", "Transport disconnected"}));
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[1].level, logging::Logger::Level::trace);
    EXPECT_EQ(records[1].metadata->at("size").description(), "4");
    EXPECT_EQ(records[2].level, logging::Logger::Level::notice);
    for (const auto& r : records) {
        EXPECT_EQ(r.source, "MCP");
        EXPECT_EQ(r.file, "MCP/StdioTransport");
    }
}

TEST(StdioTransport, ReadErrorEndsTheStreamNormallyAndIsLogged) {
    auto sink = std::make_shared<logging::testing::RecordSink>();
    const int directory = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(directory, 0);
    Pipe out;
    {
        StdioTransport transport(directory, out.writeEnd, recordingLogger(sink));
        transport.connect();
        EXPECT_EQ(transport.receive()->nextFor(kTimeout), std::nullopt);
        EXPECT_TRUE(transport.isConnected());
    }
    ::close(directory);
    bool logged = false;
    for (const auto& r : sink->snapshot()) {
        if (r.message != "Read error occurred") continue;
        logged = true;
        EXPECT_EQ(r.level, logging::Logger::Level::error);
        EXPECT_EQ(r.metadata->at("error").description(), mcp::PlatformError::fromErrno(EISDIR).localizedDescription());
    }
    EXPECT_TRUE(logged);
}

TEST(StdioTransport, SendFramesEachMessageWithOneNewline) {
    Pipe in, out;
    StdioTransport transport(in.readEnd, out.writeEnd);
    try {
        transport.send("{}");
        FAIL() << "send before connect must fail";
    } catch (const MCPError& e) {
        EXPECT_EQ(e.kind(), MCPError::Kind::TransportError);
        EXPECT_EQ(errnoOf(e), ENOTCONN);
    }
    EXPECT_EQ(bytesQueued(out.readEnd), 0);

    transport.connect();
    transport.send("");
    transport.send("{\"a\":\"b/c\"}");
    transport.send("x\ny");  // not inspected
    EXPECT_EQ(readExactly(out.readEnd, 17), "\n{\"a\":\"b/c\"}\nx\ny\n");
}

TEST(StdioTransport, ConnectAndDisconnectAreIdempotent) {
    Pipe in, out;
    StdioTransport transport(in.readEnd, out.writeEnd);
    EXPECT_EQ(transport.logger().label(), "mcp.transport.stdio");
    EXPECT_EQ(transport.logger().logLevel(), logging::Logger::Level::critical) << "records are discarded";
    auto stream = transport.receive();
    EXPECT_EQ(transport.receive(), stream) << "the same stream on every call";
    transport.disconnect();  // never connected: nothing happens
    EXPECT_FALSE(stream->isFinished());
    transport.connect();
    transport.connect();
    writeAllTo(in.writeEnd, "one\n");
    EXPECT_EQ(stream->nextFor(kTimeout), "one") << "one reader, not two";
    transport.disconnect();
    transport.disconnect();
    EXPECT_FALSE(transport.isConnected());
    EXPECT_EQ(stream->nextFor(kTimeout), std::nullopt) << "disconnect finishes the stream";
    try {
        transport.send("{}");
        FAIL() << "send after disconnect must fail";
    } catch (const MCPError& e) {
        EXPECT_EQ(errnoOf(e), ENOTCONN);
    }
}

TEST(StdioTransport, RestoresBlockingModeAtDisconnectButKeepsAModeItFound) {
    Pipe in, out;
    ASSERT_EQ(::fcntl(out.writeEnd, F_SETFL, ::fcntl(out.writeEnd, F_GETFL) | O_NONBLOCK), 0);
    {
        StdioTransport transport(in.readEnd, out.writeEnd);
        EXPECT_FALSE(isNonBlocking(in.readEnd));
        transport.connect();
        EXPECT_TRUE(isNonBlocking(in.readEnd));
        EXPECT_TRUE(isNonBlocking(out.writeEnd));
        transport.disconnect();
        EXPECT_FALSE(isNonBlocking(in.readEnd));
        EXPECT_TRUE(isNonBlocking(out.writeEnd)) << "it was non-blocking before";

        transport.connect();  // works again, though the stream stays finished
        EXPECT_TRUE(isNonBlocking(in.readEnd));
        transport.send("again");
        EXPECT_EQ(readExactly(out.readEnd, 6), "again\n");
    }
    EXPECT_FALSE(isNonBlocking(in.readEnd)) << "destruction disconnects";
}

// The flag belongs to the open pipe, which a forked child shares: a child that
// exits while connected must leave it blocking for the parent.
TEST(StdioTransport, RestoresBlockingModeAtExit) {
    Pipe in, out;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto* transport = new StdioTransport(in.readEnd, out.writeEnd);  // never destroyed
        transport->connect();
        std::exit(isNonBlocking(in.readEnd) && isNonBlocking(out.writeEnd) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child was not switched to non-blocking mode";
    EXPECT_FALSE(isNonBlocking(in.readEnd));
    EXPECT_FALSE(isNonBlocking(out.writeEnd));
}

TEST(StdioTransport, ConnectFailureIsATransportErrorAndLeavesNothingSwitched) {
    Pipe in, out;
    int closedFd = 900;
    while (::fcntl(closedFd, F_GETFD) != -1) ++closedFd;
    StdioTransport transport(in.readEnd, closedFd);
    try {
        transport.connect();
        FAIL() << "connect must fail on a closed descriptor";
    } catch (const MCPError& e) {
        EXPECT_EQ(e.kind(), MCPError::Kind::TransportError);
        EXPECT_EQ(errnoOf(e), EBADF);
    }
    EXPECT_FALSE(transport.isConnected());
    EXPECT_FALSE(isNonBlocking(in.readEnd));
}

// Each of two threads sends messages of its own letter; a reader takes the
// bytes off the pipe meanwhile. Every line must be one letter throughout.
TEST(StdioTransport, ConcurrentLargeSendsNeverInterleave) {
    Pipe in, out;
    StdioTransport transport(in.readEnd, out.writeEnd);
    transport.connect();
    constexpr std::size_t kSize = 1 << 20;
    constexpr int kPerThread = 3;
    std::string received;
    std::thread reader([&] { received = readExactly(out.readEnd, 2 * kPerThread * (kSize + 1)); });
    auto sender = [&](char letter) {
        for (int i = 0; i < kPerThread; ++i) transport.send(std::string(kSize, letter));
    };
    std::thread a(sender, 'a'), b(sender, 'b');
    a.join();
    b.join();
    reader.join();

    ASSERT_EQ(received.size(), 2 * kPerThread * (kSize + 1));
    int counts[2] = {0, 0};
    for (std::size_t start = 0; start < received.size(); start += kSize + 1) {
        const std::string_view line(received.data() + start, kSize);
        ASSERT_EQ(received[start + kSize], '\n');
        const char letter = line.front();
        ASSERT_TRUE(letter == 'a' || letter == 'b');
        ASSERT_EQ(line.find_first_not_of(letter), std::string_view::npos) << "messages interleaved";
        ++counts[letter - 'a'];
    }
    EXPECT_EQ(counts[0], kPerThread);
    EXPECT_EQ(counts[1], kPerThread);
}

TEST(StdioTransport, FullPipeWithASlowReaderLosesNothing) {
    Pipe in, out;
    ::fcntl(out.writeEnd, F_SETPIPE_SZ, 4096);  // the smallest pipe: the send must wait many times
    StdioTransport transport(in.readEnd, out.writeEnd);
    transport.connect();
    std::string message(3 << 20, '\0');
    for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<char>('A' + i % 26);
    std::thread sender([&] { transport.send(message); });
    const std::string received = readExactly(out.readEnd, message.size() + 1, 1000);
    sender.join();
    ASSERT_EQ(received.size(), message.size() + 1);
    EXPECT_TRUE(std::string_view(received).substr(0, message.size()) == message);
    EXPECT_EQ(received.back(), '\n');
}

TEST(StdioTransport, SendWaitingForRoomGivesUpAtDisconnectOrStop) {
    for (const bool byStop : {false, true}) {
        SCOPED_TRACE(byStop ? "stop requested" : "disconnected");
        Pipe in, out;
        ::fcntl(out.writeEnd, F_SETPIPE_SZ, 4096);
        const int capacity = ::fcntl(out.writeEnd, F_GETPIPE_SZ);
        StdioTransport transport(in.readEnd, out.writeEnd);
        transport.connect();
        std::stop_source stop;
        std::exception_ptr outcome;
        std::thread sender([&] {
            try {
                transport.send(std::string(1 << 20, 'z'), stop.get_token());
            } catch (...) {
                outcome = std::current_exception();
            }
        });
        ASSERT_TRUE(eventually([&] { return bytesQueued(out.readEnd) >= capacity; })) << "the pipe never filled";
        if (byStop) {
            stop.request_stop();
        } else {
            transport.disconnect();
        }
        sender.join();
        ASSERT_TRUE(outcome);
        try {
            std::rethrow_exception(outcome);
        } catch (const rt::Cancelled&) {
            EXPECT_TRUE(byStop);
        } catch (const MCPError& e) {
            EXPECT_FALSE(byStop);
            EXPECT_EQ(errnoOf(e), ENOTCONN);
        }
        // Still connected after a cancelled send; a disconnect gets through at once.
        transport.disconnect();
    }
}

}  // namespace
