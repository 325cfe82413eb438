// Facilities a wlroots session does not give this program yet: each answers as unavailable.
#include "platform/linux/shared/backend.h"

namespace capture::wlroots {
void hold(bool) {}
void captureWindow(uint32_t, std::function<void(Result)> done) {
    done(Result{Failure::unavailable, nullptr});
}
} // namespace capture::wlroots

namespace input::wlroots {
TapRef createTap(bool, std::function<void(const Event&)>) {
    return nullptr;
}
void enableTap(const TapRef&) {}
void disableTap(const TapRef&) {}
MonitorRef addMouseMonitor(std::function<void(const Event&)>) {
    return nullptr;
}
void removeMonitor(const MonitorRef&) {}
double secondsSinceLastInput() {
    return 0;
}
Point pointerLocation() {
    return {};
}
std::optional<Rect> mainScreenFrame() {
    return std::nullopt;
}
} // namespace input::wlroots

namespace pasteboard::wlroots {
long changeCount() {
    return 0;
}
std::vector<std::string> types() {
    return {};
}
std::optional<std::string> plainText() {
    return std::nullopt;
}
} // namespace pasteboard::wlroots

namespace permissions::wlroots {
bool listenAccess() {
    return false;
}
bool screenAccess() {
    return false;
}
} // namespace permissions::wlroots
