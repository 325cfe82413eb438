#pragma once
// Keyboard capture: counts keys, names shortcuts.
#include "platform/input.h"

extern input::TapRef tap;
extern input::MonitorRef globalMonitor;
extern long keyCount;    // ordinary keys typed since the last "keys" report
extern double lastKeyAt; // seconds since 1970 of the last counted key; 0 before

// Installs the tap (keys only when listening is allowed now) or else the mouse monitor.
void startInput();

// Removes the tap and the monitor.
void stopInput();

// Reports the pending key count as "keys" and resets it; nothing when it is zero.
void flushKeys();
