#pragma once
// The window list, front to back, as the host's window server describes it.
#include <optional>
#include <string>
#include <vector>

namespace windows {

// A rectangle in global screen points, origin at the top left of the main display.
struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
    // The lower edges belong to the rectangle, the upper edges do not.
    bool contains(double px, double py) const {
        return px >= x && px < x + width && py >= y && py < y + height;
    }
};

struct Info {
    unsigned long number = 0; // the window's id
    int pid = -1;             // owner process; -1 when unknown
    int layer = 0;            // 0 for ordinary windows; docks, menus and overlays are higher
    double alpha = 1;
    std::optional<Rect> bounds; // frame included; absent when it cannot be read
    std::string title;
    // Where the window takes pointer input, as rectangles in the same space; absent when that is
    // all of bounds. Input-transparent parts (shaped windows, the shadow margins of windows
    // that draw their own frame) are left out: a press there goes to the window below.
    std::optional<std::vector<Rect>> input;

    bool takesInputAt(double px, double py) const {
        if (!bounds || !bounds->contains(px, py)) return false;
        if (!input) return true;
        for (const Rect& r : *input)
            if (r.contains(px, py)) return true;
        return false;
    }
};

// Layers on the host's scale.
constexpr int normalLayer = 0;
constexpr int floatingLayer = 3;
constexpr int dockLayer = 20;
constexpr int statusLayer = 25;
constexpr int popUpMenuLayer = 101;
constexpr int helpLayer = 200;
constexpr int draggingLayer = 500;

// Windows on screen, desktop elements left out, frontmost first. nullopt when the list cannot be
// had.
std::optional<std::vector<Info>> onScreen();

} // namespace windows
