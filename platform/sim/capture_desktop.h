#pragma once
// The simulated desktop's window pictures, for tests.
#include "platform/capture.h"

#include <cstddef>
#include <cstdint>

namespace sim {

// Resets everything below: available, no pictures, no failures, completions not held, not held.
void resetCapture();

// Whether the capture facility answers at all; false gives "unavailable".
void setCaptureAvailable(bool available);

// The window's pixels; a window without a picture is gone by the time it is captured.
void setWindowPicture(uint32_t windowId, const capture::Picture& picture);
void removeWindowPicture(uint32_t windowId);

// The window is there but its pixels cannot be read.
void setCaptureFails(uint32_t windowId, bool fails);

// While waiting, captures stay in flight until released; their outcome is decided on release,
// so a test can change the desktop or the watcher in between.
void setCapturesWait(bool wait);
std::size_t capturesInFlight();
void releaseCaptures();

std::size_t capturesTaken(); // captureWindow calls since the reset
bool captureHeld();          // what the last hold() said

} // namespace sim
