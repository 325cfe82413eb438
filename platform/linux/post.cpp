// Synthetic input through XTest. Toolkits ignore XSendEvent, so XTest is the only way in.
//
// X has no click-state field: a double click is two clicks inside the toolkit's double-click
// time, which the 30 ms between them satisfies. Key codes are taken by key position. Modifier
// masks become modifier key presses around the key. Text goes through spare key codes that are
// bound to the characters' keysyms for the length of the run and unbound in finish().
#include "platform/post.h"
#include "platform/linux/keycodes.h"
#include "platform/linux/xdisplay.h"
#include "platform/linux/xprops.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <map>
#include <poll.h>
#include <thread>
#include <unicode/utf16.h>
#include <unistd.h>
#include <vector>

namespace post {
namespace {

// Modifier masks in the order their keys go down. The function key has no X counterpart:
// its mask presses nothing.
struct ModifierKey {
    std::uint64_t mask;
    KeySym sym;
    KeySym alternative;
};
constexpr ModifierKey modifierKeys[] = {
    {shiftMask, XK_Shift_L, XK_Shift_R},
    {controlMask, XK_Control_L, XK_Control_R},
    {alternateMask, XK_Alt_L, XK_Meta_L},
    {commandMask, XK_Super_L, XK_Super_R},
};

Display* connection() {
    static Display* dpy = [] {
        Display* d = xlinux::display();
        int event, error, major, minor;
        if (d && !XTestQueryExtension(d, &event, &error, &major, &minor)) d = nullptr;
        return d;
    }();
    return dpy;
}

bool hasSymbols(Display* dpy, KeyCode code) {
    int per = 0;
    KeySym* syms = XGetKeyboardMapping(dpy, code, 1, &per);
    if (!syms) return false;
    bool any = false;
    for (int i = 0; i < per; ++i)
        any = any || syms[i] != NoSymbol;
    XFree(syms);
    return any;
}

KeyCode codeOf(Display* dpy, KeySym sym) {
    return XKeysymToKeycode(dpy, sym);
}

KeyCode positionCode(Display* dpy, int virtualCode) {
    for (const keycodes::Place& p : keycodes::places()) {
        if (p.virtualCode != virtualCode) continue;
        int lo, hi;
        XDisplayKeycodes(dpy, &lo, &hi);
        if (p.xCode >= lo && p.xCode <= hi && hasSymbols(dpy, static_cast<KeyCode>(p.xCode)))
            return static_cast<KeyCode>(p.xCode);
        return codeOf(dpy, p.usSym);
    }
    return 0;
}

std::vector<KeyCode> modifierCodes(Display* dpy, std::uint64_t flags, bool& ok) {
    std::vector<KeyCode> codes;
    ok = true;
    for (const ModifierKey& m : modifierKeys) {
        if (!(flags & m.mask)) continue;
        KeyCode c = codeOf(dpy, m.sym);
        if (!c) c = codeOf(dpy, m.alternative);
        if (!c) ok = false;
        codes.push_back(c);
    }
    return codes;
}

// What act holds down on the XTest device. The server keeps it pressed after the process
// ends, so finish() lets go of whatever is left.
struct Held {
    bool button;
    unsigned int code;
    bool operator==(const Held&) const = default;
};
std::vector<Held> held;

void track(Held h, bool down) {
    auto it = std::find(held.begin(), held.end(), h);
    if (down && it == held.end()) held.push_back(h);
    if (!down && it != held.end()) held.erase(it);
}

// Once act has posted, the desktop carries its changes (a held button, a borrowed key mapping,
// a lifted Caps Lock) until finish(). A termination signal then only asks to stop: the next
// post or pause undoes the changes and ends the process by the same signal, so a host that
// kills act mid-drag or mid-text gets the button up and the keyboard back.
volatile std::sig_atomic_t stopSignal = 0;
constexpr int stopSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};

void catchStopSignals() {
    static bool caught = false;
    if (caught) return;
    caught = true;
    struct sigaction action {};
    action.sa_handler = [](int signo) { stopSignal = signo; };
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int s : stopSignals)
        ::sigaction(s, &action, nullptr);
}

void stopIfAsked();

bool fakeKey(Display* dpy, KeyCode code, bool down) {
    if (down) track({false, code}, true);
    bool ok = XTestFakeKeyEvent(dpy, code, down ? True : False, CurrentTime) != 0;
    if (!down || !ok) track({false, code}, false);
    return ok;
}

