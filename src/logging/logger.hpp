// Labelled loggers, levels, messages and metadata, and the handler interface
// through which a logger delivers its records.
//
// A call site names its file with an explicit identifier of the form
// "<Module>/<file>", e.g. "MCP/server.cpp"; the record's source defaults to
// the module part ("MCP"). Message, metadata and source may be given as
// values or as callables; callables run only when the record passes the
// handler's level:
//
//   constexpr const char* kLogFile = "MCP/server.cpp";
//   logger.info(kLogFile, "Server started");
//   logger.debug(kLogFile, [&] { return "Received " + std::to_string(n) + " bytes"; });
//   logger.error(kLogFile, [&] { return "Failed: " + why; },
//                [&] { return Logger::Metadata{{"id", id}}; });
#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <source_location>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace logging {

// The caller's function and line. std::source_location where the library has
// it; clang 14 with libstdc++ 12 lacks it, and the same builtins serve there.
#if defined(__cpp_lib_source_location)
using SourceLocation = std::source_location;
#else
struct SourceLocation {
    static constexpr SourceLocation current(const char* function = __builtin_FUNCTION(),
                                            unsigned line = __builtin_LINE()) noexcept {
        return SourceLocation{function, line};
    }
    constexpr const char* function_name() const noexcept { return function_; }
    constexpr unsigned line() const noexcept { return line_; }
    const char* function_;
    unsigned line_;
};
#endif

class LogHandler;
class AnyLogHandler;

class Logger {
public:
    // ---- Level ----------------------------------------------------------

    // Seven ordered levels; compares by position (trace lowest).
    class Level {
    public:
        enum Value : std::uint8_t { trace, debug, info, notice, warning, error, critical };

        constexpr Level(Value v) : v_(v) {}
        constexpr operator Value() const { return v_; }

        // "trace", "debug", ... "critical".
        std::string_view rawValue() const;
        std::string description() const { return std::string(rawValue()); }

        // Exact, case-sensitive match of a raw value.
        static std::optional<Level> fromRawValue(std::string_view text);
        // Lower-cases first, so "WARNING" and "Info" parse; no aliases.
        static std::optional<Level> fromText(std::string_view text);
        static constexpr std::array<Value, 7> allCases() {
            return {trace, debug, info, notice, warning, error, critical};
        }

        friend std::ostream& operator<<(std::ostream& out, Level level) { return out << level.rawValue(); }

    private:
        Value v_;
    };

    // ---- Message --------------------------------------------------------

    struct Message {
        std::string value;

        Message() = default;
        Message(std::string v) : value(std::move(v)) {}
        Message(std::string_view v) : value(v) {}
        Message(const char* v) : value(v) {}

        const std::string& description() const { return value; }
        friend bool operator==(const Message&, const Message&) = default;
    };

    // ---- Metadata -------------------------------------------------------

    class MetadataValue;
    using Metadata = std::unordered_map<std::string, MetadataValue>;

    // A value that renders itself as text, held by value. T needs either a
    // `std::string description() const` member or an `operator<<`.
    class StringConvertible {
    public:
        template <class T>
            requires(!std::same_as<std::decay_t<T>, StringConvertible>)
        explicit StringConvertible(T value)
            : impl_(std::make_shared<const Holder<std::decay_t<T>>>(std::move(value))) {}

        std::string description() const { return impl_->describe(); }

    private:
        struct Concept {
            virtual ~Concept() = default;
            virtual std::string describe() const = 0;
        };
        template <class T>
        struct Holder final : Concept {
            explicit Holder(T v) : value(std::move(v)) {}
            std::string describe() const override {
                if constexpr (requires(const T& t) { { t.description() } -> std::convertible_to<std::string>; }) {
                    return std::string(value.description());
                } else {
                    std::ostringstream out;
                    out << value;
                    return out.str();
                }
            }
            T value;
        };
        std::shared_ptr<const Concept> impl_;  // immutable, so sharing is a copy
    };

    class MetadataValue {
    public:
        enum class Kind { string, stringConvertible, dictionary, array };

