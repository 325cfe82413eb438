// Synthetic input through XTest. Toolkits ignore XSendEvent, so XTest is the only way in.
//
// X has no click-state field: a double click is two clicks inside the toolkit's double-click
// time, which the 30 ms between them satisfies. Key codes are taken by key position. Modifier
// masks become modifier key presses around the key. Text goes through spare key codes that are
// bound to the characters' keysyms for the length of the run and unbound in finish().
#include "platform/post.h"
#include "platform/linux/shared/keycodes.h"
#include "platform/linux/x11/xdisplay.h"
#include "platform/linux/x11/xprops.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <map>
#include <optional>
#include <poll.h>
#include <thread>
#include <unicode/utf16.h>
#include <unistd.h>
#include <vector>

namespace post::x11 {
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

// ---- Delivery: the server has processed what was sent ----
//
// XTest input is processed as its request is, unless a grab holds the device frozen: a window
// manager's passive button grab freezes the pointer until it has looked at the press, which
// takes long while it reloads its keymap. Frozen events wait in the server's queue and the
// device's state shows them only once they have been delivered, so each event is followed by a
// look at that state until it says so.

bool late = false;         // a wait ran out during the current post
bool awaitDelivery = true; // off while undoing: letting go must not wait on a frozen device

template <class Reached> bool await(Reached reached) {
    if (!awaitDelivery) return true;
    if (late) return false; // the device is frozen: letting go of what is held must not wait too
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deliveryBoundMs);
    int nap = 1;
    while (!reached()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            late = true;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(nap));
        nap = std::min(nap * 2, 10);
    }
    return true;
}

// The master pointer through XInput 2, whose button state covers the wheel's buttons 6 and 7;
// 0 when the server has no XInput 2.
int masterPointer(Display* dpy) {
    static int id = -1;
    if (id >= 0) return id;
    id = 0;
    int opcode, event, error, major = 2, minor = 0;
    if (XQueryExtension(dpy, "XInputExtension", &opcode, &event, &error) &&
        XIQueryVersion(dpy, &major, &minor) == Success) {
        int pointer = 0;
        if (XIGetClientPointer(dpy, None, &pointer)) id = pointer;
    }
    return id;
}

struct PointerState {
    int x = 0, y = 0;
    std::uint32_t buttons = 0; // bit n: button n is down
};

std::optional<PointerState> pointerState(Display* dpy) {
    PointerState s;
    Window root, child;
    if (int device = masterPointer(dpy)) {
        double rx, ry, wx, wy;
        XIButtonState buttons{};
        XIModifierState mods;
        XIGroupState group;
        if (!XIQueryPointer(dpy, device, DefaultRootWindow(dpy), &root, &child, &rx, &ry, &wx, &wy,
                            &buttons, &mods, &group))
            return std::nullopt;
        for (int b = 1; b < 32 && b < buttons.mask_len * 8; ++b)
            if (XIMaskIsSet(buttons.mask, b)) s.buttons |= 1u << b;
        if (buttons.mask) XFree(buttons.mask);
        s.x = static_cast<int>(std::floor(rx));
        s.y = static_cast<int>(std::floor(ry));
        return s;
    }
    int wx, wy;
    unsigned int mask;
    if (!XQueryPointer(dpy, DefaultRootWindow(dpy), &root, &child, &s.x, &s.y, &wx, &wy, &mask))
        return std::nullopt;
    for (int b = 1; b <= 5; ++b)
        if (mask & (Button1Mask << (b - 1))) s.buttons |= 1u << b;
    return s;
}

bool buttonShows(Display* dpy, unsigned int button, bool down) {
    // Without XInput 2 the core state has no bits for buttons 6 and 7.
    if (button > 5 && !masterPointer(dpy)) {
        XSync(dpy, False);
        return true;
    }
    return await([&] {
        auto s = pointerState(dpy);
        return s && ((s->buttons >> button) & 1u) == (down ? 1u : 0u);
    });
}

bool keyShows(Display* dpy, KeyCode code, bool down) {
    return await([&] {
        char keys[32];
        XQueryKeymap(dpy, keys);
        return ((static_cast<unsigned char>(keys[code / 8]) >> (code % 8)) & 1u) ==
               (down ? 1u : 0u);
    });
}