bool fakeButton(Display* dpy, unsigned int button, bool down) {
    if (down) track({true, button}, true);
    bool ok = XTestFakeButtonEvent(dpy, button, down ? True : False, CurrentTime) != 0;
    if (!down || !ok) track({true, button}, false);
    return ok;
}

// ---- Text through borrowed key codes ----

struct Borrowed {
    KeyCode code;
    KeySym sym = NoSymbol;
    unsigned long lastUse = 0;
    bool sent = false; // a key went out with the current binding
};

std::vector<Borrowed> borrowed; // spare key codes found on first use; bound while the run lasts
bool sparesLooked = false;
unsigned long useCounter = 0;
KeyCode heldTextCode = 0; // the text key left down until its key-up event

void findSpares(Display* dpy) {
    sparesLooked = true;
    int lo, hi, per = 0;
    XDisplayKeycodes(dpy, &lo, &hi);
    KeySym* syms = XGetKeyboardMapping(dpy, static_cast<KeyCode>(lo), hi - lo + 1, &per);
    if (!syms) return;
    // From the top: the low codes are where real keyboards have keys.
    for (int code = hi; code >= lo; --code) {
        bool empty = true;
        for (int i = 0; i < per; ++i)
            empty = empty && syms[(code - lo) * per + i] == NoSymbol;
        if (empty) borrowed.push_back({static_cast<KeyCode>(code)});
    }
    XFree(syms);
}

bool bind(Display* dpy, KeyCode code, KeySym sym) {
    KeySym both[2] = {sym, sym}; // the same on both levels: a held Shift changes nothing
    XChangeKeyboardMapping(dpy, code, 2, both, 1);
    // Reading it back is the server's confirmation that the mapping changed before any key
    // that relies on it is sent.
    int per = 0;
    KeySym* now = XGetKeyboardMapping(dpy, code, 1, &per);
    bool ok = now && per >= 1 && now[0] == sym;
    if (now) XFree(now);
    return ok;
}

bool settle();

KeyCode codeForSym(Display* dpy, KeySym sym) {
    if (!sparesLooked) findSpares(dpy);
    if (borrowed.empty()) return 0;
    Borrowed* pick = nullptr;
    for (int round = 0; round < 2 && !pick; ++round) {
        for (Borrowed& b : borrowed) {
            if (b.sym == sym) {
                b.lastUse = ++useCounter;
                return b.code;
            }
            // A code whose keys went out may be rebound only once the receiver has read them,
            // or it would look them up in the new mapping.
            if (!b.sent && (!pick || b.lastUse < pick->lastUse)) pick = &b;
        }
        if (!pick) {
            settle();
            for (Borrowed& b : borrowed)
                b.sent = false;
        }
    }
    if (!pick || !bind(dpy, pick->code, sym)) return 0;
    pick->sym = sym;
    pick->lastUse = ++useCounter;
    return pick->code;
}

KeySym symForCodePoint(UChar32 cp) {
    if (cp == '\n' || cp == '\r') return XK_Return;
    if (cp == '\t') return XK_Tab;
    if (cp == '\b') return XK_BackSpace;
    if ((cp >= 0x20 && cp <= 0x7e) || (cp >= 0xa0 && cp <= 0xff)) return static_cast<KeySym>(cp);
    return 0x01000000 | static_cast<KeySym>(cp);
}

KeyCode codeForCodePoint(Display* dpy, UChar32 cp) {
    KeySym sym = symForCodePoint(cp);
    KeyCode code = 0;
    if (sym == XK_Return || sym == XK_Tab || sym == XK_BackSpace) code = codeOf(dpy, sym);
    if (!code) code = codeForSym(dpy, sym);
    for (Borrowed& b : borrowed)
        if (b.code == code) b.sent = true;
    return code;
}

// Toolkits upper-case what a key types while Caps Lock is on, whatever the key's symbols. The
// lock is lifted while act types and put back in finish().
bool capsChecked = false;
bool capsLifted = false;

void liftCapsLock(Display* dpy) {
    if (capsChecked) return;
    capsChecked = true;
    XkbStateRec state;
    if (XkbGetState(dpy, XkbUseCoreKbd, &state) != Success || !(state.locked_mods & LockMask))
        return;
    capsLifted = XkbLockModifiers(dpy, XkbUseCoreKbd, LockMask, 0) != 0;
}

