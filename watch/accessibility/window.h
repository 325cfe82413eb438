#pragma once
// The front window's title, page and privacy.
#include "platform/ax.h"
#include "platform/loop.h"
#include "watch/accessibility/gate.h"
#include "watch/accessibility/recent.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

extern loop::TimerRef windowTimer; // debounces window reads
extern loop::TimerRef walkTimer;   // throttles text walks

// Text-walk memory keyed by window key ("pid:title:page"): the last text hash sent and when the
// walk last started. Only the most recent few thousand windows are remembered.
inline constexpr std::size_t rememberedWindows = 4096;
extern RecentMap<std::string> lastTextHash;
extern RecentMap<double> lastWalkAt;

void resetWindowMemory();

// True when the bundle id is on the skip list ("prefix*" entries match by prefix; "*" matches all).
bool skippedBundle(const std::string& bundle);

// True when the page's host is one of hosts or lies below one of them. Any thread.
bool privateHost(std::string_view page, const std::vector<std::string>& hosts);

// What a window's address says about its page: "host/path", "file:name" or "". nullopt when the
// address has a host part whose host can't be read, even leniently.
std::optional<std::string> pageOf(const std::string& address);
// The same, with "" for an address whose host can't be read.
std::string pageText(const std::string& address);

// The first web area within 12 levels and the shared node budget, depth first. axQueue.
ax::ElementRef findRole(const ax::ElementRef& element, int depth, int& budget);

// Asks frame capture for a frame; every request of this subsystem goes through here.
void askFrame(const std::string& why, double delay);
// Sees each request askFrame passes on (a seam for tests); nullptr by default.
extern std::function<void(const std::string& why, double delay)> frameAsked;

// Reads the front window 0.3 s after the last request; the last request's reason wins. Main thread.
void readWindow(const std::string& why);

// The front window may have changed: it is undecided, and read at once. Main thread. When it was
// undecided already, what was held for it stays held if the change may be the same window told
// twice (an accessibility notice: toolkits send several for one activation); another active
// window (anotherWindow) drops it.
void windowMayHaveChanged(const std::string& why, bool anotherWindow = false);

// Decides the front window from a read (privacy, "window", "page", frames, the walk). Main thread.
void decideWindow(WindowRead read, const std::string& why);