        MetadataValue(std::string s) : v_(std::move(s)) {}
        MetadataValue(std::string_view s) : v_(std::string(s)) {}
        MetadataValue(const char* s) : v_(std::string(s)) {}
        MetadataValue(StringConvertible c) : v_(std::move(c)) {}
        MetadataValue(Metadata m);
        MetadataValue(std::vector<MetadataValue> a) : v_(std::move(a)) {}

        // The dictionary case from key-value pairs; a repeated key throws
        // std::invalid_argument.
        static MetadataValue dictionary(std::initializer_list<std::pair<std::string, MetadataValue>> pairs);
        static MetadataValue array(std::vector<MetadataValue> elements) { return MetadataValue(std::move(elements)); }
        template <class T>
        static MetadataValue stringConvertible(T value) {
            return MetadataValue(StringConvertible(std::move(value)));
        }

        Kind kind() const { return static_cast<Kind>(v_.index()); }
        // Unchecked accessors: the caller has tested the kind.
        const std::string& asString() const { return std::get<std::string>(v_); }
        const StringConvertible& asStringConvertible() const { return std::get<StringConvertible>(v_); }
        const Metadata& asDictionary() const { return *std::get<std::shared_ptr<const Metadata>>(v_); }
        const std::vector<MetadataValue>& asArray() const { return std::get<std::vector<MetadataValue>>(v_); }

        // Text form: a string as is; a dictionary as ["k": "v", ...] (empty:
        // [:]); an array as ["a", "b"]; nested values by their own text form.
        std::string description() const;

        // Same case and equal payloads; a stringConvertible by its text form.
        friend bool operator==(const MetadataValue& a, const MetadataValue& b);

    private:
        std::variant<std::string, StringConvertible, std::shared_ptr<const Metadata>, std::vector<MetadataValue>> v_;
    };

    // Contributes metadata to every record that reaches a handler supporting
    // providers. The function must be safe to call from any thread.
    class MetadataProvider {
    public:
        explicit MetadataProvider(std::function<Metadata()> provide)
            : provide_(std::make_shared<const std::function<Metadata()>>(std::move(provide))) {}
        Metadata provideMetadata() const { return (*provide_) ? (*provide_)() : Metadata{}; }

    private:
        std::shared_ptr<const std::function<Metadata()>> provide_;
    };

    // Where a record was logged: the explicit file identifier
    // ("MCP/server.cpp"); function and line are taken from the caller.
    struct Site {
        std::string_view file;
        std::string_view function;
        std::int64_t line;

        Site(const char* fileId, SourceLocation loc = SourceLocation::current())
            : file(fileId), function(loc.function_name()), line(loc.line()) {}
        Site(std::string_view fileId, SourceLocation loc = SourceLocation::current())
            : file(fileId), function(loc.function_name()), line(loc.line()) {}
        Site(std::string_view fileId, std::string_view fn, std::int64_t ln) : file(fileId), function(fn), line(ln) {}
    };

    using OneArgFactory = std::function<AnyLogHandler(const std::string& label)>;
    using Factory =
        std::function<AnyLogHandler(const std::string& label, const std::optional<MetadataProvider>& provider)>;

    // ---- Creation -------------------------------------------------------

    // Through the process-wide registry (LoggingSystem).
    explicit Logger(std::string label);
    // factory(label); the registry is not consulted.
    Logger(std::string label, const OneArgFactory& factory);
    // factory(label, the system's metadata provider).
    Logger(std::string label, const Factory& factory);
    // The registry's factory with this provider, which is also set on the handler.
    Logger(std::string label, MetadataProvider provider);

    // ---- Properties -----------------------------------------------------

    const std::string& label() const;
    // A copy of the handler; changes to it take effect only through setHandler.
    AnyLogHandler handler() const;
    void setHandler(AnyLogHandler handler);

    Level logLevel() const;
    void setLogLevel(Level level);
    std::optional<MetadataProvider> metadataProvider() const;
    std::optional<MetadataValue> metadataItem(std::string_view key) const;
    // Sets the key, or removes it for nullopt.
    void setMetadataItem(const std::string& key, std::optional<MetadataValue> value);

