#include "watch/core/reader.h"

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
        auto parsed =
            jsonline::parseLine(std::string_view(reader.buffer).substr(start, nl - start));
        start = nl + 1;
        if (parsed && parsed->is_object()) onCommand(std::move(*parsed));
    }
    reader.buffer.erase(0, start);
    if (reader.buffer.size() > maxUnfinishedLine) {
        reader.buffer.clear();
        reader.buffer.shrink_to_fit();
        reader.discarding = true;
    }
}
