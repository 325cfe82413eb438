#pragma once
// Frame capture scheduling.
#include "platform/loop.h"

#include <string>

extern loop::TimerRef frameTimer; // the single pending frame request

// Asks for a frame of the observed window after delay seconds; the last request wins. Any thread.
void frameSoon(const std::string& why, double delay);

// Takes a frame of the observed window now, if every precondition holds. Main thread.
void captureFrame(const std::string& why);

// Holds the capture backend's window pictures while frames may be wanted (recording, frames on,
// a frames directory) and lets go otherwise. Call after any of those changes; requests and
// captures call it too. Main thread.
void framesChanged();