// Where a motion to the pixel leaves the pointer: the server keeps it on the screen.
std::pair<int, int> onScreen(Display* dpy, int x, int y) {
    int screen = DefaultScreen(dpy);
    return {std::clamp(x, 0, DisplayWidth(dpy, screen) - 1),
            std::clamp(y, 0, DisplayHeight(dpy, screen) - 1)};
}

bool pointerShows(Display* dpy, int x, int y) {
    // Plain names: clang 14 cannot capture structured bindings in a lambda.
    std::pair<int, int> at = onScreen(dpy, x, y);
    int ex = at.first, ey = at.second;
    return await([&] {
        auto s = pointerState(dpy);
        return s && s->x == ex && s->y == ey;
    });
}

bool fakeKey(Display* dpy, KeyCode code, bool down) {
    if (down) track({false, code}, true);
    bool ok = XTestFakeKeyEvent(dpy, code, down ? True : False, CurrentTime) != 0;
    if (!down || !ok) track({false, code}, false);
    return ok && keyShows(dpy, code, down);
}

bool fakeButton(Display* dpy, unsigned int button, bool down) {
    if (down) track({true, button}, true);
    bool ok = XTestFakeButtonEvent(dpy, button, down ? True : False, CurrentTime) != 0;
    if (!down || !ok) track({true, button}, false);
    return ok && buttonShows(dpy, button, down);
}

// ---- Text through borrowed key codes ----
//
// Every change of the key mapping makes each X client, the window manager included, reload its
// keymap, and the window manager holds the pointer frozen meanwhile. So a run changes the
// mapping as seldom as it can: the symbols of the whole text are bound in one change, as many
// as there are spare codes, and all are unbound in one change at the end.

struct Borrowed {
    KeyCode code;
    KeySym sym = NoSymbol;
};

std::vector<Borrowed> borrowed; // spare key codes found on first use; bound while the run lasts
bool sparesLooked = false;
std::vector<KeySym> upcoming; // the borrowed symbols of the announced text, in typing order
std::size_t typedSoFar = 0;   // how many of them have been typed
KeyCode heldTextCode = 0;     // the text key left down until its key-up event

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

// Gives each code its symbol (NoSymbol unbinds) in one change of the mapping. The request
// covers the range from the lowest to the highest code; codes between keep what they have.
// Reading the codes back is the server's confirmation before any key that relies on them.
bool remap(Display* dpy, const std::vector<Borrowed>& changes) {
    if (changes.empty()) return true;
    int lo = 255, hi = 0;
    for (const Borrowed& b : changes) {
        lo = std::min<int>(lo, b.code);
        hi = std::max<int>(hi, b.code);
    }
    int count = hi - lo + 1, per = 0;
    KeySym* now = XGetKeyboardMapping(dpy, static_cast<KeyCode>(lo), count, &per);
    if (!now || per < 1) {
        if (now) XFree(now);
        return false;
    }
    std::vector<KeySym> syms(now, now + count * per);
    XFree(now);
    for (const Borrowed& b : changes) {
        KeySym* row = &syms[static_cast<std::size_t>((b.code - lo) * per)];
        std::fill(row, row + per, NoSymbol);
        // The same on both levels: a held Shift changes nothing.
        for (int level = 0; level < std::min(per, 2); ++level)
            row[level] = b.sym;
    }
    XChangeKeyboardMapping(dpy, lo, per, syms.data(), count);
    KeySym* after = XGetKeyboardMapping(dpy, static_cast<KeyCode>(lo), count, &per);
    bool ok = after != nullptr;
    for (const Borrowed& b : changes)
        ok = ok && after[(b.code - lo) * per] == b.sym;
    if (after) XFree(after);
    return ok;
}

enum class Settled { Read, NoPing, Unread };

Window keysWindow = None;     // the window that was active when the last text key went out
bool keysSinceSettle = false; // text keys went out since the receiver last said it read them
bool receiverHung = false;    // a ping went unanswered: waiting again would only add delay

Settled settle();
bool unread = false; // the receiver did not read keys in time, so no borrowed code may change

