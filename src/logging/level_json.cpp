#include "logging/level_json.hpp"

namespace logging {

json::Value toJson(Logger::Level level) { return json::Value(level.rawValue()); }

Logger::Level levelFromJson(const json::Value& value, const json::CodingPath& path) {
    if (value.isNull()) throw json::DecodingError::valueNotFound("String", path);
    if (!value.isString()) throw json::DecodingError::typeMismatch("String", path);
    if (auto level = Logger::Level::fromRawValue(value.asString())) return *level;
    throw json::DecodingError::dataCorrupted("Cannot initialize Level from invalid String value " + value.asString(),
                                             path);
}

}  // namespace logging
