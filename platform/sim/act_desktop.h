#pragma once
// Controls of the simulated desktop for act: the window list and a log of what was posted.
#include "platform/post.h"
#include "platform/windows.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// Front to back; nullopt makes the list unavailable.
void setWindows(std::optional<std::vector<windows::Info>> list);

void setInputTrusted(bool trusted);

// Posting from now on fails at the nth post (1 = the next one); 0 never fails.
void failPostAt(int nth);

// Called after each successful post with the number of posts so far; lets a test change the
// desktop in the middle of an action.
void onPosted(std::function<void(int count)> hook);

// What was posted, one line per event or pause, e.g. "move 10,20 left state 1",
// "down 10,20 left state 2", "wheel 0,3", "key 8 down flags 0x100000", "text \"e\" down",
// "pause 30"; "finish" when the run ended.
std::vector<std::string> postedLog();

// Clears the log, the failure and the hook; the desktop is left as it is.
void resetPosting();

} // namespace sim
