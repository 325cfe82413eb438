// The session bus for Mutter's interfaces, and what the accessibility bus tells of the active
// frame: Mutter gives no client a window list, so the front window is the frame that says it is
// active.
#include "platform/linux/wayland/gnome/mutter.h"
#include "platform/linux/shared/sessionbus.h"

#include <atspi/atspi-constants.h>
#include <map>
#include <mutex>
#include <vector>

namespace mutter {

GDBusConnection* bus() {
    static GDBusConnection* connection = [] {
        std::string address = sessionbus::sessionBusAddress();
        if (address.empty()) return static_cast<GDBusConnection*>(nullptr);
        return g_dbus_connection_new_for_address_sync(
            address.c_str(),
            GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                 G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr);
    }();
    return connection;
}

atspi::Variant call(const char* dest, const char* path, const char* iface, const char* method,
                    GVariant* params, const char* replyType, int timeoutMs) {
    GDBusConnection* c = bus();
    if (!c) {
        if (params && g_variant_is_floating(params)) g_variant_unref(g_variant_ref_sink(params));
        return nullptr;
    }
    return atspi::Variant(g_dbus_connection_call_sync(
        c, dest, path, iface, method, params, replyType ? G_VARIANT_TYPE(replyType) : nullptr,
        G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr, nullptr));
}

bool present(const char* name) {
    auto r = call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                  "NameHasOwner", g_variant_new("(s)", name), "(b)", 500);
    gboolean owned = FALSE;
    if (r) g_variant_get(r.get(), "(b)", &owned);
    return owned;
}

namespace {

constexpr int atspiTimeoutMs = 250;
constexpr const char* rootPath = "/org/a11y/atspi/accessible/root";

bool active(const std::string& bus, const std::string& path) {
    auto r = atspi::call(bus, path, "org.a11y.atspi.Accessible", "GetState", nullptr, "(au)",
                         atspiTimeoutMs);
    if (!r) return false;
    GVariant* words = g_variant_get_child_value(r.get(), 0);
    gsize n = 0;
    const auto* w = static_cast<const guint32*>(g_variant_get_fixed_array(words, &n, 4));
    bool on = n > 0 && (w[0] & (1u << ATSPI_STATE_ACTIVE));
    g_variant_unref(words);
    return on;
}

std::string nameOf(const std::string& bus, const std::string& path) {
    auto r = atspi::call(bus, path, "org.freedesktop.DBus.Properties", "Get",
                         g_variant_new("(ss)", "org.a11y.atspi.Accessible", "Name"), "(v)",
                         atspiTimeoutMs);
    if (!r) return {};
    GVariant* v = nullptr;
    g_variant_get(r.get(), "(v)", &v);
    std::string name =
        g_variant_is_of_type(v, G_VARIANT_TYPE_STRING) ? g_variant_get_string(v, nullptr) : "";
    g_variant_unref(v);
    return name;
}

std::optional<std::pair<double, double>> sizeOf(const std::string& bus, const std::string& path) {
    auto r = atspi::call(bus, path, "org.a11y.atspi.Component", "GetExtents",
                         g_variant_new("(u)", ATSPI_COORD_TYPE_WINDOW), "((iiii))", atspiTimeoutMs);
    if (!r) return std::nullopt;
    int x, y, w, h;
    g_variant_get(r.get(), "((iiii))", &x, &y, &w, &h);
    if (w <= 0 || h <= 0) return std::nullopt;
    return std::make_pair(double(w), double(h));
}

} // namespace

std::optional<Frame> activeFrame() {
    // The accessibility bus is reached in the background; a one-shot caller waits for it once.
    if (!atspi::connected(1000)) return std::nullopt;
    for (const std::string& app : atspi::applications(atspiTimeoutMs)) {
        auto r = atspi::call(app, rootPath, "org.a11y.atspi.Accessible", "GetChildren", nullptr,
                             "(a(so))", atspiTimeoutMs);
        if (!r) continue;
        GVariantIter* it = nullptr;
        g_variant_get(r.get(), "(a(so))", &it);
        const char *bus = nullptr, *path = nullptr;
        std::optional<Frame> found;
        while (!found && g_variant_iter_loop(it, "(&s&o)", &bus, &path))
            if (active(bus, path)) found = Frame{bus, path, "", "", -1, std::nullopt};
        g_variant_iter_free(it);
        if (!found) continue;
        found->pid = atspi::pidOf(found->bus, atspiTimeoutMs);
        if (found->pid < 1) continue;
        found->name = nameOf(found->bus, found->path);
        found->size = sizeOf(found->bus, found->path);
        found->app = nameOf(app, rootPath);
        return found;
    }
    return std::nullopt;
}

std::string applicationName(int pid) {
    if (pid < 1 || !atspi::connected(1000)) return {};
    for (const std::string& app : atspi::applications(atspiTimeoutMs))
        if (atspi::pidOf(app, atspiTimeoutMs) == pid) return nameOf(app, rootPath);
    return {};
}

std::optional<std::pair<double, double>> monitorSize() {
    auto r = call("org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig",
                  "org.gnome.Mutter.DisplayConfig", "GetCurrentState", nullptr, nullptr);
    if (!r || !g_variant_is_of_type(r.get(), G_VARIANT_TYPE("(ua((ssss)a(siiddada{sv})a{sv})"
                                                            "a(iiduba(ssss)a{sv})a{sv})")))
        return std::nullopt;
    // Each monitor's modes; the current one carries "is-current".
    GVariant* monitors = g_variant_get_child_value(r.get(), 1);
    std::optional<std::pair<double, double>> size;
    for (gsize m = 0; !size && m < g_variant_n_children(monitors); ++m) {
        GVariant* monitor = g_variant_get_child_value(monitors, m);
        GVariant* modes = g_variant_get_child_value(monitor, 1);
        for (gsize i = 0; !size && i < g_variant_n_children(modes); ++i) {
            GVariant* mode = g_variant_get_child_value(modes, i);
            int w = 0, h = 0;
            GVariant* props = g_variant_get_child_value(mode, 6);
            gboolean current = FALSE;
            g_variant_lookup(props, "is-current", "b", &current);
            g_variant_get_child(mode, 1, "i", &w);
            g_variant_get_child(mode, 2, "i", &h);
            if (current && w > 0 && h > 0) size = std::make_pair(double(w), double(h));
            g_variant_unref(props);
            g_variant_unref(mode);
        }
        g_variant_unref(modes);
        g_variant_unref(monitor);
    }
    g_variant_unref(monitors);
    return size;
}

namespace {
std::mutex numbersLock;
std::map<std::pair<std::string, std::string>, unsigned long> numbers;
} // namespace

unsigned long numberOf(const std::string& bus, const std::string& path) {
    std::lock_guard<std::mutex> hold(numbersLock);
    return numbers.try_emplace({bus, path}, numbers.size() + 1).first->second;
}

// The active frame as a window: it takes input everywhere only when it fills the monitor; else
// it lies somewhere on it, and no point is known to be its own.
windows::Info windowOf(const Frame& f, std::optional<std::pair<double, double>> monitor) {
    windows::Info w;
    w.number = numberOf(f.bus, f.path);
    w.pid = f.pid;
    w.title = f.name;
    if (!monitor) return w;
    w.bounds = windows::Rect{0, 0, monitor->first, monitor->second};
    if (!f.size || f.size->first < monitor->first || f.size->second < monitor->second)
        w.input = std::vector<windows::Rect>{};
    return w;
}

} // namespace mutter
