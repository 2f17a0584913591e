// A handler that records what reaches it; copies share one record list.
#pragma once

#include "logging/logger.hpp"

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
    std::int64_t line;
};

struct RecordSink {
    std::mutex mutex;
    std::vector<Record> records;

    std::vector<Record> snapshot() {
        std::lock_guard lock(mutex);
        return records;
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
             std::string_view source, std::string_view file, std::string_view, std::int64_t line) const override {
        std::lock_guard lock(sink_->mutex);
        sink_->records.push_back(
            {name_, level, message.value, metadata, std::string(source), std::string(file), line});
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

inline Logger::MetadataProvider fixedProvider(Logger::Metadata m) {
    return Logger::MetadataProvider([m = std::move(m)] { return m; });
}

}  // namespace logging::testing
