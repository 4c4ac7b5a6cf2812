// Values the host and the plug-in pass to each other: texts, booleans,
// numbers, lists of texts and nested maps, as JSON values.
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <string>

namespace ph {

using Value = nlohmann::json;

// Element identifier (or processing key) to value, as the host hands over
// recipe settings and file info and takes processing settings back.
using SettingsMap = std::map<std::string, Value>;

// A value as one line of text for log lines: a text as it is, anything else
// as compact JSON.
std::string describe(const Value& value);

}  // namespace ph
