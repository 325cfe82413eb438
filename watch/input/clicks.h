#pragma once
// Clicks and scrolls.
#include "platform/input.h"
#include "platform/loop.h"

extern loop::TimerRef scrollTimer; // reports a scroll burst once it has ended

// A button press at x, y (top-left based points), from the tap. Main thread.
void clickPath(double x, double y, bool right);

// A wheel event; the burst is reported 2 s after its last one. Main thread.
void scrollPath();

// The fallback monitor's handler: reads the pointer itself. Main thread.
void monitorHandler(const input::Event& event);
