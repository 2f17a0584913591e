#include "logging/log_handlers.hpp"

#include "logging/logging_system.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace logging {

namespace {

// Writes all bytes to fd. Standard error may share a non-blocking file
// description with the protocol streams, so EAGAIN waits for room and
// retries instead of dropping the rest of the line. Other failures drop it.
void writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd pfd{fd, POLLOUT, 0};
            ::poll(&pfd, 1, 10);
            continue;
        }
        return;
    }
}

}  // namespace

// ---- StdioOutputStream ------------------------------------------------------

void StdioOutputStream::write(std::string_view text) const {
    const int savedErrno = errno;  // logging must not disturb the caller's errno
    flockfile(file_);
    const int fd = fileno(file_);
    if (flushMode_ == FlushMode::always && fd >= 0) {
        // Whatever others left in the stream's buffer goes first; then the
        // line goes out in one write call.
        std::fflush(file_);
        writeAll(fd, text.data(), text.size());
    } else {
        std::fwrite(text.data(), 1, text.size(), file_);
        if (flushMode_ == FlushMode::always) std::fflush(file_);
    }
    funlockfile(file_);
    errno = savedErrno;
}

// ---- StreamLogHandler -------------------------------------------------------

StreamLogHandler::StreamLogHandler(StdioOutputStream stream, std::string label,
                                   std::optional<Logger::MetadataProvider> metadataProvider)
    : stream_(stream), label_(std::move(label)), metadataProvider_(std::move(metadataProvider)) {}

StreamLogHandler StreamLogHandler::standardErrorHandler(std::string label) {
    return standardErrorHandler(std::move(label), LoggingSystem::metadataProvider());
}

StreamLogHandler StreamLogHandler::standardErrorHandler(std::string label,
                                                        std::optional<Logger::MetadataProvider> metadataProvider) {
    return StreamLogHandler(StdioOutputStream::standardErrorStream(), std::move(label), std::move(metadataProvider));
}

StreamLogHandler StreamLogHandler::standardOutputHandler(std::string label) {
    return standardOutputHandler(std::move(label), LoggingSystem::metadataProvider());
}

StreamLogHandler StreamLogHandler::standardOutputHandler(std::string label,
                                                         std::optional<Logger::MetadataProvider> metadataProvider) {
    return StreamLogHandler(StdioOutputStream::standardOutputStream(), std::move(label), std::move(metadataProvider));
}

std::optional<Logger::Metadata> StreamLogHandler::mergeMetadata(
    const std::optional<Logger::Metadata>& callMetadata) const {
    Logger::Metadata provided;
    if (metadataProvider_) provided = metadataProvider_->provideMetadata();
    const bool callEmpty = !callMetadata || callMetadata->empty();
    if (provided.empty() && callEmpty) return std::nullopt;
    // For one key: call over provider over handler.
    Logger::Metadata merged = metadata_;
    for (auto& [key, value] : provided) merged.insert_or_assign(key, std::move(value));
    if (!callEmpty) {
        for (const auto& [key, value] : *callMetadata) merged.insert_or_assign(key, value);
    }
    return merged;
}

void StreamLogHandler::log(Logger::Level level, const Logger::Message& message,
                           const std::optional<Logger::Metadata>& metadata, std::string_view source,
                           std::string_view, std::string_view, std::int64_t) const {
    std::optional<std::string> rendered;
    const std::optional<std::string>* metadataText = &prettyMetadata_;
    if (auto merged = mergeMetadata(metadata)) {
        rendered = prettify(*merged);
        metadataText = &rendered;
    }

    std::string line = timestamp(clock_ ? clock_() : std::time(nullptr));
    line.reserve(line.size() + label_.size() + source.size() + message.value.size() +
                 (*metadataText ? (*metadataText)->size() : 0) + 24);
    line += ' ';
    line += level.rawValue();
    if (!label_.empty()) {
        line += ' ';
        line += label_;
    }
    line += ':';
    if (*metadataText) {
        line += ' ';
        line += **metadataText;
    }
    line += " [";
    line += source;
    line += "] ";
    line += message.value;
    line += '\n';
    stream_.write(line);
}

std::optional<Logger::MetadataValue> StreamLogHandler::metadataItem(std::string_view key) const {
    auto it = metadata_.find(std::string(key));
    if (it == metadata_.end()) return std::nullopt;
    return it->second;
}

void StreamLogHandler::setMetadataItem(const std::string& key, std::optional<Logger::MetadataValue> value) {
    if (value) {
        metadata_.insert_or_assign(key, std::move(*value));
    } else {
        metadata_.erase(key);
    }
    prettyMetadata_ = prettify(metadata_);
}

void StreamLogHandler::setMetadata(Logger::Metadata metadata) {
    metadata_ = std::move(metadata);
    prettyMetadata_ = prettify(metadata_);
}

std::optional<std::string> StreamLogHandler::prettify(const Logger::Metadata& metadata) {
    if (metadata.empty()) return std::nullopt;
    std::vector<const Logger::Metadata::value_type*> entries;
    entries.reserve(metadata.size());
    for (const auto& entry : metadata) entries.push_back(&entry);
    std::sort(entries.begin(), entries.end(), [](auto* a, auto* b) { return a->first < b->first; });
    std::string out;
    for (const auto* entry : entries) {
        if (!out.empty()) out += ' ';
        out += entry->first;
        out += '=';
        out += entry->second.description();
    }
    return out;
}

std::string StreamLogHandler::timestamp(std::time_t now) {
    std::tm local{};
    if (!localtime_r(&now, &local)) return "<unknown>";
    char buffer[255] = {};
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S%z", &local);
    return std::string(buffer);
}

}  // namespace logging
