#pragma once
// Whether a session bus is there to be reached. Without an address GIO would start one of its
// own (dbus-launch), a process that outlives the watcher: nothing here may start anything.
#include <gio/gio.h>
#include <string>

namespace sessionbus {

inline bool sessionBusKnown() {
    const char* address = g_getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address && *address) return true;
    const char* runtime = g_getenv("XDG_RUNTIME_DIR");
    if (!runtime || !*runtime) return false;
    gchar* socket = g_build_filename(runtime, "bus", nullptr);
    bool found = g_file_test(socket, G_FILE_TEST_EXISTS);
    g_free(socket);
    return found;
}

// The session bus's address as the environment gives it; "" when none (never "autolaunch:").
inline std::string sessionBusAddress() {
    const char* address = g_getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address && *address) return address;
    const char* runtime = g_getenv("XDG_RUNTIME_DIR");
    if (!runtime || !*runtime) return {};
    gchar* socket = g_build_filename(runtime, "bus", nullptr);
    std::string found;
    if (g_file_test(socket, G_FILE_TEST_EXISTS)) found = std::string("unix:path=") + socket;
    g_free(socket);
    return found;
}

} // namespace sessionbus
