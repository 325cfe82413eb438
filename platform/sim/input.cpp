#include "platform/input.h"
#include "platform/permissions.h"
#include "platform/sim/desktop.h"
#include "platform/sim/sim.h"

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
bool secureInput = false;
std::optional<double> lastInputAt; // unset: the person counts as present
input::Point pointer;
std::optional<input::Rect> mainScreen = input::Rect{0, 0, 1440, 900};
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
    lastInputAt = clock();
    if (auto t = lastTap.lock(); t && t->enabled && t->callback) {
        // Key events reach only a tap made with keys.
        if (e.type != input::keyDown || t->withKeys) t->callback(e);
    } else if (auto m = lastMonitor.lock(); m && m->handler && e.type != input::keyDown) {
        m->handler(e);
    }
}
void touchInput() {
    lastInputAt = clock();
}
void setSecureInput(bool on) {
    secureInput = on;
}
void setPointer(double x, double y) {
    pointer = {x, y};
}
void setMainScreen(std::optional<input::Rect> frame) {
    mainScreen = frame;
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

const char* commandKeyName() {
    return "cmd";
}

bool secureInputEnabled() {
    return secureInput;
}

double secondsSinceLastInput() {
    return lastInputAt ? sim::clock() - *lastInputAt : 0;
}

Point pointerLocation() {
    return pointer;
}

std::optional<Rect> mainScreenFrame() {
    return mainScreen;
}

} // namespace input
