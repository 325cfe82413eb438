#include "platform/permissions.h"
#include "platform/linux/sessionbus.h"
#include "platform/linux/xdisplay.h"

#include <X11/extensions/XInput2.h>
#include <gio/gio.h>

namespace permissions {

bool accessibilityTrusted() {
    // The accessibility bus is reachable when its launcher answers on the session bus.
    if (!xlinux::sessionBusKnown()) return false;
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
