// Sleep, wake, lock and unlock from D-Bus: logind's PrepareForSleep and the session's LockedHint
// on the system bus, and the screen savers' ActiveChanged on the session bus. Buses are reached
// asynchronously, so a missing or slow bus never holds the main loop; a machine without one
// simply never reports what it would have said.
#include "platform/linux/sessionbus.h"
#include "platform/notices.h"

#include <gio/gio.h>
#include <unistd.h>

namespace notices {
namespace {

std::function<void()> sleepHandler, wakeHandler, lockHandler, unlockHandler;
bool locked = false; // several sources report one lock: only changes are passed on
bool started = false;

void fire(const std::function<void()>& handler) {
    if (handler) handler();
}

void setLocked(bool now) {
    if (now == locked) return;
    locked = now;
    fire(now ? lockHandler : unlockHandler);
}

void onPrepareForSleep(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                       GVariant* parameters, gpointer) {
    gboolean start = FALSE;
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)"))) return;
    g_variant_get(parameters, "(b)", &start);
    fire(start ? sleepHandler : wakeHandler);
}

void onSessionProperties(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                         GVariant* parameters, gpointer) {
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sa{sv}as)"))) return;
    const gchar* iface = nullptr;
    GVariant* changed = nullptr;
    g_variant_get(parameters, "(&s@a{sv}@as)", &iface, &changed, nullptr);
    gboolean hint = FALSE;
    if (g_str_equal(iface, "org.freedesktop.login1.Session") &&
        g_variant_lookup(changed, "LockedHint", "b", &hint))
        setLocked(hint);
    g_variant_unref(changed);
}

void onActiveChanged(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                     GVariant* parameters, gpointer) {
    gboolean active = FALSE;
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)"))) return;
    g_variant_get(parameters, "(b)", &active);
    setLocked(active);
}

void subscribe(GDBusConnection* bus, const char* iface, const char* member, const char* path,
               GDBusSignalCallback callback) {
    g_dbus_connection_signal_subscribe(bus, nullptr, iface, member, path, nullptr,
                                       G_DBUS_SIGNAL_FLAGS_NONE, callback, nullptr, nullptr);
}

void onSession(GObject* source, GAsyncResult* result, gpointer) {
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
    if (!reply) return;
    const gchar* path = nullptr;
    g_variant_get(reply, "(&o)", &path);
    subscribe(G_DBUS_CONNECTION(source), "org.freedesktop.DBus.Properties", "PropertiesChanged",
              path, onSessionProperties);
    g_variant_unref(reply);
}

void onSystemBus(GObject*, GAsyncResult* result, gpointer) {
    GDBusConnection* bus = g_bus_get_finish(result, nullptr);
    if (!bus) return; // kept for the life of the process when there is one
    subscribe(bus, "org.freedesktop.login1.Manager", "PrepareForSleep", "/org/freedesktop/login1",
              onPrepareForSleep);
    // Our session: the one of this process, or the one the environment names.
    const char* id = g_getenv("XDG_SESSION_ID");
    bool byId = id && *id;
    g_dbus_connection_call(
        bus, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
        byId ? "GetSession" : "GetSessionByPID",
        byId ? g_variant_new("(s)", id) : g_variant_new("(u)", static_cast<guint32>(::getpid())),
        G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, 2000, nullptr, onSession, nullptr);
}

void onSessionBus(GObject*, GAsyncResult* result, gpointer) {
    GDBusConnection* bus = g_bus_get_finish(result, nullptr);
    if (!bus) return;
    subscribe(bus, "org.freedesktop.ScreenSaver", "ActiveChanged", nullptr, onActiveChanged);
    subscribe(bus, "org.gnome.ScreenSaver", "ActiveChanged", nullptr, onActiveChanged);
}

// The buses are asked once, when the first handler is installed on the main thread.
void start() {
    if (started) return;
    started = true;
    g_bus_get(G_BUS_TYPE_SYSTEM, nullptr, onSystemBus, nullptr);
    if (xlinux::sessionBusKnown()) g_bus_get(G_BUS_TYPE_SESSION, nullptr, onSessionBus, nullptr);
}

} // namespace

void onSleep(std::function<void()> handler) {
    sleepHandler = std::move(handler);
    start();
}
void onWake(std::function<void()> handler) {
    wakeHandler = std::move(handler);
    start();
}
void onLock(std::function<void()> handler) {
    lockHandler = std::move(handler);
    start();
}
void onUnlock(std::function<void()> handler) {
    unlockHandler = std::move(handler);
    start();
}

} // namespace notices
