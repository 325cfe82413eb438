#pragma once
// Keyboard capture: counts keys, names shortcuts.
#include "platform/input.h"

#include <cstdint>
#include <optional>
#include <string>

extern input::TapRef tap;
extern input::MonitorRef globalMonitor;
extern std::uint64_t keyCount; // ordinary keys typed since the last "keys" report
extern double lastKeyAt;       // seconds since 1970 of the last counted key; 0 before

// Installs the tap (keys only when listening is allowed now) or else the mouse monitor.
void startInput();

// Removes the tap and the monitor.
void stopInput();

// Reports the pending key count as "keys" and resets it; nothing when it is zero.
void flushKeys();

// The shortcut a key press makes ("cmd+shift+z", "return"), or nullopt for a counted key.
std::optional<std::string> shortcutName(std::int64_t keyCode, std::uint64_t flags);
