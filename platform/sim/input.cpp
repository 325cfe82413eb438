#include "platform/input.h"
#include "platform/permissions.h"
#include "platform/sim/desktop.h"

namespace input {

struct Tap {
    bool withKeys = false;
    bool enabled = true;
    std::function<void(const Event&)> callback;
};

struct Monitor {
    std::function<void(const Event&)> handler;
};

} // namespace input

namespace {
bool tapsPossible = true;
std::weak_ptr<input::Tap> lastTap;
std::weak_ptr<input::Monitor> lastMonitor;
} // namespace

namespace sim {
void setTapPossible(bool possible) {
    tapsPossible = possible;
}
bool tapLive() {
    auto t = lastTap.lock();
    return t && t->enabled;
}
bool tapHasKeys() {
    auto t = lastTap.lock();
    return t && t->withKeys;
}
bool monitorLive() {
    auto m = lastMonitor.lock();
    return m && m->handler;
}
void sendInput(const input::Event& e) {
    if (auto t = lastTap.lock(); t && t->enabled && t->callback)
        t->callback(e);
    else if (auto m = lastMonitor.lock(); m && m->handler)
        m->handler(e);
}
} // namespace sim

namespace input {

TapRef createTap(bool withKeys, std::function<void(const Event&)> callback) {
    if (!tapsPossible) return nullptr;
    auto tap = std::make_shared<Tap>();
    tap->withKeys = withKeys;
    tap->callback = std::move(callback);
    lastTap = tap;
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
    lastMonitor = m;
    return m;
}

void removeMonitor(const MonitorRef& monitor) {
    if (monitor) monitor->handler = nullptr;
}

} // namespace input