// Each character is a key of its own; a CR LF pair is one Return. Every key but the last goes
// down and up at once; the last stays down until the key-up event, so the pair the caller
// posts is one press. Each key is bound just before it is pressed, so a long sequence can
// reuse codes within itself.
bool postText(Display* dpy, const Key& key) {
    if (!key.down) {
        if (!heldTextCode) return true;
        bool ok = fakeKey(dpy, heldTextCode, false);
        heldTextCode = 0;
        XFlush(dpy);
        return ok;
    }
    liftCapsLock(dpy);
    std::vector<UChar32> characters;
    for (std::size_t i = 0; i < key.text.size();) {
        UChar32 cp;
        U16_NEXT(key.text.data(), i, key.text.size(), cp);
        if (cp == '\n' && !characters.empty() && characters.back() == '\r') continue;
        characters.push_back(cp);
    }
    for (std::size_t i = 0; i < characters.size(); ++i) {
        KeyCode code = codeForCodePoint(dpy, characters[i]);
        if (!code || !fakeKey(dpy, code, true)) return false;
        if (i + 1 < characters.size()) {
            if (!fakeKey(dpy, code, false)) return false;
        } else {
            heldTextCode = code;
        }
    }
    XFlush(dpy);
    return !characters.empty();
}

// ---- Settling: the receiver has read everything sent so far ----

using xlinux::activeWindow;
using xlinux::atom;

bool answersPing(Display* dpy, Window w) {
    Atom* protocols = nullptr;
    int n = 0;
    if (!XGetWMProtocols(dpy, w, &protocols, &n)) return false;
    Atom ping = atom(dpy, "_NET_WM_PING");
    bool found = false;
    for (int i = 0; i < n; ++i)
        found = found || protocols[i] == ping;
    XFree(protocols);
    return found;
}

// A window manager ping goes through the receiver's event queue after our keys; its answer
// says the keys have been read and looked up. Without one, a short grace period.
bool settle() {
    Display* dpy = connection();
    if (!dpy) return false;
    XSync(dpy, False);
    Window w = activeWindow(dpy);
    if (!w || !answersPing(dpy, w)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return false;
    }
    Window root = DefaultRootWindow(dpy);
    XSelectInput(dpy, root, SubstructureNotifyMask);
    static long stamp = 0x5a000000L;
    long mine = ++stamp;
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = w;
    e.xclient.message_type = atom(dpy, "WM_PROTOCOLS");
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(atom(dpy, "_NET_WM_PING"));
    e.xclient.data.l[1] = mine;
    e.xclient.data.l[2] = static_cast<long>(w);
    XSendEvent(dpy, w, False, NoEventMask, &e);
    XFlush(dpy);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(250);
    bool answered = false;
    while (!answered) {
        while (!answered && XPending(dpy)) {
            XEvent got;
            XNextEvent(dpy, &got);
            answered = got.type == ClientMessage &&
                       got.xclient.data.l[0] == static_cast<long>(atom(dpy, "_NET_WM_PING")) &&
                       got.xclient.data.l[1] == mine;
        }
        if (answered) break;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{ConnectionNumber(dpy), POLLIN, 0};
        poll(&p, 1, static_cast<int>(left.count()));
    }
    XSelectInput(dpy, root, NoEventMask);
    XFlush(dpy);
    return answered;
}

// ---- Mouse ----

bool moveTo(Display* dpy, double x, double y) {
    // The pixel that contains the point, as the window checks measured it.
    int px = static_cast<int>(std::floor(x)), py = static_cast<int>(std::floor(y));
    return XTestFakeMotionEvent(dpy, -1, px, py, CurrentTime) != 0;
}

bool pointerAt(Display* dpy, double x, double y) {
    Window root, child;
    int rx, ry, wx, wy;
    unsigned int mask;
    if (!XQueryPointer(dpy, DefaultRootWindow(dpy), &root, &child, &rx, &ry, &wx, &wy, &mask))
        return false;
    return rx == static_cast<int>(std::floor(x)) && ry == static_cast<int>(std::floor(y));
}

bool postMouse(Display* dpy, const Mouse& m) {
    bool ok = true;
    switch (m.type) {
    case MouseType::Moved:
    case MouseType::LeftDragged:
        ok = moveTo(dpy, m.x, m.y);
        break;
    case MouseType::LeftDown:
    case MouseType::LeftUp:
    case MouseType::RightDown:
    case MouseType::RightUp: {
        // X button events have no position: the pointer is brought there first.
        if (!pointerAt(dpy, m.x, m.y)) ok = moveTo(dpy, m.x, m.y);
        bool down = m.type == MouseType::LeftDown || m.type == MouseType::RightDown;
        unsigned int button = m.button == Button::Right ? 3 : 1;
        ok = ok && fakeButton(dpy, button, down);
        break;
    }
    }
    XFlush(dpy);
    return ok;
}

