// Forwards each display-server facility to the backend chosen at start, the way wlroots picks
// its own backend: a Wayland session when the environment names one, else X.
#include "platform/linux/shared/backend.h"
#include "platform/linux/shared/sessionbus.h"
#include "platform/notices.h"
#include "platform/pasteboard.h"
#include "platform/permissions.h"

#include <cstdlib>
#include <cstring>

namespace backend {

Kind kindFor(const char* waylandDisplay, const char* waylandSocket) {
    if ((waylandDisplay && *waylandDisplay) || (waylandSocket && *waylandSocket))
        return Kind::wlroots;
    return Kind::x11;
}

Kind kindFor(const char* waylandDisplay, const char* waylandSocket, const char* currentDesktop,
             bool mutterOnBus) {
    Kind k = kindFor(waylandDisplay, waylandSocket);
    if (k != Kind::wlroots) return k;
    // XDG_CURRENT_DESKTOP is a colon-separated list ("ubuntu:GNOME").
    std::string desktops = currentDesktop ? currentDesktop : "";
    for (std::size_t at = 0; at <= desktops.size();) {
        std::size_t end = desktops.find(':', at);
        if (end == std::string::npos) end = desktops.size();
        if (desktops.compare(at, end - at, "GNOME") == 0) return Kind::gnome;
        at = end + 1;
    }
    return mutterOnBus ? Kind::gnome : Kind::wlroots;
}

namespace {

// Asked only of a Wayland session that doesn't say which desktop it is: a bounded call on a
// connection of its own, which never starts a bus.
bool mutterOnBus() {
    std::string address = sessionbus::sessionBusAddress();
    if (address.empty()) return false;
    GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    if (!bus) return false;
    GVariant* r = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "NameHasOwner", g_variant_new("(s)", "org.gnome.Mutter.RemoteDesktop"),
        G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 500, nullptr, nullptr);
    gboolean owned = FALSE;
    if (r) {
        g_variant_get(r, "(b)", &owned);
        g_variant_unref(r);
    }
    g_dbus_connection_close_sync(bus, nullptr, nullptr);
    g_object_unref(bus);
    return owned;
}

} // namespace

Kind kind() {
    static const Kind chosen = [] {
        const char* display = std::getenv("WAYLAND_DISPLAY");
        const char* socket = std::getenv("WAYLAND_SOCKET");
        const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
        Kind k = kindFor(display, socket, desktop, false);
        if (k == Kind::wlroots) k = kindFor(display, socket, desktop, mutterOnBus());
        return k;
    }();
    return chosen;
}

} // namespace backend

#define ZEPHRIN_FORWARD(call)                                                                      \
    (backend::kind() == backend::Kind::wlroots ? wlroots::call                                     \
     : backend::kind() == backend::Kind::gnome ? gnome::call                                       \
                                               : x11::call)

namespace backend {
std::optional<WindowFacts> activeWindowOf(int pid, bool owner) {
    return ZEPHRIN_FORWARD(activeWindowOf(pid, owner));
}
std::optional<WindowFacts> windowFacts(unsigned long window) {
    return ZEPHRIN_FORWARD(windowFacts(window));
}
std::optional<ax::Point> contentOrigin(unsigned long window) {
    return ZEPHRIN_FORWARD(contentOrigin(window));
}
} // namespace backend

namespace capture {
void hold(bool on) {
    ZEPHRIN_FORWARD(hold(on));
}
void captureWindow(uint32_t windowId, std::function<void(Result)> done) {
    ZEPHRIN_FORWARD(captureWindow(windowId, std::move(done)));
}
} // namespace capture

namespace input {
TapRef createTap(bool withKeys, std::function<void(const Event&)> callback) {
    return ZEPHRIN_FORWARD(createTap(withKeys, std::move(callback)));
}
void enableTap(const TapRef& tap) {
    ZEPHRIN_FORWARD(enableTap(tap));
}
void disableTap(const TapRef& tap) {
    ZEPHRIN_FORWARD(disableTap(tap));
}
MonitorRef addMouseMonitor(std::function<void(const Event&)> handler) {
    return ZEPHRIN_FORWARD(addMouseMonitor(std::move(handler)));
}
void removeMonitor(const MonitorRef& monitor) {
    ZEPHRIN_FORWARD(removeMonitor(monitor));
}
double secondsSinceLastInput() {
    return ZEPHRIN_FORWARD(secondsSinceLastInput());
}
Point pointerLocation() {
    return ZEPHRIN_FORWARD(pointerLocation());
}
std::optional<Rect> mainScreenFrame() {
    return ZEPHRIN_FORWARD(mainScreenFrame());
}
const char* commandKeyName() {
    return "ctrl";
}
} // namespace input

namespace notices {
void onActivate(std::function<void(const std::optional<workspace::App>&)> handler) {
    ZEPHRIN_FORWARD(onActivate(std::move(handler)));
}
void onFrontWindow(std::function<void()> handler) {
    ZEPHRIN_FORWARD(onFrontWindow(std::move(handler)));
}
} // namespace notices

namespace pasteboard {
long changeCount() {
    return ZEPHRIN_FORWARD(changeCount());
}
double changedAt() {
    return ZEPHRIN_FORWARD(changedAt());
}
std::vector<std::string> types() {
    return ZEPHRIN_FORWARD(types());
}
std::optional<std::string> plainText() {
    return ZEPHRIN_FORWARD(plainText());
}
} // namespace pasteboard

namespace permissions {
bool listenAccess() {
    return ZEPHRIN_FORWARD(listenAccess());
}
bool screenAccess() {
    return ZEPHRIN_FORWARD(screenAccess());
}
} // namespace permissions

namespace post {
Result post(const Event& event) {
    return ZEPHRIN_FORWARD(post(event));
}
void prepareText(const std::u16string& text) {
    ZEPHRIN_FORWARD(prepareText(text));
}
bool keysRead() {
    return ZEPHRIN_FORWARD(keysRead());
}
void pause(int ms) {
    ZEPHRIN_FORWARD(pause(ms));
}
void finish() {
    ZEPHRIN_FORWARD(finish());
}
void whenConnectionLost(void (*handler)()) {
    ZEPHRIN_FORWARD(whenConnectionLost(handler));
}
bool inputTrusted() {
    return ZEPHRIN_FORWARD(inputTrusted());
}
} // namespace post

namespace windows {
std::optional<std::vector<Info>> onScreen() {
    return ZEPHRIN_FORWARD(onScreen());
}
} // namespace windows

namespace workspace {
std::optional<App> frontApplication() {
    return ZEPHRIN_FORWARD(frontApplication());
}
std::optional<App> runningApplication(int pid) {
    return ZEPHRIN_FORWARD(runningApplication(pid));
}
} // namespace workspace
