#pragma once
// System notices, delivered on the main thread.
#include "platform/workspace.h"

#include <functional>
#include <optional>

namespace notices {

// The front application changed (nullopt when none is known).
void onActivate(std::function<void(const std::optional<workspace::App>&)> handler);

// The active window changed: to another window of the same application too, or to none.
void onFrontWindow(std::function<void()> handler);

void onSleep(std::function<void()> handler);  // the machine is about to sleep
void onWake(std::function<void()> handler);   // ... woke up
void onLock(std::function<void()> handler);   // the screen was locked
void onUnlock(std::function<void()> handler); // ... unlocked

} // namespace notices
