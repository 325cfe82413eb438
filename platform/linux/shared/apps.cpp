// What every Linux session tells alike, whatever the display server: from /proc and the
// accessibility bus.
#include "platform/input.h"
#include "platform/linux/shared/atspi.h"
#include "platform/linux/shared/ax_track.h"
#include "platform/permissions.h"
#include "platform/workspace.h"

#include <filesystem>
#include <string>

namespace input {

// No display server has a system-wide secure-entry flag: a password text holding the focus
// anywhere on the desktop stands for it, as the accessibility bus's focus events tell.
bool secureInputEnabled() {
    axtrack::start();
    return axtrack::passwordFocused();
}

} // namespace input

namespace workspace {

// Electron ships its application as resources/app.asar (or its own electron.asar) beside the
// executable.
bool electronApp(const App& app) {
    if (app.pid < 1) return false;
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/" + std::to_string(app.pid) + "/exe", ec);
    if (ec) return false;
    auto resources = exe.parent_path() / "resources";
    return std::filesystem::exists(resources / "app.asar", ec) ||
           std::filesystem::exists(resources / "electron.asar", ec);
}

} // namespace workspace

namespace permissions {

bool accessibilityTrusted() {
    // Connected to the accessibility bus now. Only the very first answer waits, briefly, for the
    // first attempt (made on a thread of its own) to end; a hung bus reads as none.
    return atspi::connected(1000);
}

} // namespace permissions
