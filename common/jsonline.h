#pragma once
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

using json = nlohmann::json;

namespace jsonline {

// Compact serialisation; invalid UTF-8 inside strings becomes U+FFFD instead of failing,
// so no record is lost to bytes a platform handed us.
std::string dump(const json& value);

// Parses one line. Only a JSON object or array is accepted at the top level (like the host's
// serialiser); anything else, including an empty line, gives nullopt. Never throws.
std::optional<json> parseLine(std::string_view line);

} // namespace jsonline
