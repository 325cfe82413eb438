#pragma once
// Listening to the person's input.
#include <functional>
#include <memory>

namespace input {

struct Event {
    enum class Type { KeyDown, LeftDown, RightDown, ScrollWheel, FlagsChanged } type{};
    int keyCode = 0;        // virtual key code (key events)
    unsigned long long flags = 0; // modifier mask
    double x = 0, y = 0;    // pointer position in global points
    double scrollLines = 0; // wheel movement in lines
};

// A listen-only tap on keys (when withKeys) and mouse events. nullptr when none can be made.
struct Tap;
using TapRef = std::shared_ptr<Tap>;
TapRef createTap(bool withKeys, std::function<void(const Event&)> callback);
void disableTap(const TapRef& tap); // stops delivery; the tap is gone once released

// The mouse-only fallback when no tap can be made.
struct Monitor;
using MonitorRef = std::shared_ptr<Monitor>;
MonitorRef addMouseMonitor(std::function<void(const Event&)> handler);
void removeMonitor(const MonitorRef& monitor);

} // namespace input
