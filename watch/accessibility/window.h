#pragma once
// The front window's title, page and privacy.
#include "platform/loop.h"

#include <map>
#include <string>

extern loop::TimerRef windowTimer; // debounces window reads
extern loop::TimerRef walkTimer;   // throttles text walks

// Text-walk memory keyed by window key: the last text hash and when the walk last ran.
extern std::map<std::string, std::string> lastTextHash;
extern std::map<std::string, double> lastWalkAt;

void resetWindowMemory();

// True when the bundle id is on the skip list ("prefix*" entries match by prefix; "*" matches all).
bool skippedBundle(const std::string& bundle);

// Reads the front window 0.3 s after the last request; the last request's reason wins. Main thread.
void readWindow(const std::string& why);
