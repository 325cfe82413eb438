#include "platform/permissions.h"
#include "platform/linux/xdisplay.h"

#include <X11/extensions/XInput2.h>
#include <gio/gio.h>

namespace permissions {

namespace {
// Without an address GIO would start a session bus of its own (dbus-launch), a process that
// outlives the watcher; a test must never start anything.
bool sessionBusKnown() {
    const char* address = g_getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address && *address) return true;
    const char* runtime = g_getenv("XDG_RUNTIME_DIR");
    if (!runtime || !*runtime) return false;
    gchar* socket = g_build_filename(runtime, "bus", nullptr);
    bool found = g_file_test(socket, G_FILE_TEST_EXISTS);
    g_free(socket);
    return found;
}
} // namespace

bool accessibilityTrusted() {
    // The accessibility bus is reachable when its launcher answers on the session bus.
    if (!sessionBusKnown()) return false;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!bus) return false;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", nullptr,
        G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, 250, nullptr, nullptr);
    g_object_unref(bus);
    if (!reply) return false;
    const gchar* address = nullptr;
    g_variant_get(reply, "(&s)", &address);
    bool ok = address && *address;
    g_variant_unref(reply);
    return ok;
}

bool listenAccess() {
    Display* dpy = xlinux::display();
    if (!dpy) return false;
    int opcode, event, error;
    if (!XQueryExtension(dpy, "XInputExtension", &opcode, &event, &error)) return false;
    int major = 2, minor = 0;
    return XIQueryVersion(dpy, &major, &minor) == Success;
}

bool screenAccess() {
    return xlinux::hasExtension("Composite");
}

} // namespace permissions
