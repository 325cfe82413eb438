#include "platform/system.h"
#include "platform/permissions.h"
#include "platform/sim/desktop.h"

namespace {
sim::Permissions granted{};
std::string version = "Simulated OS 1.0";
} // namespace

namespace sim {
void setPermissions(Permissions p) {
    granted = p;
}
void setVersionString(std::string v) {
    version = std::move(v);
}
} // namespace sim

namespace permissions {
bool accessibilityTrusted() {
    return granted.ax;
}
bool listenAccess() {
    return granted.listen;
}
bool screenAccess() {
    return granted.screen;
}
} // namespace permissions

namespace sys {
std::string versionString() {
    return version;
}
int processId() {
    return 4242;
}
int parentProcessId() {
    return 4241;
}
} // namespace sys
