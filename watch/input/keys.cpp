#include "watch/input/keys.h"
#include "platform/permissions.h"
#include "watch/core/emit.h"

input::TapRef tap;
input::MonitorRef globalMonitor;
long keyCount = 0;
double lastKeyAt = 0;

namespace {
void tapCallback(const input::Event& event) {
    // Key counting and shortcut naming plug in here with keyboard capture.
    (void)event;
}
} // namespace

void startInput() {
    tap = input::createTap(permissions::listenAccess(), tapCallback);
    if (!tap) globalMonitor = input::addMouseMonitor(tapCallback);
}

void stopInput() {
    if (tap) {
        input::disableTap(tap);
        tap.reset();
    }
    if (globalMonitor) {
        input::removeMonitor(globalMonitor);
        globalMonitor.reset();
    }
}

void flushKeys() {
    if (keyCount == 0) return;
    emitWith("keys", {{"count", keyCount}});
    keyCount = 0;
}
