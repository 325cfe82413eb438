// Forwards each display-server facility to the backend chosen at start, the way wlroots picks
// its own backend: a Wayland session when the environment names one, else X.
#include "platform/linux/shared/backend.h"
#include "platform/notices.h"
#include "platform/pasteboard.h"
#include "platform/permissions.h"

#include <cstdlib>

namespace backend {

Kind kindFor(const char* waylandDisplay, const char* waylandSocket) {
    if ((waylandDisplay && *waylandDisplay) || (waylandSocket && *waylandSocket))
        return Kind::wlroots;
    return Kind::x11;
}

Kind kind() {
    static const Kind chosen =
        kindFor(std::getenv("WAYLAND_DISPLAY"), std::getenv("WAYLAND_SOCKET"));
    return chosen;
}

} // namespace backend

#define ZEPHRIN_FORWARD(call)                                                                      \
    (backend::kind() == backend::Kind::wlroots ? wlroots::call : x11::call)

namespace capture {
void hold(bool on) {
    ZEPHRIN_FORWARD(hold(on));
}
void captureWindow(uint32_t windowId, std::function<void(Result)> done) {
    ZEPHRIN_FORWARD(captureWindow(windowId, std::move(done)));
}
} // namespace capture

namespace input {
TapRef createTap(bool withKeys, std::function<void(const Event&)> callback) {
    return ZEPHRIN_FORWARD(createTap(withKeys, std::move(callback)));
}
void enableTap(const TapRef& tap) {
    ZEPHRIN_FORWARD(enableTap(tap));
}
void disableTap(const TapRef& tap) {
    ZEPHRIN_FORWARD(disableTap(tap));
}
MonitorRef addMouseMonitor(std::function<void(const Event&)> handler) {
    return ZEPHRIN_FORWARD(addMouseMonitor(std::move(handler)));
}
void removeMonitor(const MonitorRef& monitor) {
    ZEPHRIN_FORWARD(removeMonitor(monitor));
}
double secondsSinceLastInput() {
    return ZEPHRIN_FORWARD(secondsSinceLastInput());
}
Point pointerLocation() {
    return ZEPHRIN_FORWARD(pointerLocation());
}
std::optional<Rect> mainScreenFrame() {
    return ZEPHRIN_FORWARD(mainScreenFrame());
}
const char* commandKeyName() {
    return "ctrl";
}
} // namespace input

namespace notices {
void onActivate(std::function<void(const std::optional<workspace::App>&)> handler) {
    ZEPHRIN_FORWARD(onActivate(std::move(handler)));
}
void onFrontWindow(std::function<void()> handler) {
    ZEPHRIN_FORWARD(onFrontWindow(std::move(handler)));
}
} // namespace notices

namespace pasteboard {
long changeCount() {
    return ZEPHRIN_FORWARD(changeCount());
}
std::vector<std::string> types() {
    return ZEPHRIN_FORWARD(types());
}
std::optional<std::string> plainText() {
    return ZEPHRIN_FORWARD(plainText());
}
} // namespace pasteboard

namespace permissions {
bool listenAccess() {
    return ZEPHRIN_FORWARD(listenAccess());
}
bool screenAccess() {
    return ZEPHRIN_FORWARD(screenAccess());
}
} // namespace permissions

namespace post {
Result post(const Event& event) {
    return ZEPHRIN_FORWARD(post(event));
}
void prepareText(const std::u16string& text) {
    ZEPHRIN_FORWARD(prepareText(text));
}
bool keysRead() {
    return ZEPHRIN_FORWARD(keysRead());
}
void pause(int ms) {
    ZEPHRIN_FORWARD(pause(ms));
}
void finish() {
    ZEPHRIN_FORWARD(finish());
}
void whenConnectionLost(void (*handler)()) {
    ZEPHRIN_FORWARD(whenConnectionLost(handler));
}
bool inputTrusted() {
    return ZEPHRIN_FORWARD(inputTrusted());
}
} // namespace post

namespace windows {
std::optional<std::vector<Info>> onScreen() {
    return ZEPHRIN_FORWARD(onScreen());
}
} // namespace windows

namespace workspace {
std::optional<App> frontApplication() {
    return ZEPHRIN_FORWARD(frontApplication());
}
std::optional<App> runningApplication(int pid) {
    return ZEPHRIN_FORWARD(runningApplication(pid));
}
} // namespace workspace
