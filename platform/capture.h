#pragma once
// A picture of one window, without the cursor or shadow.
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace capture {

// Pixels as 8-bit BGRA rows, top row first.
struct Picture {
    int width = 0;
    int height = 0;
    int stride = 0; // bytes per row
    std::vector<uint8_t> pixels;
};
using PictureRef = std::shared_ptr<const Picture>;

// Whether pictures can be taken at all now (never asks the person).
bool available();

// Takes a picture of the window with this id; done runs on a thread of the backend's choosing
// with the picture, or nullptr when capture failed.
void captureWindow(uint32_t windowId, std::function<void(PictureRef)> done);

} // namespace capture
