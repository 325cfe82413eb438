// The CLIPBOARD selection. Asking its owner for types and text is a round trip to another
// application that may hang, so a thread of our own does it with a connection of its own: each
// owner change (XFixes) is read there, each answer awaited at most 250 ms, and only then does the
// change count move. The main thread reads the finished snapshot and never waits on the owner.
#include "platform/pasteboard.h"
#include "platform/linux/xdisplay.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>
#include <algorithm>
#include <chrono>
#include <mutex>
#include <poll.h>
#include <thread>

namespace pasteboard {
namespace {

struct Snapshot {
    long count = 0;
    std::vector<std::string> types;
    std::optional<std::string> text;
};

std::mutex lock;
Snapshot current;

constexpr auto answerTime = std::chrono::milliseconds(250);

struct Reader {
    Display* dpy = nullptr;
    Window window = None;
    Atom clipboard = None, targets = None, utf8 = None, property = None, incr = None;
    int fixesEvent = 0;
    bool changedAgain = false;
};

// A new owner is a copy; an owner that quits (the selection left with none) copied nothing.
bool copied(const Reader& r, const XEvent& ev) {
    return ev.type == r.fixesEvent + XFixesSelectionNotify &&
           reinterpret_cast<const XFixesSelectionNotifyEvent&>(ev).owner != None;
}

// Waits for the owner's answer to one conversion; false when it doesn't come in time.
bool convert(Reader& r, Atom target) {
    XDeleteProperty(r.dpy, r.window, r.property);
    XConvertSelection(r.dpy, r.clipboard, target, r.property, r.window, CurrentTime);
    XFlush(r.dpy);
    auto deadline = std::chrono::steady_clock::now() + answerTime;
    for (;;) {
        while (XPending(r.dpy)) {
            if (!xlinux::display()) return false;
            XEvent ev;
            XNextEvent(r.dpy, &ev);
            if (copied(r, ev)) r.changedAgain = true;
            if (ev.type == SelectionNotify && ev.xselection.requestor == r.window &&
                ev.xselection.target == target)
                return ev.xselection.property != None;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !xlinux::display()) return false;
        pollfd fd{ConnectionNumber(r.dpy), POLLIN, 0};
        ::poll(&fd, 1, static_cast<int>(left.count()));
    }
}

// The answer's bytes and type; an incremental transfer is not followed (it reads as none).
std::optional<std::string> takeProperty(Reader& r, Atom& type, int& format) {
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(r.dpy, r.window, r.property, 0, 1 << 24, True, AnyPropertyType, &type,
                           &format, &items, &after, &data) != Success)
        return std::nullopt;
    std::optional<std::string> bytes;
    if (data && type != r.incr) {
        std::size_t unit = format == 32 ? sizeof(long) : std::size_t(format / 8);
        bytes.emplace(reinterpret_cast<char*>(data), items * unit);
    }
    if (data) XFree(data);
    return bytes;
}

Snapshot read(Reader& r) {
    Snapshot s;
    if (XGetSelectionOwner(r.dpy, r.clipboard) == None || !convert(r, r.targets)) return s;
    Atom type = None;
    int format = 0;
    auto bytes = takeProperty(r, type, format);
    if (!bytes || format != 32) return s;
    const long* atoms = reinterpret_cast<const long*>(bytes->data());
    std::size_t n = bytes->size() / sizeof(long);
    bool hasUtf8 = false;
    for (std::size_t i = 0; i < n; ++i) {
        Atom a = static_cast<Atom>(atoms[i]);
        if (a == r.utf8) hasUtf8 = true;
        char* name = XGetAtomName(r.dpy, a);
        if (!name) continue;
        std::string type = name;
        XFree(name);
        // What password managers set: the content is not to be recorded.
        s.types.push_back(type == "x-kde-passwordManagerHint" ? "org.nspasteboard.ConcealedType"
                                                              : type);
    }
    bool concealed = std::find(s.types.begin(), s.types.end(), "org.nspasteboard.ConcealedType") !=
                     s.types.end();
    if (hasUtf8 && !concealed && convert(r, r.utf8)) s.text = takeProperty(r, type, format);
    return s;
}

void watch(Reader r) {
    for (;;) {
        // Xlib must not be asked again once the connection failed: the lost display is noticed
        // after each call that reads, before the next one.
        if (!xlinux::display()) return;
        if (XPending(r.dpy) == 0) {
            if (!xlinux::display()) return;
            pollfd fd{ConnectionNumber(r.dpy), POLLIN, 0};
            ::poll(&fd, 1, -1);
            continue;
        }
        if (!xlinux::display()) return;
        XEvent ev;
        XNextEvent(r.dpy, &ev);
        if (!copied(r, ev)) continue;
        do {
            r.changedAgain = false;
            Snapshot s = read(r);
            std::lock_guard<std::mutex> hold(lock);
            s.count = current.count + 1;
            current = std::move(s);
        } while (r.changedAgain);
    }
}

void start() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (!xlinux::display()) return; // also readies Xlib for threads
        Reader r;
        r.dpy = XOpenDisplay(nullptr);
        if (!r.dpy) return;
        XSetIOErrorExitHandler(
            r.dpy, [](Display*, void*) {}, nullptr);
        int error = 0;
        if (!XFixesQueryExtension(r.dpy, &r.fixesEvent, &error)) {
            XCloseDisplay(r.dpy);
            return;
        }
        r.window = XCreateSimpleWindow(r.dpy, DefaultRootWindow(r.dpy), 0, 0, 1, 1, 0, 0, 0);
        r.clipboard = XInternAtom(r.dpy, "CLIPBOARD", False);
        r.targets = XInternAtom(r.dpy, "TARGETS", False);
        r.utf8 = XInternAtom(r.dpy, "UTF8_STRING", False);
        r.incr = XInternAtom(r.dpy, "INCR", False);
        r.property = XInternAtom(r.dpy, "ZEPHRIN_PASTEBOARD", False);
        XFixesSelectSelectionInput(r.dpy, r.window, r.clipboard,
                                   XFixesSetSelectionOwnerNotifyMask |
                                       XFixesSelectionWindowDestroyNotifyMask |
                                       XFixesSelectionClientCloseNotifyMask);
        XSync(r.dpy, False);
        std::thread(watch, r).detach();
    });
}

} // namespace

long changeCount() {
    start();
    std::lock_guard<std::mutex> hold(lock);
    return current.count;
}

std::vector<std::string> types() {
    std::lock_guard<std::mutex> hold(lock);
    return current.types;
}

std::optional<std::string> plainText() {
    std::lock_guard<std::mutex> hold(lock);
    return current.text;
}

} // namespace pasteboard
