// One logger writing through several handlers, each keeping its own level and
// metadata; and the combination of several metadata providers.
#pragma once

#include "logging/logger.hpp"

#include <optional>
#include <vector>

namespace logging {

class MultiplexLogHandler final : public LogHandler {
public:
    // Reports the lowest of the handlers' levels (trace for none).
    explicit MultiplexLogHandler(std::vector<AnyLogHandler> handlers);
    MultiplexLogHandler(std::vector<AnyLogHandler> handlers, std::optional<Logger::MetadataProvider> metadataProvider);

    std::unique_ptr<LogHandler> clone() const override { return std::make_unique<MultiplexLogHandler>(*this); }

    // The handlers' providers and this handler's own, combined. Writing sets
    // every handler's provider; the own provider never changes.
    std::optional<Logger::MetadataProvider> metadataProvider() const override;
    void setMetadataProvider(std::optional<Logger::MetadataProvider> provider) override;

    // Delivers to each handler, in order, whose level is at or below the record's.
    using LogHandler::log;
    void log(Logger::Level level, const Logger::Message& message, const std::optional<Logger::Metadata>& metadata,
             std::string_view source, std::string_view file, std::string_view function,
             std::int64_t line) const override;

    // The first handler's value for the key; providers are not consulted.
    std::optional<Logger::MetadataValue> metadataItem(std::string_view key) const override;
    void setMetadataItem(const std::string& key, std::optional<Logger::MetadataValue> value) override;
    // Merged in order: each handler's metadata then its provider's, later
    // winning; this handler's own provider last.
    Logger::Metadata metadata() const override;
    void setMetadata(Logger::Metadata metadata) override;
    Logger::Level logLevel() const override { return effectiveLogLevel_; }
    void setLogLevel(Logger::Level level) override;

    const std::vector<AnyLogHandler>& handlers() const { return handlers_; }

private:
    std::vector<AnyLogHandler> handlers_;
    Logger::Level effectiveLogLevel_;
    std::optional<Logger::MetadataProvider> ownMetadataProvider_;
};

// None for an empty list; otherwise one provider calling each in order, a
// later provider's value winning for the same key.
std::optional<Logger::MetadataProvider> multiplexProviders(std::vector<Logger::MetadataProvider> providers);

}  // namespace logging
