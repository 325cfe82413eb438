#include "watch/frames/imagejobs.h"
#include "watch/core/emit.h"

// Placeholder answers until the image work lands: each request still gets its one reply.
static std::string idOf(const json& command) {
    auto it = command.find("id");
    return it != command.end() && it->is_string() ? it->get<std::string>() : "";
}

void dispatchNames(const json& command) {
    emit({{"kind", "names"}, {"id", idOf(command)}, {"names", json::array()}});
}
void dispatchBlur(const json& command) {
    emit({{"kind", "blurred"}, {"id", idOf(command)}, {"ok", false}});
}
void dispatchOcr(const json& command) {
    emit({{"kind", "ocr"}, {"id", idOf(command)}, {"text", ""}, {"boxes", json::array()}});
}
