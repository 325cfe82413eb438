#pragma once
// A picture of one window, without the cursor or shadow, also where other windows cover it.
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace capture {

// Pixels as 8-bit BGRA rows, top row first; the fourth byte means nothing.
struct Picture {
    int width = 0;
    int height = 0;
    int stride = 0; // bytes per row
    std::vector<uint8_t> pixels;
};

enum class Failure {
    none,
    unavailable, // no capture facility (display gone, no compositing extension)
    windowGone,  // the window closed or was hidden after it was chosen
    failed,      // the window is there but its pixels could not be read
};

struct Result {
    Failure failure = Failure::none;
    std::shared_ptr<Picture> picture; // set exactly when failure is none; the receiver owns it
};

// Keeps every window's own pixels up to date, covered parts included, while held. A window's
// covered parts are only right in pictures taken while it was held from before they were
// covered, so hold it for as long as pictures may be wanted. Repeating a call is cheap.
void hold(bool on);

// Takes a picture of the window with this id (as the window list gives it), off the calling
// thread; done runs once, on a thread of the backend's choosing.
void captureWindow(uint32_t windowId, std::function<void(Result)> done);

} // namespace capture
