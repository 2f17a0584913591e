// The stream handler (one text line per record on standard error or output)
// and the discarding handler.
#pragma once

#include "logging/logger.hpp"

#include <cstdio>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace logging {

// A C stream that receives whole lines, each written as one unit under the
// stream's lock, so lines from different threads never mix.
class StdioOutputStream {
public:
    enum class FlushMode { undefined, always };

    StdioOutputStream(std::FILE* file, FlushMode flushMode) : file_(file), flushMode_(flushMode) {}

    // Standard error / standard output, flushed after every write.
    static StdioOutputStream standardErrorStream() { return {stderr, FlushMode::always}; }
    static StdioOutputStream standardOutputStream() { return {stdout, FlushMode::always}; }

    std::FILE* file() const { return file_; }
    FlushMode flushMode() const { return flushMode_; }

    // Failures are ignored: logging never reports an error to its caller.
    void write(std::string_view text) const;

private:
    std::FILE* file_;
    FlushMode flushMode_;
};

// Renders each record as
//   <timestamp> <level>[ <label>]:[ <metadata>] [<source>] <message>\n
// e.g. "2024-05-01T09:30:00+0100 info relay: id=7 [MCP] started".
class StreamLogHandler final : public LogHandler {
public:
    // Seconds since the epoch; replaceable so tests can fix the time.
    using WallClock = std::function<std::time_t()>;

    // Level info, no metadata, the system's metadata provider.
    static StreamLogHandler standardErrorHandler(std::string label);
    static StreamLogHandler standardErrorHandler(std::string label,
                                                 std::optional<Logger::MetadataProvider> metadataProvider);
    static StreamLogHandler standardOutputHandler(std::string label);
    static StreamLogHandler standardOutputHandler(std::string label,
                                                  std::optional<Logger::MetadataProvider> metadataProvider);

    StreamLogHandler(StdioOutputStream stream, std::string label,
                     std::optional<Logger::MetadataProvider> metadataProvider);

    std::unique_ptr<LogHandler> clone() const override { return std::make_unique<StreamLogHandler>(*this); }

    std::optional<Logger::MetadataProvider> metadataProvider() const override { return metadataProvider_; }
    void setMetadataProvider(std::optional<Logger::MetadataProvider> provider) override {
        metadataProvider_ = std::move(provider);
    }

    using LogHandler::log;
    void log(Logger::Level level, const Logger::Message& message, const std::optional<Logger::Metadata>& metadata,
             std::string_view source, std::string_view file, std::string_view function,
             std::int64_t line) const override;

    std::optional<Logger::MetadataValue> metadataItem(std::string_view key) const override;
    void setMetadataItem(const std::string& key, std::optional<Logger::MetadataValue> value) override;
    Logger::Metadata metadata() const override { return metadata_; }
    void setMetadata(Logger::Metadata metadata) override;
    Logger::Level logLevel() const override { return logLevel_; }
    void setLogLevel(Logger::Level level) override { logLevel_ = level; }

    const std::string& label() const { return label_; }
    const StdioOutputStream& stream() const { return stream_; }
    void setClock(WallClock clock) { clock_ = std::move(clock); }

    // Entries sorted by key as key=value, joined by one blank; none when empty.
    static std::optional<std::string> prettify(const Logger::Metadata& metadata);
    // Local time as "%Y-%m-%dT%H:%M:%S%z", or "<unknown>".
    static std::string timestamp(std::time_t now);

private:
    std::optional<Logger::Metadata> mergeMetadata(const std::optional<Logger::Metadata>& callMetadata) const;

    StdioOutputStream stream_;
    std::string label_;
    Logger::Level logLevel_ = Logger::Level::info;
    std::optional<Logger::MetadataProvider> metadataProvider_;
    std::optional<std::string> prettyMetadata_;  // prettify(metadata_), kept in step
    Logger::Metadata metadata_;
    WallClock clock_;  // empty: the system clock
};

// Discards every record and reports level critical; all writes are ignored.
class NoOpLogHandler final : public LogHandler {
public:
    std::unique_ptr<LogHandler> clone() const override { return std::make_unique<NoOpLogHandler>(); }

    void log(Logger::Level, const Logger::Message&, const std::optional<Logger::Metadata>&, std::string_view,
             std::string_view, std::string_view, std::int64_t) const override {}
    void log(Logger::Level, const Logger::Message&, const std::optional<Logger::Metadata>&, std::string_view,
             std::string_view, std::int64_t) const override {}

    std::optional<Logger::MetadataValue> metadataItem(std::string_view) const override { return std::nullopt; }
    void setMetadataItem(const std::string&, std::optional<Logger::MetadataValue>) override {}
    Logger::Metadata metadata() const override { return {}; }
    void setMetadata(Logger::Metadata) override {}
    Logger::Level logLevel() const override { return Logger::Level::critical; }
    void setLogLevel(Logger::Level) override {}
};

}  // namespace logging