// Binds sym, with as many of the symbols still to come as fit, in one change. Codes that
// carry a symbol still to come keep it.
bool bindFrom(Display* dpy, KeySym sym) {
    std::vector<KeySym> wanted{sym};
    for (std::size_t i = typedSoFar; i < upcoming.size() && wanted.size() < borrowed.size(); ++i)
        if (std::find(wanted.begin(), wanted.end(), upcoming[i]) == wanted.end())
            wanted.push_back(upcoming[i]);
    std::vector<KeySym> missing;
    std::vector<Borrowed*> free;
    for (KeySym w : wanted)
        if (std::none_of(borrowed.begin(), borrowed.end(),
                         [&](const Borrowed& b) { return b.sym == w; }))
            missing.push_back(w);
    for (Borrowed& b : borrowed)
        if (std::find(wanted.begin(), wanted.end(), b.sym) == wanted.end()) free.push_back(&b);
    // Unbound codes first: rebinding a used one waits until the receiver has read its keys.
    auto unbound = std::stable_partition(free.begin(), free.end(),
                                         [](const Borrowed* b) { return b->sym == NoSymbol; });
    // Among the unbound, the closest together: the change rewrites every code between them.
    std::size_t n = std::min(missing.size(), static_cast<std::size_t>(unbound - free.begin()));
    if (n > 0) {
        std::sort(free.begin(), unbound,
                  [](const Borrowed* x, const Borrowed* y) { return x->code < y->code; });
        std::size_t best = 0;
        for (std::size_t i = 0; i + n <= static_cast<std::size_t>(unbound - free.begin()); ++i)
            if (free[i + n - 1]->code - free[i]->code < free[best + n - 1]->code - free[best]->code)
                best = i;
        std::rotate(free.begin(), free.begin() + static_cast<std::ptrdiff_t>(best), unbound);
    }
    std::vector<Borrowed> changes;
    bool rebinds = false;
    for (std::size_t i = 0; i < missing.size() && i < free.size(); ++i) {
        rebinds = rebinds || free[i]->sym != NoSymbol;
        changes.push_back({free[i]->code, missing[i]});
    }
    if (rebinds && settle() == Settled::Unread) {
        unread = true;
        return false;
    }
    if (!remap(dpy, changes)) return false;
    for (std::size_t i = 0; i < changes.size(); ++i)
        free[i]->sym = changes[i].sym;
    return true;
}

KeyCode codeForSym(Display* dpy, KeySym sym) {
    if (!sparesLooked) findSpares(dpy);
    if (borrowed.empty()) return 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        for (const Borrowed& b : borrowed)
            if (b.sym == sym) return b.code;
        if (attempt == 0 && !bindFrom(dpy, sym)) return 0;
    }
    return 0;
}

// Control characters that are keys type those keys; backspace and delete both delete
// backwards, as the Delete key on macOS types U+007F.
KeySym symForCodePoint(UChar32 cp) {
    switch (cp) {
    case '\n':
    case '\r':
        return XK_Return;
    case '\t':
        return XK_Tab;
    case '\b':
    case 0x7f:
        return XK_BackSpace;
    case 0x1b:
        return XK_Escape;
    default:
        break;
    }
    if ((cp >= 0x20 && cp <= 0x7e) || (cp >= 0xa0 && cp <= 0xff)) return static_cast<KeySym>(cp);
    return 0x01000000 | static_cast<KeySym>(cp);
}

bool isKeyboardKey(KeySym sym) {
    return sym == XK_Return || sym == XK_Tab || sym == XK_BackSpace || sym == XK_Escape;
}

// A key of the keyboard that types sym without any modifier in the active group: such
// characters (plain letters, digits, space) need no change of the mapping. 0 when there is none.
KeyCode plainKey(Display* dpy, KeySym sym) {
    static std::map<KeySym, KeyCode> known;
    static int group = -1;
    if (group < 0) {
        XkbStateRec state;
        group = XkbGetState(dpy, XkbUseCoreKbd, &state) == Success ? state.group : 0;
    }
    if (auto it = known.find(sym); it != known.end()) return it->second;
    int lo, hi;
    XDisplayKeycodes(dpy, &lo, &hi);
    KeyCode found = 0;
    for (int code = lo; code <= hi && !found; ++code)
        if (XkbKeycodeToKeysym(dpy, static_cast<KeyCode>(code), static_cast<unsigned>(group), 0) ==
            sym)
            found = static_cast<KeyCode>(code);
    known[sym] = found;
    return found;
}

// Whether the character goes through a borrowed code.
bool borrows(Display* dpy, KeySym sym) {
    return !isKeyboardKey(sym) && !plainKey(dpy, sym);
}

