// The person's input on wlroots. No Wayland compositor hands another client the keys, clicks or
// scrolls of the whole desktop, and nothing that sees typed text stands in for them: no tap can
// be made, and the probe says so.
#include "platform/linux/shared/backend.h"
#include "platform/linux/wayland/wlroots/client.h"
#include "platform/linux/wayland/wlroots/sway_ipc.h"
#include "platform/linux/wayland/wlroots/tree.h"

namespace input::wlroots {

TapRef createTap(bool, std::function<void(const Event&)>) {
    return nullptr;
}
void enableTap(const TapRef&) {}
void disableTap(const TapRef&) {}
MonitorRef addMouseMonitor(std::function<void(const Event&)>) {
    return nullptr;
}
void removeMonitor(const MonitorRef&) {}

// Only the compositor knows where the pointer is, and it doesn't tell.
Point pointerLocation() {
    return {};
}

// The focused output, in layout coordinates.
std::optional<Rect> mainScreenFrame() {
    auto outputs = swayipc::ask(swayipc::getOutputs);
    if (!outputs) return std::nullopt;
    std::optional<Rect> first;
    for (auto& o : swaytree::activeOutputs(*outputs)) {
        Rect frame{o.rect.x, o.rect.y, o.rect.width, o.rect.height};
        if (o.focused) return frame;
        if (!first) first = frame;
    }
    return first;
}

} // namespace input::wlroots

namespace permissions::wlroots {

bool listenAccess() {
    return false;
}

// Asked of the compositor once: whether it offers screencopy to this client.
bool screenAccess() {
    static const bool offered = [] {
        auto c = wl::connect();
        return c && c->screencopy && c->shm;
    }();
    return offered;
}

} // namespace permissions::wlroots
