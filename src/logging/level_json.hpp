// JSON form of a level: a single string, its raw value.
#pragma once

#include "json/json.hpp"
#include "logging/logger.hpp"

namespace logging {

json::Value toJson(Logger::Level level);
// Throws json::DecodingError unless value is a string equal to one raw value.
Logger::Level levelFromJson(const json::Value& value, const json::CodingPath& path = {});

}  // namespace logging
