#pragma once
// The session bus as Mutter's D-Bus interfaces need it: a connection of this backend's own
// (GDBus is thread-safe), never one that starts a bus.
#include "platform/linux/shared/atspi.h"
#include "platform/windows.h"

#include <gio/gio.h>
#include <optional>
#include <string>

namespace mutter {

// nullptr when there is no session bus.
GDBusConnection* bus();

// One call; nullptr on any failure or after timeoutMs.
atspi::Variant call(const char* dest, const char* path, const char* iface, const char* method,
                    GVariant* params, const char* replyType, int timeoutMs = 1000);

// Whether a name has an owner on the session bus.
bool present(const char* name);

// The active frame's facts as the accessibility bus tells them. Mutter tells no client where a
// window lies: the position is never known, the size only as the toolkit reports it.
struct Frame {
    std::string bus, path, name;
    std::string app; // the application's name on the accessibility bus
    int pid = -1;
    std::optional<std::pair<double, double>> size;
};
std::optional<Frame> activeFrame();

// The name a process's application gives itself on the accessibility bus; "" when none.
std::string applicationName(int pid);

// The active frame as a window: it takes input everywhere only when it fills the monitor; else
// it lies somewhere on it, and no point is known to be its own.
windows::Info windowOf(const Frame& f, std::optional<std::pair<double, double>> monitor);

// The virtual monitor's (or first monitor's) size from DisplayConfig.
std::optional<std::pair<double, double>> monitorSize();

// A frame's window number: stable while the frame exists, never 0.
unsigned long numberOf(const std::string& bus, const std::string& path);

} // namespace mutter
