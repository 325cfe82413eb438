#include "platform/input.h"
#include "platform/permissions.h"

namespace input {

struct Tap {
    bool withKeys = false;
    bool enabled = true;
    std::function<void(const Event&)> callback;
};

struct Monitor {
    std::function<void(const Event&)> handler;
};

TapRef createTap(bool withKeys, std::function<void(const Event&)> callback) {
    if (!permissions::listenAccess()) return nullptr;
    auto tap = std::make_shared<Tap>();
    tap->withKeys = withKeys;
    tap->callback = std::move(callback);
    return tap;
}

void enableTap(const TapRef& tap) {
    if (tap) tap->enabled = true;
}

void disableTap(const TapRef& tap) {
    if (tap) tap->enabled = false;
}

MonitorRef addMouseMonitor(std::function<void(const Event&)> handler) {
    auto m = std::make_shared<Monitor>();
    m->handler = std::move(handler);
    return m;
}

void removeMonitor(const MonitorRef& monitor) {
    if (monitor) monitor->handler = nullptr;
}

} // namespace input
