#include "watch/input/keys.h"
#include "platform/loop.h"
#include "platform/permissions.h"
#include "watch/accessibility/gate.h"
#include "watch/accessibility/observe.h"
#include "watch/core/emit.h"
#include "watch/core/state.h"
#include "watch/frames/capture.h"
#include "watch/input/clicks.h"
#include "watch/input/pasteboard.h"

#include <utility>

input::TapRef tap;
input::MonitorRef globalMonitor;
std::uint64_t keyCount = 0;
double lastKeyAt = 0;

namespace {

// Key positions, not characters: the key where ANSI has A is "a" on every layout.
constexpr std::pair<int, const char*> namedKeys[] = {
    {36, "return"}, {76, "enter"},  {48, "tab"},
    {53, "escape"}, {51, "delete"}, {117, "forward_delete"},
};
constexpr std::pair<int, const char*> letterKeys[] = {
    {0, "a"},  {11, "b"}, {8, "c"},  {2, "d"},  {14, "e"}, {3, "f"},  {5, "g"},
    {4, "h"},  {34, "i"}, {38, "j"}, {40, "k"}, {37, "l"}, {46, "m"}, {45, "n"},
    {31, "o"}, {35, "p"}, {12, "q"}, {15, "r"}, {1, "s"},  {17, "t"}, {32, "u"},
    {9, "v"},  {13, "w"}, {7, "x"},  {16, "y"}, {6, "z"},
};
constexpr std::pair<std::uint64_t, const char*> modifierNames[] = {
    {input::maskCommand, "cmd"},
    {input::maskControl, "ctrl"},
    {input::maskAlternate, "opt"},
    {input::maskShift, "shift"},
};

const char* keyName(std::int64_t code) {
    for (auto& [c, name] : namedKeys)
        if (c == code) return name;
    for (auto& [c, name] : letterKeys)
        if (c == code) return name;
    return nullptr;
}

void onPaste() {
    if (!mayDisclose()) return;
    loop::async(axQueue, [app = observedApp, hosts = hostsNow(), epoch = windowEpoch.load(),
                          change = pasteboardCount] {
        json element = focusedDescription(app);
        WindowRead check = readFrontWindow(app, hosts);
        reportChecked(std::move(check), epoch, [element, change] {
            emitWith("paste", {{"element", element}, {"change", change}});
        });
    });
}

void keyDown(const input::Event& event) {
    if (paused.load()) return;
    // Typed while the window was undecided: counted for it once it is known not private.
    if (holdWhileUndecided([event] { keyDown(event); })) return;
    if (currentPrivate) return;
    lastKeyAt = loop::now();
    auto name = shortcutName(event.keyCode, event.flags);
    if (!name) {
        ++keyCount;
        return;
    }
    flushKeys();
    emitWith("key_shortcut", {{"keys", *name}});
    // The follow-ups belong to the platform's command key (Control on Linux).
    const std::string command = input::commandKeyName();
    if (*name == command + "+v")
        onPaste();
    else if (*name == command + "+c" || *name == command + "+x")
        frameSoon("copy", 0.05);
}

void handleEvent(const input::Event& event) {
    // Asked here rather than on the listener's thread, where the answer's owner doesn't run.
    if (input::secureInputEnabled()) return;
    switch (event.type) {
    case input::leftMouseDown:
    case input::rightMouseDown:
        clickPath(event.x, event.y, event.type == input::rightMouseDown);
        break;
    case input::scrollWheel:
        scrollPath();
        break;
    case input::keyDown:
        keyDown(event);
        break;
    default:
        break;
    }
}

// Runs on the listener's thread: it only hands the event over.
void tapCallback(const input::Event& event) {
    if (event.type >= input::tapDisabledByTimeout) {
        loop::onMain([] {
            if (tap) input::enableTap(tap);
        });
        return;
    }
    loop::onMain([event] { handleEvent(event); });
}

} // namespace

std::optional<std::string> shortcutName(std::int64_t keyCode, std::uint64_t flags) {
    const char* key = keyName(keyCode);
    if (!key) return std::nullopt;
    std::string k = key;
    bool commandOrControl = (flags & (input::maskCommand | input::maskControl)) != 0;
    if (!commandOrControl && k != "return" && k != "enter" && k != "tab" && k != "escape")
        return std::nullopt;
    std::string name;
    for (auto& [mask, modifier] : modifierNames)
        if (flags & mask) name += std::string(modifier) + "+";
    return name + k;
}

void startInput() {
    if (tap || globalMonitor) return;
    tap = input::createTap(permissions::listenAccess(), tapCallback);
    if (tap)
        input::enableTap(tap);
    else
        globalMonitor = input::addMouseMonitor(monitorHandler);
}

void stopInput() {
    if (tap) {
        input::disableTap(tap);
        tap.reset();
    }
    if (globalMonitor) {
        input::removeMonitor(globalMonitor);
        globalMonitor.reset();
    }
}

void flushKeys() {
    if (keyCount == 0) return;
    emitWith("keys", {{"count", keyCount}});
    keyCount = 0;
}
