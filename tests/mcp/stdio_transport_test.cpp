#include "mcp/stdio_transport.hpp"

#include "support/pipe.hpp"
#include "support/recording_handler.hpp"
#include "support/wait.hpp"
#include "mcp/error.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {
using namespace std::chrono_literals;
using mcp::MCPError;
using mcp::StdioTransport;
using testsupport::bytesQueued;
using testsupport::Pipe;
using testsupport::readFor;
using testsupport::waitUntil;
using testsupport::writeAll;

constexpr auto kTimeout = 10s;

bool isNonBlocking(int fd) { return (::fcntl(fd, F_GETFL) & O_NONBLOCK) != 0; }

constexpr std::string_view kTooLarge =
    R"({"error":{"code":-32600,"data":{"detail":"Message too large"},"message":"Invalid Request: Message too large"},"id":null,"jsonrpc":"2.0"})"
    "\n";

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
        {"a line of exactly the limit over two reads", {"1234", "5678\n"}, {"12345678"}, 8},
        {"long line across many reads", {longLine.substr(0, 70000), longLine.substr(70000) + "\n"}, {longLine}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Pipe in, out;
        StdioTransport transport(in.readEnd, out.writeEnd, std::nullopt, c.limit);
        transport.connect();
        auto stream = transport.receive();
        for (const auto& chunk : c.chunks) {
            ASSERT_TRUE(writeAll(in.writeEnd, chunk));
            ASSERT_TRUE(waitUntil([&] { return bytesQueued(in.readEnd) == 0; }));
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
        EXPECT_EQ(readFor(out.readEnd, written.size()), written);
        transport.disconnect();
    }
}

