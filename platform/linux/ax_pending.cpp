// Stand-ins for the accessibility calls input capture makes, until the accessibility backend
// defines them: weak, so its definitions win at link time. Delete this file once it has landed.
#include "platform/ax.h"

namespace ax {

__attribute__((weak)) void setMessagingTimeout(const ElementRef&, float) {}

__attribute__((weak)) std::optional<Value> copyAttribute(const ElementRef&, std::string_view) {
    return std::nullopt;
}

__attribute__((weak)) ElementRef elementAtPosition(const ElementRef&, double, double) {
    return nullptr;
}

} // namespace ax
