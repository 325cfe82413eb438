#include "watch/accessibility/gate.h"
#include "platform/loop.h"
#include "watch/accessibility/observe.h"
#include "watch/accessibility/window.h"
#include "watch/core/state.h"

#include <utility>

std::atomic<std::uint64_t> windowEpoch{0};
bool windowUndecided = false;
std::uint64_t doubtEpoch = 0;
double doubtAt = 0;

void doubtNow() {
    doubtEpoch = ++windowEpoch;
    doubtAt = loop::now();
}

namespace {

struct Held {
    std::function<void()> work;
    std::function<void()> ifDropped;
};

// Bounded: a window that stays undecided this long loses what comes after (keys, clicks), and
// never discloses it.
constexpr std::size_t maxHeld = 2000;
std::vector<Held> held;

} // namespace

bool mayDisclose() {
    return !paused.load() && !currentPrivate && !windowUndecided;
}

bool holdWhileUndecided(std::function<void()> work, std::function<void()> ifDropped) {
    if (!windowUndecided || paused.load()) return false;
    if (held.size() < maxHeld)
        held.push_back({std::move(work), std::move(ifDropped)});
    else if (ifDropped)
        ifDropped();
    return true;
}

void releaseHeld(bool disclose) {
    std::vector<Held> items;
    items.swap(held);
    for (Held& item : items) {
        if (disclose && mayDisclose())
            item.work();
        else if (item.ifDropped)
            item.ifDropped();
    }
}

bool admitted(const WindowRead& check, std::uint64_t epoch) {
    if (!mayDisclose() || !ax::sameElement(check.app, observedApp)) return false;
    // Nothing noticed since the read began: the check is the freshest word on the window.
    bool fresh = epoch == windowEpoch;
    if (!fresh && doubtEpoch > epoch) return false;
    if (check.failed) {
        // The application stopped answering: the window is in doubt until read again.
        if (fresh) windowMayHaveChanged("later");
        return false;
    }
    // Across changes between plain windows only: the check itself shows a plain window.
    if (!fresh) return !check.isPrivate;
    if (check.isPrivate || check.title != currentWindow || check.page != currentUrl) {
        // Changed under us without a word (a page navigated, a tab switched): decided anew from
        // what the check saw, and the result counts only if that is not private.
        decideWindow(check, "later");
        return mayDisclose();
    }
    return true;
}

namespace {

void settle(const WindowRead& check, std::uint64_t epoch, const std::function<void()>& report,
            const std::function<void()>& refused) {
    if (holdWhileUndecided(
            [check, epoch, report, refused] { settle(check, epoch, report, refused); }, refused))
        return;
    if (check.failed && mayDisclose() && ax::sameElement(check.app, observedApp) &&
        doubtEpoch <= epoch) {
        // The window couldn't be read after the result (a busy application): it is read again,
        // and the result waits for that decision; it counts if no doubt comes first.
        WindowRead vouched = check;
        vouched.failed = vouched.isPrivate = false;
        windowMayHaveChanged("later");
        settle(vouched, epoch, report, refused);
        return;
    }
    if (admitted(check, epoch))
        report();
    else if (refused)
        refused();
}

} // namespace

void reportChecked(WindowRead check, std::uint64_t epoch, std::function<void()> report,
                   std::function<void()> refused) {
    loop::onMain([check = std::move(check), epoch, report = std::move(report),
                  refused = std::move(refused)] { settle(check, epoch, report, refused); });
}

std::string unquoted(const std::string& label) {
    static const std::pair<std::string_view, std::string_view> quotes[] = {
        {"\u201c", "\u201d"}, {"\u2018", "\u2019"}, {"\u00ab", "\u00bb"},
        {"\u201e", "\u201c"}, {"\"", "\""},
    };
    std::string out = label;
    for (auto& [open, close] : quotes) {
        std::size_t from = 0;
        while ((from = out.find(open, from)) != std::string::npos) {
            std::size_t inner = from + open.size();
            std::size_t end = out.find(close, inner);
            // An unclosed quote hides everything after it.
            std::size_t stop = end == std::string::npos ? out.size() : end;
            out.replace(inner, stop - inner, "\u2026");
            from = inner + std::string_view("\u2026").size() +
                   (end == std::string::npos ? 0 : close.size());
            if (end == std::string::npos) break;
        }
    }
    return out;
}
