// Sleep, wake, lock and unlock from D-Bus: logind's PrepareForSleep and the session's LockedHint
// on the system bus, and the screen savers' ActiveChanged on the session bus. Buses are reached
// asynchronously, so a missing or hung bus never holds the main loop; a machine without one
// simply never reports what it would have said. Each bus has a connection of our own: GIO's
// shared ones end the process when their bus goes away. A bus that goes away is reached again,
// with growing pauses, and everything is subscribed to again.
#include "platform/linux/shared/sessionbus.h"
#include "platform/notices.h"

#include <algorithm>
#include <gio/gio.h>
#include <string>
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

void watchSystemBus(GDBusConnection* bus) {
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

void watchSessionBus(GDBusConnection* bus) {
    subscribe(bus, "org.freedesktop.ScreenSaver", "ActiveChanged", nullptr, onActiveChanged);
    subscribe(bus, "org.gnome.ScreenSaver", "ActiveChanged", nullptr, onActiveChanged);
}

struct Link {
    std::string (*address)();
    void (*watch)(GDBusConnection*);
    GDBusConnection* connection = nullptr;
    GCancellable* pending = nullptr;
    guint backOffMs = 0;
};

std::string systemAddress() {
    gchar* a = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    std::string address = a ? a : "";
    g_free(a);
    return address;
}

Link systemLink{systemAddress, watchSystemBus};
Link sessionLink{sessionbus::sessionBusAddress, watchSessionBus};

constexpr guint firstBackOffMs = 500, longestBackOffMs = 15000, handshakeMs = 5000;

void reach(Link& link);

void later(Link& link) {
    link.backOffMs = std::clamp(link.backOffMs * 2, firstBackOffMs, longestBackOffMs);
    g_timeout_add(
        link.backOffMs,
        [](gpointer data) {
            reach(*static_cast<Link*>(data));
            return G_SOURCE_REMOVE;
        },
        &link);
}

void onClosed(GDBusConnection* closed, gboolean, GError*, gpointer data) {
    Link& link = *static_cast<Link*>(data);
    if (link.connection != closed) return;
    link.connection = nullptr;
    g_object_unref(closed); // the emission holds a reference of its own
    later(link);
}

void onConnected(GObject*, GAsyncResult* result, gpointer data) {
    Link& link = *static_cast<Link*>(data);
    g_clear_object(&link.pending);
    GDBusConnection* bus = g_dbus_connection_new_for_address_finish(result, nullptr);
    if (!bus) {
        later(link);
        return;
    }
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    link.connection = bus;
    link.backOffMs = 0;
    g_signal_connect(bus, "closed", G_CALLBACK(onClosed), &link);
    link.watch(bus);
}

void reach(Link& link) {
    if (link.connection || link.pending) return;
    std::string address = link.address();
    if (address.empty()) return;
    link.pending = g_cancellable_new();
    g_dbus_connection_new_for_address(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, link.pending, onConnected, &link);
    // A bus that takes our connection but never answers (a stopped daemon) is tried again.
    g_timeout_add(
        handshakeMs,
        [](gpointer data) {
            GCancellable* pending = static_cast<GCancellable*>(data);
            g_cancellable_cancel(pending);
            g_object_unref(pending);
            return G_SOURCE_REMOVE;
        },
        g_object_ref(link.pending));
}

// The buses are asked once, when the first handler is installed on the main thread.
void start() {
    if (started) return;
    started = true;
    reach(systemLink);
    if (sessionbus::sessionBusKnown()) reach(sessionLink);
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