    // ---- Logging --------------------------------------------------------

    // message: a Message, text, or a callable yielding one. metadata: nullopt,
    // a Metadata, or a callable yielding an (optional) Metadata. source:
    // nullopt, text, or a callable yielding (optional) text; none means the
    // module of file. Nothing is evaluated below the handler's level.
    template <class M, class MD, class S>
    void log(Level level, M&& message, MD&& metadata, S&& source, std::string_view file, std::string_view function,
             std::int64_t line) const;
    template <class M, class MD>
    void log(Level level, M&& message, MD&& metadata, std::string_view file, std::string_view function,
             std::int64_t line) const {
        log(level, std::forward<M>(message), std::forward<MD>(metadata), std::nullopt, file, function, line);
    }

#define BRISOLET_LOGGING_LEVEL_OPS(name)                                                                    \
    template <class M>                                                                                      \
    void name(const Site& site, M&& message) const {                                                        \
        log(Level::name, std::forward<M>(message), std::nullopt, std::nullopt, site.file, site.function,     \
            site.line);                                                                                     \
    }                                                                                                       \
    template <class M, class MD>                                                                            \
    void name(const Site& site, M&& message, MD&& metadata) const {                                         \
        log(Level::name, std::forward<M>(message), std::forward<MD>(metadata), std::nullopt, site.file,     \
            site.function, site.line);                                                                      \
    }                                                                                                       \
    template <class M, class MD, class S>                                                                   \
    void name(const Site& site, M&& message, MD&& metadata, S&& source) const {                             \
        log(Level::name, std::forward<M>(message), std::forward<MD>(metadata), std::forward<S>(source),     \
            site.file, site.function, site.line);                                                           \
    }
    BRISOLET_LOGGING_LEVEL_OPS(trace)
    BRISOLET_LOGGING_LEVEL_OPS(debug)
    BRISOLET_LOGGING_LEVEL_OPS(info)
    BRISOLET_LOGGING_LEVEL_OPS(notice)
    BRISOLET_LOGGING_LEVEL_OPS(warning)
    BRISOLET_LOGGING_LEVEL_OPS(error)
    BRISOLET_LOGGING_LEVEL_OPS(critical)
#undef BRISOLET_LOGGING_LEVEL_OPS

private:
    struct Storage;
    const LogHandler& handlerRef() const;
    LogHandler& mutableHandler();  // copy-on-write
    std::shared_ptr<Storage> storage_;
};

// Text before the first "/" of a file identifier; "n/a" without one.
std::string_view moduleFromFileId(std::string_view fileId);
// The name of the directory holding the file (between the last two "/");
// "n/a" when the path has fewer than two "/".
std::string_view directoryFromFilePath(std::string_view path);

// ---- Handlers ---------------------------------------------------------------

// Receives a logger's records. Handlers are values: a logger keeps its own
// copy (clone) and changes it by copy, change and store back. Every handler
// must be safe to copy and to use (const operations) from any thread. A
// handler never tests its own level: Logger does that before calling log.
// A subclass that overrides only one `log` should add `using LogHandler::log;`.
class LogHandler {
public:
    virtual ~LogHandler() = default;
    virtual std::unique_ptr<LogHandler> clone() const = 0;

    // Default: no provider support (reads none, ignores writes).
    virtual std::optional<Logger::MetadataProvider> metadataProvider() const { return std::nullopt; }
    virtual void setMetadataProvider(std::optional<Logger::MetadataProvider>) {}

    virtual void log(Logger::Level level, const Logger::Message& message,
                     const std::optional<Logger::Metadata>& metadata, std::string_view source, std::string_view file,
                     std::string_view function, std::int64_t line) const = 0;
    // Default: source = directoryFromFilePath(file).
    virtual void log(Logger::Level level, const Logger::Message& message,
                     const std::optional<Logger::Metadata>& metadata, std::string_view file,
                     std::string_view function, std::int64_t line) const {
        log(level, message, metadata, directoryFromFilePath(file), file, function, line);
    }

