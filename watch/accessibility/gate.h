#pragma once
// Decide before disclosing. From the moment the front window may have changed until its privacy
// is decided, it counts as private: what the person does meanwhile is held, and goes out only
// once the window it happened in is decided not private. Every result read from an application
// carries a read of its front window taken after it, and is reported only when that read agrees
// with the decision in force.
#include "platform/ax.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// What one read of an application's front window found.
struct WindowRead {
    ax::ElementRef app; // the application read
    ax::ElementRef window;
    std::string title; // cut to 300 UTF-16 code units
    std::string page;  // "host/path", "file:name" or ""
    bool isPrivate = false;
    bool site = false;   // private because of the page's host, or a host that can't be known
    bool failed = false; // the application didn't answer: nothing is known
};

using Hosts = std::shared_ptr<const std::vector<std::string>>;

// The skip list of this moment, whole, for reads on the accessibility queue. Main thread.
Hosts hostsNow();

// Reads app's front window: title, page and privacy. Accessibility queue.
WindowRead readFrontWindow(const ax::ElementRef& app, const Hosts& hosts);

// Grows whenever the front window may have changed or its decision changed; results read under
// an older value are stale. Main thread.
extern std::atomic<std::uint64_t> windowEpoch;
// The front window's privacy is not decided yet. Main thread.
extern bool windowUndecided;
// The epoch of the last doubt: a window decided private, a private window or an application
// left, or a window left before it was decided.
// A result read across window changes is good only when no doubt came between. Main thread.
extern std::uint64_t doubtEpoch;
// When the last doubt came, on loop::now()'s clock. Main thread.
extern double doubtAt;
// Starts a new epoch that is a doubt. Main thread.
void doubtNow();

// Nothing holds reports back: recording, not private, decided. Main thread.
bool mayDisclose();

// While the window is undecided, keeps work for when it is decided not private (then run) or
// private (then ifDropped runs, when given). Returns false, holding nothing, when decided.
// Main thread.
bool holdWhileUndecided(std::function<void()> work, std::function<void()> ifDropped = nullptr);

// Runs (not private) or drops what was held. Main thread.
void releaseHeld(bool disclose);

// A result read with its window check, started at epoch: true when it may be reported now. A
// check that shows another window than the decided one decides again from it first. A result
// that straddles window changes counts when no doubt came between (from one plain window to
// another, say, as a click on a link). Main thread.
bool admitted(const WindowRead& check, std::uint64_t epoch);

// Reports through report, on the main thread, once the check admits the result: at once when
// the window is decided, else when it is. refused runs instead when it doesn't. Any thread.
void reportChecked(WindowRead check, std::uint64_t epoch, std::function<void()> report,
                   std::function<void()> refused = nullptr);

// A menu label with what it quotes taken out ("Search for “…”"), for windows that may be private.
std::string unquoted(const std::string& label);