KeyCode codeForCodePoint(Display* dpy, UChar32 cp) {
    KeySym sym = symForCodePoint(cp);
    KeyCode code = 0;
    if (isKeyboardKey(sym)) code = codeOf(dpy, sym);
    if (!code) code = plainKey(dpy, sym);
    if (!code) code = codeForSym(dpy, sym);
    return code;
}

// The characters of one key event: each is a key of its own, and a CR LF pair is one Return.
std::vector<UChar32> characters(const std::u16string& text) {
    std::vector<UChar32> out;
    for (std::size_t i = 0; i < text.size();) {
        UChar32 cp;
        U16_NEXT(text.data(), i, text.size(), cp);
        if (cp == '\n' && !out.empty() && out.back() == '\r') continue;
        out.push_back(cp);
    }
    return out;
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

// Every key but the last goes down and up at once; the last stays down until the key-up
// event, so the pair the caller posts is one press.
bool postText(Display* dpy, const Key& key) {
    if (!key.down) {
        if (!heldTextCode) return true;
        bool ok = fakeKey(dpy, heldTextCode, false);
        heldTextCode = 0;
        return ok;
    }
    liftCapsLock(dpy);
    if (!keysSinceSettle) keysWindow = xlinux::activeWindow(dpy);
    keysSinceSettle = true;
    std::vector<UChar32> chars = characters(key.text);
    for (std::size_t i = 0; i < chars.size(); ++i) {
        KeyCode code = codeForCodePoint(dpy, chars[i]);
        if (!code || !fakeKey(dpy, code, true)) return false;
        if (borrows(dpy, symForCodePoint(chars[i]))) ++typedSoFar;
        if (i + 1 < chars.size()) {
            if (!fakeKey(dpy, code, false)) return false;
        } else {
            heldTextCode = code;
        }
    }
    return !chars.empty();
}

// ---- Settling: the receiver has read everything sent so far ----
//
// A borrowed key code must keep its symbol until the receiver has looked the key up: a toolkit
// busy for a second reads its keys late, and a key whose code was unbound by then types nothing.
// The window manager's ping goes through the receiver's event queue after the keys before it,
// and the answer comes only once those have been read and looked up.

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

bool pingAnswered(Display* dpy, Window w, long stamp) {
    Window root = DefaultRootWindow(dpy);
    XSelectInput(dpy, root, SubstructureNotifyMask);
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = w;
    e.xclient.message_type = atom(dpy, "WM_PROTOCOLS");
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(atom(dpy, "_NET_WM_PING"));
    e.xclient.data.l[1] = stamp;
    e.xclient.data.l[2] = static_cast<long>(w);
    XSendEvent(dpy, w, False, NoEventMask, &e);
    XFlush(dpy);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deliveryBoundMs);
    bool answered = false;
    while (!answered) {
        while (!answered && XPending(dpy)) {
            XEvent got;
            XNextEvent(dpy, &got);
            answered = got.type == ClientMessage &&
                       got.xclient.data.l[0] == static_cast<long>(atom(dpy, "_NET_WM_PING")) &&
                       got.xclient.data.l[1] == stamp;
        }
        if (answered) break;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{ConnectionNumber(dpy), POLLIN, 0};
        poll(&p, 1, static_cast<int>(std::min<long>(left.count(), 50)));
    }
    XSelectInput(dpy, root, NoEventMask);
    XFlush(dpy);
    return answered;
}

// Without ping support there is nothing to ask: a short grace period has to do.
Settled settle() {
    Display* dpy = connection();
    if (!dpy) return Settled::Unread;
    XSync(dpy, False);
    if (!keysSinceSettle) return Settled::Read;
    if (receiverHung) return Settled::Unread;
    Window w = keysWindow ? keysWindow : activeWindow(dpy);
    if (!w || !answersPing(dpy, w)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        keysSinceSettle = false;
        return Settled::NoPing;
    }
    static long stamp = 0x5a000000L;
    if (!pingAnswered(dpy, w, ++stamp)) {
        receiverHung = true;
        return Settled::Unread;
    }
    keysSinceSettle = false;
    return Settled::Read;
}

