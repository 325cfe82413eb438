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

// The nth post after the last resetPosting() fails (1 = the first); 0 never fails.
void failPostAt(int nth);

// The nth post after the last resetPosting() goes out but is not delivered in time; 0 never.
void delayDeliveryAt(int nth);

// The receiver never reads its keys (a hung application), until called with false.
void ignoreKeys(bool ignored);

// Called after each successful post with the number of posts since the last resetPosting();
// lets a test change the desktop in the middle of an action. nullptr removes it.
void onPosted(std::function<void(int count)> hook);

// What was posted, one line per event or pause, e.g. "move 10,20 left state 1",
// "down 10,20 left state 2", "wheel 0,3", "key 8 down flags 0x100000", "text \"e\" down",
// "pause 30"; "finish" when the run ended.
std::vector<std::string> postedLog();

// Clears the log and the count of posts; the failure, the hook and the desktop stay.
void resetPosting();

} // namespace sim
