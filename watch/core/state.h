#pragma once
// Recording state and configuration, written only by the command channel on the main thread.
#include "common/jsonline.h"

#include <atomic>
#include <set>
#include <string>
#include <vector>

extern std::atomic<bool> paused;   // read off the main thread by queue jobs and capture
extern std::atomic<bool> framesOn; // frame capture switched on
extern std::string framesDir;
extern std::set<std::string> skipBundles;
extern std::vector<std::string> skipHosts;

// The truth of a command value: true, non-zero numbers, and strings that begin (after white
// space, a sign and zeros) with Y, y, T, t or 1-9. Absent, null, arrays and objects are false.
bool truthOf(const json& value);

// Runs one command from the host. Main thread only.
void handleCommand(const json& command);

// Starts recording unless it runs already.
void doResume();

// Stops recording: cancels the timers, reports pending keys, removes the tap and the observer,
// restores attributes. Nothing happens when already paused.
void pauseRecording();
