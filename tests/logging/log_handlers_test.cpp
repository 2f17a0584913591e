#include "logging/logging.hpp"
#include "support/pipe.hpp"
#include "support/recording_handler.hpp"

#include <gtest/gtest.h>

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace logging {
namespace {
using Level = Logger::Level;
using MV = Logger::MetadataValue;

constexpr std::time_t kMay1st0930Plus1 = 1714552200;  // 2024-05-01T08:30:00Z
constexpr const char* kStamp = "2024-05-01T09:30:00+0100";

// A zone one hour east of UTC, without daylight saving.
class FixedZone : public ::testing::Environment {
public:
    void SetUp() override {
        ::setenv("TZ", "UTC-1", 1);
        ::tzset();
    }
};
[[maybe_unused]] const auto* const kZone = ::testing::AddGlobalTestEnvironment(new FixedZone);

class Capture {
public:
    Capture() : file_(std::tmpfile()) {}
    ~Capture() { std::fclose(file_); }

    StdioOutputStream stream() const { return {file_, StdioOutputStream::FlushMode::always}; }

    StreamLogHandler handler(std::string label, std::optional<Logger::MetadataProvider> provider = std::nullopt) const {
        StreamLogHandler h(stream(), std::move(label), std::move(provider));
        h.setClock([] { return kMay1st0930Plus1; });
        return h;
    }

    std::string contents() const {
        std::fflush(file_);
        ::lseek(fileno(file_), 0, SEEK_SET);
        return testsupport::readAvailable(fileno(file_));
    }

private:
    std::FILE* file_;
};

void logDirect(const LogHandler& h, Level level, std::string message,
               std::optional<Logger::Metadata> metadata = std::nullopt, std::string_view source = "MCP") {
    h.log(level, Logger::Message(std::move(message)), metadata, source, "MCP/x.cpp", "f", 1);
}

TEST(StreamLogHandler, ExactLines) {
    struct Case {
        const char* name;
        const char* label;
        Logger::Metadata handlerMetadata;
        std::optional<Logger::Metadata> provided;
        std::optional<Logger::Metadata> call;
        std::string expected;
    };
    const std::string s = kStamp;
    const Case cases[] = {
        {"call item", "relay", {}, std::nullopt, Logger::Metadata{{"id", "7"}}, s + " info relay: id=7 [MCP] started\n"},
        {"bare", "", {}, std::nullopt, std::nullopt, s + " info: [MCP] started\n"},
        {"empty call map", "", {}, std::nullopt, Logger::Metadata{}, s + " info: [MCP] started\n"},
        {"sorted", "r", {{"b", "2"}, {"a", "1"}}, std::nullopt, std::nullopt, s + " info r: a=1 b=2 [MCP] started\n"},
        {"empty provider uses cache", "r", {{"a", "1"}}, Logger::Metadata{}, std::nullopt,
         s + " info r: a=1 [MCP] started\n"},
        {"provider over handler", "r", {{"k", "handler"}, {"z", "z"}}, Logger::Metadata{{"k", "provider"}},
         std::nullopt, s + " info r: k=provider z=z [MCP] started\n"},
        {"call over provider", "r", {{"k", "handler"}}, Logger::Metadata{{"k", "provider"}, {"p", "1"}},
         Logger::Metadata{{"k", "call"}}, s + " info r: k=call p=1 [MCP] started\n"},
        {"nested", "r", {}, std::nullopt, Logger::Metadata{{"d", MV::dictionary({{"k", "v"}})}},
         s + " info r: d=[\"k\": \"v\"] [MCP] started\n"},
    };
    for (const auto& c : cases) {
        Capture capture;
        std::optional<Logger::MetadataProvider> provider;
        if (c.provided) provider = testing::fixedProvider(*c.provided);
        StreamLogHandler h = capture.handler(c.label, provider);
        h.setMetadata(c.handlerMetadata);
        logDirect(h, Level::info, "started", c.call);
        EXPECT_EQ(capture.contents(), c.expected) << c.name;
    }
}

// Thread k's i-th message, of a length that varies from 1 to 9000 bytes.
std::string threadMessage(int k, int i) {
    return std::to_string(k) + ":" + std::to_string(i) + ":" + std::string(1 + (k * 131 + i * 977) % 9000, 'x');
}

std::string threadLine(int k, int i) {
    return kStamp + (" info t" + std::to_string(k) + ": [MCP] ") + threadMessage(k, i);
}

// Checks that text is made of whole lines of threadLine, each thread's in order.
std::size_t countWholeLines(const std::string& text, int threads, int perThread) {
    std::istringstream in(text);
    std::string line;
    std::size_t count = 0;
    std::vector<int> next(static_cast<std::size_t>(threads), 0);
    while (std::getline(in, line)) {
        int k = -1, i = -1;
        char tail[2] = {};
        const auto at = line.find("[MCP] ");
        if (at == std::string::npos || std::sscanf(line.c_str() + at + 6, "%d:%d:%1c", &k, &i, tail) != 3) return 0;
        if (k < 0 || k >= threads || i != next[static_cast<std::size_t>(k)]++) return 0;
        if (line != threadLine(k, i)) return 0;
        ++count;
    }
    return count == static_cast<std::size_t>(threads * perThread) ? count : 0;
}

void logFromThreads(const StdioOutputStream& stream, int threads, int perThread) {
    std::vector<std::thread> workers;
    for (int k = 0; k < threads; ++k) {
        workers.emplace_back([&stream, k, perThread] {
            // A separate handler per thread, all on the one C stream.
            Logger logger("t" + std::to_string(k), [&](const std::string& label) {
                StreamLogHandler h(stream, label, std::nullopt);
                h.setClock([] { return kMay1st0930Plus1; });
                return h;
            });
            for (int i = 0; i < perThread; ++i) {
                errno = 0;
                logger.info("MCP/t.cpp", [&] { return threadMessage(k, i); });
                EXPECT_EQ(errno, 0) << "a full pipe's EAGAIN reached the caller";
            }
        });
    }
    for (auto& w : workers) w.join();
}

// A non-blocking pipe smaller than the output: writers meet EAGAIN and must
// still deliver every line whole.
TEST(StreamLogHandler, NonBlockingPipeDeliversWholeLines) {
    constexpr int kThreads = 4, kPerThread = 40;
    std::signal(SIGPIPE, SIG_IGN);  // as the program does
    testsupport::Pipe pipe;
    ASSERT_EQ(::fcntl(pipe.writeEnd, F_SETFL, ::fcntl(pipe.writeEnd, F_GETFL) | O_NONBLOCK), 0);
    std::FILE* writeEnd = ::fdopen(::dup(pipe.writeEnd), "w");
    ASSERT_NE(writeEnd, nullptr);
    pipe.closeWrite();
    const StdioOutputStream stream(writeEnd, StdioOutputStream::FlushMode::always);

    std::size_t total = 0;
    for (int k = 0; k < kThreads; ++k)
        for (int i = 0; i < kPerThread; ++i) total += threadLine(k, i).size() + 1;
    std::thread writers([&] { logFromThreads(stream, kThreads, kPerThread); });
    const std::string received = testsupport::readFor(pipe.readEnd, total);
    pipe.closeRead();  // unblocks writers left waiting when the read timed out
    writers.join();
    std::fclose(writeEnd);
    EXPECT_EQ(countWholeLines(received, kThreads, kPerThread), static_cast<std::size_t>(kThreads * kPerThread));
}

}  // namespace
}  // namespace logging