TEST(StdioTransport, ReadsAheadNoMoreThanTheQueueHolds) {
    constexpr std::size_t bound = StdioTransport::kMaxQueuedMessages;
    Pipe in, out;
    StdioTransport transport(in.readEnd, out.writeEnd);
    transport.connect();
    auto stream = transport.receive();
    std::string flood;
    for (std::size_t i = 0; i < bound + 10; ++i) flood += "{}\n";
    ASSERT_TRUE(writeAll(in.writeEnd, flood));
    ASSERT_TRUE(waitUntil([&] { return stream->size() >= bound; }));
    EXPECT_FALSE(waitUntil([&] { return stream->size() > bound; }, 300ms));
    transport.disconnect();
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
        ASSERT_TRUE(writeAll(in.writeEnd, "a\nb\n"));
        ASSERT_TRUE(waitUntil([&] { return stream->size() == 2; }));
        transport.send("{}");  // held back while input waits: the write fails at the flush
        for (int attempt = 0; attempt < 2; ++attempt) {
            try {
                if (attempt == 0) transport.flush();
                else transport.send("{}");
                ADD_FAILURE() << "written";
            } catch (const MCPError& e) {
                EXPECT_EQ(e.underlying() ? static_cast<int>(e.underlying()->code()) : 0, c.expectedErrno);
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
    EXPECT_EQ(readFor(out.readEnd, 5), "lone\n") << "nothing waits: written at once";

    ASSERT_TRUE(writeAll(in.writeEnd, "r1\nr2\n"));
    ASSERT_TRUE(waitUntil([&] { return stream->size() == 2; }));
    transport.send("a1");
    transport.send("a2");
    EXPECT_EQ(bytesQueued(out.readEnd), 0) << "held while input waits";
    const std::string big(StdioTransport::kCoalesceLimit, 'x');
    // Larger than the pipe: read while it is written.
    auto written = std::async(std::launch::async, [&] { return readFor(out.readEnd, 6 + big.size() + 1); });
    transport.send(big);  // past the limit: everything held leaves with it, in order
    EXPECT_EQ(written.get(), "a1\na2\n" + big + "\n");
    transport.send("a3");
    transport.flush();
    EXPECT_EQ(readFor(out.readEnd, 3), "a3\n");
    transport.disconnect();
}

// A pipe to the client is made to hold a megabyte of answers, as far as the
// system allows; one larger already is left as it is.
TEST(StdioTransport, APipeForAnswersHoldsAMegabyte) {
    for (const int given : {0, 4 << 20}) {
        Pipe in, out;
        if (given != 0 && ::fcntl(out.writeEnd, F_SETPIPE_SZ, given) < 0) continue;  // not allowed here
        const int before = ::fcntl(out.writeEnd, F_GETPIPE_SZ);
        StdioTransport transport(in.readEnd, out.writeEnd);
        transport.connect();
        const int after = ::fcntl(out.writeEnd, F_GETPIPE_SZ);
        transport.disconnect();
        SCOPED_TRACE(given);
        if (before >= (1 << 20)) {
            EXPECT_EQ(after, before);
        } else {
            EXPECT_TRUE(after == (1 << 20) || ::fcntl(out.writeEnd, F_SETPIPE_SZ, 1 << 20) < 0) << after;
        }
    }
}

// While one sender waits for room in a full pipe, another holds its answer
// and goes on: the flush after the input in hand writes it, in order.
TEST(StdioTransport, ASenderHoldsItsAnswerWhileAnotherWaitsOnAFullPipe) {
    Pipe in, out;
    StdioTransport transport(in.readEnd, out.writeEnd);
    transport.connect();
    auto stream = transport.receive();
    ASSERT_TRUE(writeAll(in.writeEnd, "r1\n"));
    ASSERT_TRUE(waitUntil([&] { return stream->size() == 1; }));
    const std::string big(StdioTransport::kCoalesceLimit, 'x');  // written at once, and more than the pipe holds
    auto writer = std::async(std::launch::async, [&] { transport.send(big); });
    ASSERT_TRUE(waitUntil([&] { return bytesQueued(out.readEnd) > 0; }));
    auto holder = std::async(std::launch::async, [&] { transport.send("small"); });
    EXPECT_EQ(holder.wait_for(5s), std::future_status::ready) << "waited for the other sender's write";
    EXPECT_EQ(writer.wait_for(0s), std::future_status::timeout) << "the pipe was not read yet";
    auto written = std::async(std::launch::async, [&] { return readFor(out.readEnd, big.size() + 1 + 6); });
    writer.get();
    transport.flush();
    EXPECT_EQ(written.get(), big + "\nsmall\n");
    transport.disconnect();
}

// Read on the caller's thread: the answers to one read leave together, in
// order, a shared text where it lies; the reading ends when stop is requested.
TEST(StdioTransport, ReadIntoGathersTheAnswersToOneReadAndEndsOnStop) {
    Pipe in, out;
    StdioTransport transport(in.readEnd, out.writeEnd);
    transport.connect();
    ASSERT_TRUE(writeAll(in.writeEnd, "r1\nr2\n"));
    struct Reader final : mcp::MessageReader {
        StdioTransport& transport;
        int output;
        std::vector<std::pair<std::string, int>> seen;  // message, answer bytes out by then
        explicit Reader(StdioTransport& t, int o) : transport(t), output(o) {}
        void message(std::string_view text) override {
            seen.emplace_back(std::string(text), bytesQueued(output));
            if (text == "r1") transport.send("a1");
            if (text == "r2") transport.sendShared("<", std::make_shared<const std::string>("list"), ">");
        }
        void drained() override {
            transport.flush();
            ++drains;
        }
        std::atomic<int> drains{0};
    } reader(transport, out.readEnd);
    std::stop_source stop;
    auto done = std::async(std::launch::async, [&] { return transport.readInto(reader, stop.get_token()); });
    EXPECT_TRUE(waitUntil([&] { return reader.drains.load() > 0; }));  // the output is not read before
    EXPECT_EQ(readFor(out.readEnd, 10), "a1\n<list>\n");
    stop.request_stop();
    const auto status = done.wait_for(kTimeout);
    transport.disconnect();  // ends a reader that missed the stop, so that the test ends
    ASSERT_EQ(status, std::future_status::ready);
    EXPECT_TRUE(done.get());
    EXPECT_EQ(reader.seen, (std::vector<std::pair<std::string, int>>{{"r1", 0}, {"r2", 0}}));
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
        EXPECT_EQ(readFor(out.readEnd, 6), "again\n");
    }
    EXPECT_FALSE(isNonBlocking(in.readEnd)) << "destruction disconnects";
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
    std::thread reader([&] { received = readFor(out.readEnd, 2 * kPerThread * (kSize + 1)); });
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

}  // namespace
