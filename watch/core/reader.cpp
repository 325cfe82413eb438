#include "watch/core/reader.h"

namespace {

// No command means anything below its fourth level (command, "boxes", box, coordinate): deeper
// arrays and objects are left out while parsing, so no command can carry a tree deep enough to
// exhaust the stack of whatever copies, compares or serialises it later.
constexpr int deepestContainer = 3;

std::optional<json> parseCommand(std::string_view line) {
    json parsed = json::parse(
        line.begin(), line.end(),
        [](int depth, json::parse_event_t event, json&) {
            const bool opens = event == json::parse_event_t::object_start ||
                               event == json::parse_event_t::array_start;
            return !opens || depth <= deepestContainer;
        },
        false);
    if (!parsed.is_object()) return std::nullopt;
    return std::optional<json>(std::move(parsed));
}

} // namespace

void feedInput(LineReader& reader, std::string_view chunk,
               const std::function<void(json)>& onCommand) {
    if (reader.discarding) {
        auto nl = chunk.find('\n');
        if (nl == std::string_view::npos) return;
        reader.discarding = false;
        chunk.remove_prefix(nl + 1);
    }
    reader.buffer.append(chunk);
    std::size_t start = 0;
    for (;;) {
        auto nl = reader.buffer.find('\n', start);
        if (nl == std::string::npos) break;
        auto parsed = parseCommand(std::string_view(reader.buffer).substr(start, nl - start));
        start = nl + 1;
        if (parsed) onCommand(std::move(*parsed));
    }
    reader.buffer.erase(0, start);
    if (reader.buffer.size() > maxUnfinishedLine) {
        reader.buffer.clear();
        reader.buffer.shrink_to_fit();
        reader.discarding = true;
    }
}
