#pragma once
// Listening to the person's input. Event types, key codes and modifier masks use the values the
// host's protocol is written in; a backend translates its own events into them.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace input {

// Event types delivered by a tap.
inline constexpr uint32_t leftMouseDown = 1;
inline constexpr uint32_t rightMouseDown = 3;
inline constexpr uint32_t keyDown = 10;
inline constexpr uint32_t scrollWheel = 22;
// The tap was switched off by the system (time-out, or user input); it should be re-enabled.
inline constexpr uint32_t tapDisabledByTimeout = 0xFFFFFFFE;
inline constexpr uint32_t tapDisabledByUserInput = 0xFFFFFFFF;

// Modifier bits of Event::flags.
inline constexpr uint64_t maskShift = 0x20000;
inline constexpr uint64_t maskControl = 0x40000;
inline constexpr uint64_t maskAlternate = 0x80000;
inline constexpr uint64_t maskCommand = 0x100000;

struct Event {
    uint32_t type = 0;
    double x = 0, y = 0; // global points, origin top left of the main display
    uint64_t flags = 0;  // modifier mask
    int64_t keyCode = 0; // virtual key code of the key's position; meaningless for mouse events
};

// A listen-only tap on mouse downs and scrolls, and key downs when withKeys. The callback runs
// on a thread of the backend's choosing and must only hand the event over. nullptr when no tap
// can be made.
struct Tap;
using TapRef = std::shared_ptr<Tap>;
TapRef createTap(bool withKeys, std::function<void(const Event&)> callback);
void enableTap(const TapRef& tap);
void disableTap(const TapRef& tap); // stops delivery; the tap is gone once released

// The mouse-only fallback when no tap can be made; the handler runs on the main thread and
// reads the pointer itself (the event's position is not used).
struct Monitor;
using MonitorRef = std::shared_ptr<Monitor>;
MonitorRef addMouseMonitor(std::function<void(const Event&)> handler);
void removeMonitor(const MonitorRef& monitor);

// The name of the modifier that is the platform's command key for copy, cut and paste: "cmd" on
// the host's platform, "ctrl" where Control plays that part (Linux).
const char* commandKeyName();

// True while some application has secure keyboard entry on (a password being typed).
bool secureInputEnabled();

// Seconds since the person last used keyboard or mouse.
double secondsSinceLastInput();

// The pointer, bottom-left based as the window system gives it, and the main screen's frame.
struct Rect {
    double x = 0, y = 0, w = 0, h = 0;
};
struct Point {
    double x = 0, y = 0;
};
Point pointerLocation();
std::optional<Rect> mainScreenFrame();

} // namespace input
