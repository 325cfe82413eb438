#include "common/jsonline.h"

namespace jsonline {

std::string dump(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::optional<json> parseLine(std::string_view line) {
    json v = json::parse(line.begin(), line.end(), nullptr, false);
    if (v.is_discarded() || !(v.is_object() || v.is_array())) return std::nullopt;
    return v;
}

} // namespace jsonline
