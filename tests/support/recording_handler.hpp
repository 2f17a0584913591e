// A log handler that records what reaches it; copies share one record list,
// which tests can read and wait on.
#pragma once

#include "logging/logger.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace logging::testing {
struct Record {
    std::string handlerName;
    Logger::Level level;
    std::string message;
    std::optional<Logger::Metadata> metadata;
    std::string source;
    std::string file;
    std::string function;
    std::int64_t line;
};

struct RecordSink {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Record> records;

    std::vector<Record> snapshot() {
        std::lock_guard lock(mutex);
        return records;
    }
    std::size_t count(const std::string& message) {
        std::lock_guard lock(mutex);
        return static_cast<std::size_t>(std::ranges::count(records, message, &Record::message));
    }
    // Waits until `message` was logged `times` times; false on time-out.
    bool waitFor(const std::string& message, std::size_t times = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] {
            return std::ranges::count(records, message, &Record::message) >= static_cast<std::ptrdiff_t>(times);
        });
    }
};

class RecordingHandler final : public LogHandler {
public:
    explicit RecordingHandler(std::shared_ptr<RecordSink> sink, std::string name = "h",
                              Logger::Level level = Logger::Level::info)
        : sink_(std::move(sink)), name_(std::move(name)), level_(level) {}

    std::unique_ptr<LogHandler> clone() const override { return std::make_unique<RecordingHandler>(*this); }

    std::optional<Logger::MetadataProvider> metadataProvider() const override { return provider_; }
    void setMetadataProvider(std::optional<Logger::MetadataProvider> p) override { provider_ = std::move(p); }

    using LogHandler::log;
    void log(Logger::Level level, const Logger::Message& message, const std::optional<Logger::Metadata>& metadata,
             std::string_view source, std::string_view file, std::string_view function,
             std::int64_t line) const override {
        {
            std::lock_guard lock(sink_->mutex);
            sink_->records.push_back({name_, level, message.value, metadata, std::string(source), std::string(file),
                                      std::string(function), line});
        }
        sink_->changed.notify_all();
    }

    std::optional<Logger::MetadataValue> metadataItem(std::string_view key) const override {
        auto it = metadata_.find(std::string(key));
        if (it == metadata_.end()) return std::nullopt;
        return it->second;
    }
    void setMetadataItem(const std::string& key, std::optional<Logger::MetadataValue> value) override {
        if (value) metadata_.insert_or_assign(key, *value);
        else metadata_.erase(key);
    }
    Logger::Metadata metadata() const override { return metadata_; }
    void setMetadata(Logger::Metadata m) override { metadata_ = std::move(m); }
    Logger::Level logLevel() const override { return level_; }
    void setLogLevel(Logger::Level level) override { level_ = level; }

private:
    std::shared_ptr<RecordSink> sink_;
    std::string name_;
    Logger::Level level_;
    Logger::Metadata metadata_;
    std::optional<Logger::MetadataProvider> provider_;
};

// A logger whose handlers (named after the label) record into `sink`.
inline Logger recordingLogger(const std::shared_ptr<RecordSink>& sink, std::string label = "test",
                              Logger::Level level = Logger::Level::trace) {
    return Logger(std::move(label), Logger::OneArgFactory([sink, level](const std::string& label) {
                      return AnyLogHandler(RecordingHandler(sink, label, level));
                  }));
}

inline Logger::MetadataProvider fixedProvider(Logger::Metadata m) {
    return Logger::MetadataProvider([m = std::move(m)] { return m; });
}

}  // namespace logging::testing
