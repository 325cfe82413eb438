#pragma once
// System notices (sleep, wake, lock, unlock) and the idle check.

extern bool idleSent; // "idle" was reported and no "active" since

// Registers for the system's sleep, wake, lock and unlock notices.
void startNotices();

// Runs every 5 seconds for the life of the process; silent while paused.
void checkIdle();