    virtual std::optional<Logger::MetadataValue> metadataItem(std::string_view key) const = 0;
    // Sets the key, or removes it for nullopt.
    virtual void setMetadataItem(const std::string& key, std::optional<Logger::MetadataValue> value) = 0;
    virtual Logger::Metadata metadata() const = 0;
    virtual void setMetadata(Logger::Metadata metadata) = 0;
    virtual Logger::Level logLevel() const = 0;
    virtual void setLogLevel(Logger::Level level) = 0;
};

// A handler held by value: copying clones the handler.
class AnyLogHandler {
public:
    template <class H>
        requires std::derived_from<std::decay_t<H>, LogHandler>
    AnyLogHandler(H&& handler) : p_(std::make_unique<std::decay_t<H>>(std::forward<H>(handler))) {}
    // Precondition: handler is not null.
    explicit AnyLogHandler(std::unique_ptr<LogHandler> handler) : p_(std::move(handler)) {}

    AnyLogHandler(const AnyLogHandler& other) : p_(other.p_->clone()) {}
    AnyLogHandler(AnyLogHandler&&) noexcept = default;
    AnyLogHandler& operator=(const AnyLogHandler& other) {
        if (this != &other) p_ = other.p_->clone();
        return *this;
    }
    AnyLogHandler& operator=(AnyLogHandler&&) noexcept = default;

    LogHandler& operator*() { return *p_; }
    const LogHandler& operator*() const { return *p_; }
    LogHandler* operator->() { return p_.get(); }
    const LogHandler* operator->() const { return p_.get(); }

    // The concrete handler, or nullptr when it is of another type.
    // Not on a temporary: the pointer would dangle.
    template <class H>
    H* as() & { return dynamic_cast<H*>(p_.get()); }
    template <class H>
    const H* as() const& { return dynamic_cast<const H*>(p_.get()); }
    template <class H>
    const H* as() && = delete;

private:
    std::unique_ptr<LogHandler> p_;
};

// ---- Inline definitions -----------------------------------------------------

namespace detail {

template <class F>
concept Thunk = std::is_invocable_v<F&>;

template <class M>
Logger::Message evaluateMessage(M&& m) {
    if constexpr (Thunk<M>) return Logger::Message(std::invoke(m));
    else return Logger::Message(std::forward<M>(m));
}

template <class MD>
std::optional<Logger::Metadata> evaluateMetadata(MD&& md) {
    if constexpr (std::is_same_v<std::decay_t<MD>, std::nullopt_t>) return std::nullopt;
    else if constexpr (Thunk<MD>) return std::optional<Logger::Metadata>(std::invoke(md));
    else return std::optional<Logger::Metadata>(std::forward<MD>(md));
}

template <class S>
std::optional<std::string> evaluateSource(S&& s) {
    if constexpr (std::is_same_v<std::decay_t<S>, std::nullopt_t>) return std::nullopt;
    else if constexpr (Thunk<S>) return std::optional<std::string>(std::invoke(s));
    else return std::optional<std::string>(std::forward<S>(s));
}

}  // namespace detail

template <class M, class MD, class S>
void Logger::log(Level level, M&& message, MD&& metadata, S&& source, std::string_view file,
                 std::string_view function, std::int64_t line) const {
    const LogHandler& h = handlerRef();
    if (level < h.logLevel()) return;
    Message msg = detail::evaluateMessage(std::forward<M>(message));
    std::optional<Metadata> md = detail::evaluateMetadata(std::forward<MD>(metadata));
    std::optional<std::string> src = detail::evaluateSource(std::forward<S>(source));
    h.log(level, msg, md, src ? std::string_view(*src) : moduleFromFileId(file), file, function, line);
}

}  // namespace logging

template <>
struct std::hash<logging::Logger::Level> {
    std::size_t operator()(logging::Logger::Level level) const noexcept {
        return std::hash<std::string_view>()(level.rawValue());
    }
};
