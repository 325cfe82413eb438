#pragma once
// Keeping captured window pictures as frame files: shrink, hash, drop near-duplicates, write.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A captured picture as plain bytes, so capture back ends hand over no platform type.
// Four bytes a pixel; the fourth is ignored, since a captured window is drawn opaque.
struct Picture {
    enum class Order { rgba, bgra };
    int width = 0;
    int height = 0;
    std::size_t stride = 0; // bytes from one row to the next, at least width * 4
    Order order = Order::bgra;
    std::vector<std::uint8_t> pixels;
};

// The last frame written; main thread only. Never reset while the process runs.
extern std::uint64_t lastFrameHash;
extern std::string lastFrameWindow; // frame key
extern double lastFrameAt;          // seconds since 1970

// Shrinks the picture to at most 1280 pixels on its longer side, drops it as "same" when its
// hash is within 5 bits of the last frame written for the same frame key, otherwise writes it
// into the frames directory and emits "frame". Main thread only; the picture is only read.
void keepFrame(const Picture& picture, const std::string& why, const std::string& frameKey,
               std::uint32_t windowId);
