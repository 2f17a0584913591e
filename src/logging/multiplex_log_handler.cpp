#include "logging/multiplex_log_handler.hpp"

#include <algorithm>

namespace logging {

namespace {

Logger::Level lowestLevel(const std::vector<AnyLogHandler>& handlers) {
    if (handlers.empty()) return Logger::Level::trace;
    Logger::Level::Value lowest = Logger::Level::critical;
    for (const auto& handler : handlers) lowest = std::min<Logger::Level::Value>(lowest, handler->logLevel());
    return lowest;
}

void mergeInto(Logger::Metadata& into, Logger::Metadata from) {
    for (auto& [key, value] : from) into.insert_or_assign(key, std::move(value));
}

}  // namespace

MultiplexLogHandler::MultiplexLogHandler(std::vector<AnyLogHandler> handlers)
    : MultiplexLogHandler(std::move(handlers), std::nullopt) {}

MultiplexLogHandler::MultiplexLogHandler(std::vector<AnyLogHandler> handlers,
                                         std::optional<Logger::MetadataProvider> metadataProvider)
    : handlers_(std::move(handlers)),
      effectiveLogLevel_(lowestLevel(handlers_)),
      ownMetadataProvider_(std::move(metadataProvider)) {}

std::optional<Logger::MetadataProvider> MultiplexLogHandler::metadataProvider() const {
    if (handlers_.size() == 1) {
        auto p = handlers_.front()->metadataProvider();
        if (p && ownMetadataProvider_) return multiplexProviders({*p, *ownMetadataProvider_});
        if (p) return p;
        return ownMetadataProvider_;
    }
    std::vector<Logger::MetadataProvider> providers;
    for (const auto& handler : handlers_) {
        if (auto p = handler->metadataProvider()) providers.push_back(std::move(*p));
    }
    if (ownMetadataProvider_) providers.push_back(*ownMetadataProvider_);
    return multiplexProviders(std::move(providers));
}

void MultiplexLogHandler::setMetadataProvider(std::optional<Logger::MetadataProvider> provider) {
    for (auto& handler : handlers_) handler->setMetadataProvider(provider);
}

void MultiplexLogHandler::log(Logger::Level level, const Logger::Message& message,
                              const std::optional<Logger::Metadata>& metadata, std::string_view source,
                              std::string_view file, std::string_view function, std::int64_t line) const {
    for (const auto& handler : handlers_) {
        if (handler->logLevel() <= level) handler->log(level, message, metadata, source, file, function, line);
    }
}

std::optional<Logger::MetadataValue> MultiplexLogHandler::metadataItem(std::string_view key) const {
    for (const auto& handler : handlers_) {
        if (auto value = handler->metadataItem(key)) return value;
    }
    return std::nullopt;
}

void MultiplexLogHandler::setMetadataItem(const std::string& key, std::optional<Logger::MetadataValue> value) {
    for (auto& handler : handlers_) handler->setMetadataItem(key, value);
}

Logger::Metadata MultiplexLogHandler::metadata() const {
    // With no handlers, only the own provider contributes.
    Logger::Metadata merged;
    for (const auto& handler : handlers_) {
        mergeInto(merged, handler->metadata());
        if (auto p = handler->metadataProvider()) mergeInto(merged, p->provideMetadata());
    }
    if (ownMetadataProvider_) mergeInto(merged, ownMetadataProvider_->provideMetadata());
    return merged;
}

void MultiplexLogHandler::setMetadata(Logger::Metadata metadata) {
    for (auto& handler : handlers_) handler->setMetadata(metadata);
}

void MultiplexLogHandler::setLogLevel(Logger::Level level) {
    for (auto& handler : handlers_) handler->setLogLevel(level);
    effectiveLogLevel_ = level;
}

std::optional<Logger::MetadataProvider> multiplexProviders(std::vector<Logger::MetadataProvider> providers) {
    if (providers.empty()) return std::nullopt;
    return Logger::MetadataProvider([providers = std::move(providers)] {
        Logger::Metadata merged;
        for (const auto& provider : providers) mergeInto(merged, provider.provideMetadata());
        return merged;
    });
}

}  // namespace logging
