#include "platform/windows.h"
#include "platform/sim/act_desktop.h"

namespace {
std::optional<std::vector<windows::Info>> list = std::vector<windows::Info>{};
} // namespace

namespace sim {
void setWindows(std::optional<std::vector<windows::Info>> l) {
    list = std::move(l);
}
} // namespace sim

namespace windows {
std::optional<std::vector<Info>> onScreen() {
    return list;
}
} // namespace windows