bool clickButton(Display* dpy, unsigned int button, int times) {
    for (int i = 0; i < times; ++i) {
        if (!fakeButton(dpy, button, true) || !fakeButton(dpy, button, false)) return false;
    }
    return true;
}

// Wheel lines are clicks of buttons 4 to 7.
bool postWheel(Display* dpy, const Wheel& w) {
    bool ok = true;
    if (w.vertical) ok = clickButton(dpy, w.vertical > 0 ? 4 : 5, std::abs(w.vertical));
    if (ok && w.horizontal) ok = clickButton(dpy, w.horizontal > 0 ? 6 : 7, std::abs(w.horizontal));
    XFlush(dpy);
    return ok;
}

bool postKey(Display* dpy, const Key& key) {
    if (!key.text.empty()) return postText(dpy, key);
    KeyCode code = positionCode(dpy, key.keyCode);
    bool modsOk;
    std::vector<KeyCode> mods = modifierCodes(dpy, key.flags, modsOk);
    if (!code || !modsOk) return false;
    bool ok = true;
    if (key.down) {
        std::size_t pressed = 0;
        for (; pressed < mods.size() && ok; ++pressed)
            ok = fakeKey(dpy, mods[pressed], true);
        ok = ok && fakeKey(dpy, code, true);
        // A key that did not go down must not leave its modifiers held.
        if (!ok)
            while (pressed > 0)
                fakeKey(dpy, mods[--pressed], false);
    } else {
        ok = fakeKey(dpy, code, false);
        for (auto it = mods.rbegin(); it != mods.rend(); ++it)
            ok = fakeKey(dpy, *it, false) && ok;
    }
    XFlush(dpy);
    return ok;
}

bool posted = false; // whether finish() has anything to undo

void stopIfAsked() {
    if (stopSignal) finish(); // does not return
}

[[noreturn]] void endBySignal() {
    const int signo = stopSignal;
    std::signal(signo, SIG_DFL);
    std::raise(signo);
    _exit(128 + signo);
}

} // namespace

bool post(const Event& event) {
    Display* dpy = connection();
    if (!dpy) return false;
    catchStopSignals();
    stopIfAsked();
    posted = true;
    if (auto* m = std::get_if<Mouse>(&event)) return postMouse(dpy, *m);
    if (auto* w = std::get_if<Wheel>(&event)) return postWheel(dpy, *w);
    return postKey(dpy, std::get<Key>(event));
}

void pause(int ms) {
    if (Display* dpy = connection()) XFlush(dpy);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    stopIfAsked();
}

namespace {
void undoChanges() {
    Display* dpy = connection();
    heldTextCode = 0;
    while (!held.empty()) {
        Held h = held.back();
        if (h.button)
            fakeButton(dpy, h.code, false);
        else
            fakeKey(dpy, static_cast<KeyCode>(h.code), false);
    }
    bool anyBound = false;
    for (const Borrowed& b : borrowed)
        anyBound = anyBound || b.sym != NoSymbol;
    if (anyBound) {
        settle();
        for (Borrowed& b : borrowed) {
            if (b.sym == NoSymbol) continue;
            KeySym none[2] = {NoSymbol, NoSymbol};
            XChangeKeyboardMapping(dpy, b.code, 2, none, 1);
            b.sym = NoSymbol;
        }
    }
    if (capsLifted) {
        if (!anyBound) settle();
        XkbLockModifiers(dpy, XkbUseCoreKbd, LockMask, LockMask);
        capsLifted = false;
    }
    XSync(dpy, False);
    posted = false;
}
} // namespace

void finish() {
    if (posted) undoChanges();
    if (stopSignal) endBySignal();
}

namespace {
void (*lostHandler)() = nullptr;
} // namespace

void whenConnectionLost(void (*handler)()) {
    lostHandler = handler;
    // Without this the program would go on without a display; a lost server must be answered.
    xlinux::whenLost([] {
        posted = false; // nothing can be undone on a connection that is gone
        if (lostHandler) lostHandler();
        _exit(2);
    });
}

bool inputTrusted() {
    return connection() != nullptr;
}

} // namespace post
