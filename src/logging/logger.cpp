#include "logging/logger.hpp"

#include "logging/logging_system.hpp"

#include <stdexcept>

namespace logging {

namespace {

constexpr std::array<std::string_view, 7> kLevelNames = {"trace",   "debug", "info",    "notice",
                                                         "warning", "error", "critical"};

// Quotes text the way a string literal is written, so a rendered dictionary
// or array reads back unambiguously.
void appendQuoted(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (char c : text) {
        switch (c) {
        case '\0': out += "\\0"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '"': out += "\\\""; break;
        case '\'': out += "\\'"; break;
        case '\\': out += "\\\\"; break;
        default: {
            auto u = static_cast<unsigned char>(c);
            if (u < 0x20 || u == 0x7f) {
                out += "\\u{";
                if (u >= 0x10) out += kHex[u >> 4];
                out += kHex[u & 0xf];
                out += '}';
            } else {
                out += c;
            }
        }
        }
    }
    out += '"';
}

}  // namespace

// ---- Level ------------------------------------------------------------------

std::string_view Logger::Level::rawValue() const { return kLevelNames[v_]; }

std::optional<Logger::Level> Logger::Level::fromRawValue(std::string_view text) {
    for (Value v : allCases()) {
        if (kLevelNames[v] == text) return Level(v);
    }
    return std::nullopt;
}

std::optional<Logger::Level> Logger::Level::fromText(std::string_view text) {
    // ASCII lower-casing suffices: no other character lower-cases to a
    // letter of a level name.
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return fromRawValue(lower);
}

// ---- MetadataValue ----------------------------------------------------------

Logger::MetadataValue::MetadataValue(Metadata m) : v_(std::make_shared<const Metadata>(std::move(m))) {}

Logger::MetadataValue Logger::MetadataValue::dictionary(
    std::initializer_list<std::pair<std::string, MetadataValue>> pairs) {
    Metadata m;
    for (const auto& [key, value] : pairs) {
        if (!m.emplace(key, value).second) throw std::invalid_argument("Duplicate metadata key: " + key);
    }
    return MetadataValue(std::move(m));
}

std::string Logger::MetadataValue::description() const {
    switch (kind()) {
    case Kind::string: return asString();
    case Kind::stringConvertible: return asStringConvertible().description();
    case Kind::dictionary: {
        const Metadata& m = asDictionary();
        if (m.empty()) return "[:]";
        std::string out = "[";
        bool first = true;
        for (const auto& [key, value] : m) {
            if (!first) out += ", ";
            first = false;
            appendQuoted(out, key);
            out += ": ";
            appendQuoted(out, value.description());
        }
        out += ']';
        return out;
    }
    case Kind::array: {
        std::string out = "[";
        bool first = true;
        for (const auto& element : asArray()) {
            if (!first) out += ", ";
            first = false;
            appendQuoted(out, element.description());
        }
        out += ']';
        return out;
    }
    }
    return {};
}

bool operator==(const Logger::MetadataValue& a, const Logger::MetadataValue& b) {
    using Kind = Logger::MetadataValue::Kind;
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
    case Kind::string: return a.asString() == b.asString();
    case Kind::stringConvertible: return a.description() == b.description();
    case Kind::dictionary: return a.asDictionary() == b.asDictionary();
    case Kind::array: return a.asArray() == b.asArray();
    }
    return false;
}

// ---- Logger -----------------------------------------------------------------

struct Logger::Storage {
    std::string label;
    AnyLogHandler handler;
};

Logger::Logger(std::string label) {
    // One registry box at a time; the factory runs with no registry lock held.
    std::optional<MetadataProvider> provider = LoggingSystem::metadataProvider();
    Factory factory = LoggingSystem::factory();
    AnyLogHandler handler = factory(label, provider);
    storage_ = std::make_shared<Storage>(Storage{std::move(label), std::move(handler)});
}

Logger::Logger(std::string label, const OneArgFactory& factory) {
    AnyLogHandler handler = factory(label);
    storage_ = std::make_shared<Storage>(Storage{std::move(label), std::move(handler)});
}

Logger::Logger(std::string label, const Factory& factory) {
    AnyLogHandler handler = factory(label, LoggingSystem::metadataProvider());
    storage_ = std::make_shared<Storage>(Storage{std::move(label), std::move(handler)});
}

Logger::Logger(std::string label, MetadataProvider provider) {
    Factory factory = LoggingSystem::factory();
    AnyLogHandler handler = factory(label, provider);
    handler->setMetadataProvider(std::move(provider));
    storage_ = std::make_shared<Storage>(Storage{std::move(label), std::move(handler)});
}

const std::string& Logger::label() const { return storage_->label; }

const LogHandler& Logger::handlerRef() const { return *storage_->handler; }

LogHandler& Logger::mutableHandler() {
    // Copy-on-write: a storage shared with another logger is cloned first, so
    // the other keeps its handler, level and metadata.
    if (storage_.use_count() > 1) storage_ = std::make_shared<Storage>(*storage_);
    return *storage_->handler;
}

AnyLogHandler Logger::handler() const { return storage_->handler; }

void Logger::setHandler(AnyLogHandler handler) {
    if (storage_.use_count() > 1) {
        storage_ = std::make_shared<Storage>(Storage{storage_->label, std::move(handler)});
    } else {
        storage_->handler = std::move(handler);
    }
}

Logger::Level Logger::logLevel() const { return handlerRef().logLevel(); }

void Logger::setLogLevel(Level level) { mutableHandler().setLogLevel(level); }

std::optional<Logger::MetadataProvider> Logger::metadataProvider() const { return handlerRef().metadataProvider(); }

std::optional<Logger::MetadataValue> Logger::metadataItem(std::string_view key) const {
    return handlerRef().metadataItem(key);
}

void Logger::setMetadataItem(const std::string& key, std::optional<MetadataValue> value) {
    mutableHandler().setMetadataItem(key, std::move(value));
}

// ---- Sources ----------------------------------------------------------------

std::string_view moduleFromFileId(std::string_view fileId) {
    auto slash = fileId.find('/');
    if (slash == std::string_view::npos) return "n/a";
    return fileId.substr(0, slash);
}

std::string_view directoryFromFilePath(std::string_view path) {
    auto last = path.rfind('/');
    if (last == std::string_view::npos || last == 0) return "n/a";
    auto before = path.rfind('/', last - 1);
    if (before == std::string_view::npos) return "n/a";
    return path.substr(before + 1, last - before - 1);
}

}  // namespace logging