// The window manager handles its events in order, so its answer to a request sent now says it
// has caught up with everything before, such as reloading its keymap after a mapping change.
// Until then it holds each press under its passive grab; the press keeps the time it was made,
// so the second click of a double click would come too late to count as one. The request is
// _NET_REQUEST_FRAME_EXTENTS for a window of our own, answered with _NET_FRAME_EXTENTS.
bool windowManagerCaughtUp(Display* dpy) {
    static Window probe = None;
    static bool supported = [dpy] {
        auto list = xlinux::cardinals(dpy, DefaultRootWindow(dpy), "_NET_SUPPORTED", XA_ATOM);
        Atom wanted = atom(dpy, "_NET_REQUEST_FRAME_EXTENTS");
        return std::find(list.begin(), list.end(), wanted) != list.end();
    }();
    if (!supported) return false;
    Window root = DefaultRootWindow(dpy);
    Atom extents = atom(dpy, "_NET_FRAME_EXTENTS");
    if (!probe) {
        probe = XCreateSimpleWindow(dpy, root, -10, -10, 1, 1, 0, 0, 0);
        XSelectInput(dpy, probe, PropertyChangeMask);
    }
    XDeleteProperty(dpy, probe, extents);
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = probe;
    e.xclient.message_type = atom(dpy, "_NET_REQUEST_FRAME_EXTENTS");
    e.xclient.format = 32;
    XSendEvent(dpy, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &e);
    XFlush(dpy);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deliveryBoundMs);
    for (;;) {
        XEvent got;
        while (XCheckTypedWindowEvent(dpy, probe, PropertyNotify, &got))
            if (got.xproperty.atom == extents && got.xproperty.state == PropertyNewValue)
                return true;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{ConnectionNumber(dpy), POLLIN, 0};
        poll(&p, 1, static_cast<int>(std::min<long>(left.count(), 10)));
        XPending(dpy); // reads what arrived
    }
}

// ---- Mouse ----

// To the pixel that contains the point, as the window checks measured it.
bool moveTo(Display* dpy, double x, double y) {
    int px = static_cast<int>(std::floor(x)), py = static_cast<int>(std::floor(y));
    return XTestFakeMotionEvent(dpy, -1, px, py, CurrentTime) != 0 && pointerShows(dpy, px, py);
}

bool pointerAt(Display* dpy, double x, double y) {
    auto s = pointerState(dpy);
    auto [ex, ey] = onScreen(dpy, static_cast<int>(std::floor(x)), static_cast<int>(std::floor(y)));
    return s && s->x == ex && s->y == ey;
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
        if (down && m.clickState == 1) windowManagerCaughtUp(dpy);
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

Result post(const Event& event) {
    Display* dpy = connection();
    if (!dpy) return Result::Refused;
    catchStopSignals();
    stopIfAsked();
    posted = true;
    late = false;
    unread = false;
    bool ok = false;
    if (auto* m = std::get_if<Mouse>(&event))
        ok = postMouse(dpy, *m);
    else if (auto* w = std::get_if<Wheel>(&event))
        ok = postWheel(dpy, *w);
    else
        ok = postKey(dpy, std::get<Key>(event));
    return ok ? Result::Delivered : late ? Result::Late : unread ? Result::Unread : Result::Refused;
}

bool keysRead() {
    return settle() != Settled::Unread;
}

void prepareText(const std::u16string& text) {
    upcoming.clear();
    typedSoFar = 0;
    Display* dpy = connection();
    if (!dpy) return;
    for (UChar32 cp : characters(text)) {
        KeySym sym = symForCodePoint(cp);
        if (borrows(dpy, sym)) upcoming.push_back(sym);
    }
}

void pause(int ms) {
    if (Display* dpy = connection()) XFlush(dpy);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    stopIfAsked();
}

namespace {
void undoChanges() {
    Display* dpy = connection();
    awaitDelivery = false;
    heldTextCode = 0;
    while (!held.empty()) {
        Held h = held.back();
        if (h.button)
            fakeButton(dpy, h.code, false);
        else
            fakeKey(dpy, static_cast<KeyCode>(h.code), false);
    }
    std::vector<Borrowed> unbind;
    for (Borrowed& b : borrowed) {
        if (b.sym != NoSymbol) unbind.push_back({b.code, NoSymbol});
        b.sym = NoSymbol;
    }
    // Once, and not again after an unanswered ping: the codes go back to the keyboard even then.
    settle();
    if (!unbind.empty()) remap(dpy, unbind);
    if (capsLifted) {
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

} // namespace post::x11
