// The person's input, idle time and the clipboard on GNOME. Mutter hands no client the input of
// the whole desktop or the clipboard of another application (it has no data-control).
#include "platform/linux/shared/backend.h"
#include "platform/linux/wayland/gnome/mutter.h"

namespace input::gnome {

// Keys and wheels of the whole desktop from the kernel's input devices, read as on wlroots where
// the person grants read access: Mutter hands them to no client either.
TapRef createTap(bool withKeys, std::function<void(const Event&)> callback) {
    return wlroots::createTap(withKeys, std::move(callback));
}
void enableTap(const TapRef& tap) {
    wlroots::enableTap(tap);
}
void disableTap(const TapRef& tap) {
    wlroots::disableTap(tap);
}
// Clicks need the pointer's place, which Mutter doesn't tell: no monitor.
MonitorRef addMouseMonitor(std::function<void(const Event&)>) {
    return nullptr;
}
void removeMonitor(const MonitorRef&) {}

// Mutter's own idle monitor counts from the last input of any device, virtual ones included.
double secondsSinceLastInput() {
    auto r = mutter::call("org.gnome.Mutter.IdleMonitor", "/org/gnome/Mutter/IdleMonitor/Core",
                          "org.gnome.Mutter.IdleMonitor", "GetIdletime", nullptr, "(t)", 250);
    if (!r) return 0;
    guint64 ms = 0;
    g_variant_get(r.get(), "(t)", &ms);
    return double(ms) / 1000.0;
}

// Only the compositor knows where the pointer is, and it doesn't tell.
Point pointerLocation() {
    return {};
}

std::optional<Rect> mainScreenFrame() {
    auto size = mutter::monitorSize();
    if (!size) return std::nullopt;
    return Rect{0, 0, size->first, size->second};
}

} // namespace input::gnome

namespace permissions::gnome {

bool listenAccess() {
    return wlroots::listenAccess();
}

// Screen casts of a monitor, which hold the front window only when it fills the monitor.
bool screenAccess() {
    static const bool offered = mutter::present("org.gnome.Mutter.ScreenCast");
    return offered;
}

} // namespace permissions::gnome

namespace pasteboard::gnome {

long changeCount() {
    return 0;
}
double changedAt() {
    return 0;
}
std::vector<std::string> types() {
    return {};
}
std::optional<std::string> plainText() {
    return std::nullopt;
}

} // namespace pasteboard::gnome
