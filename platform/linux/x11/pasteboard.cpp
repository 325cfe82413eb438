// The CLIPBOARD selection. Asking its owner for types and text is a round trip to another
// application that may hang, so a thread of our own does it with a connection of its own: each
// owner change (XFixes) is read there, each answer awaited at most 250 ms, and only then does the
// change count move. The main thread reads the finished snapshot and never waits on the owner.
//
// An owner decides how much it sends, so nothing here takes more than it uses: the types are
// compared as atoms (never one round trip per name), a list of types longer than any real one
// counts as concealed (what lies beyond can't be known), and a text is read, whole or in
// increments (INCR), only up to the 80 KB that hold the 20,000 UTF-16 units a copy reports.
#include "platform/pasteboard.h"
#include "platform/linux/x11/xdisplay.h"
#include "platform/loop.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>
#include <algorithm>
#include <chrono>
#include <mutex>
#include <poll.h>
#include <thread>

namespace pasteboard::x11 {
namespace {

struct Snapshot {
    long count = 0;
    double at = 0; // when the change was noticed
    std::vector<std::string> types;
    std::optional<std::string> text;
};

std::mutex lock;
Snapshot current;

constexpr auto answerTime = std::chrono::milliseconds(250);

struct Reader {
    Display* dpy = nullptr;
    Window window = None;
    Atom clipboard = None, targets = None, utf8 = None, property = None, incr = None, hint = None;
    int properties = 0; // how many properties were given up on: each has a name of its own
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

constexpr std::size_t textBytes = 80 * 1024;
constexpr long mostTargets = 4096;
constexpr auto incrementTime = std::chrono::seconds(2);

// At most `longs` 32-bit units of the answer, deleted once read; `more` says whether it held more.
std::optional<std::string> takeProperty(Reader& r, Atom& type, int& format, long longs,
                                        bool& more) {
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(r.dpy, r.window, r.property, 0, longs, False, AnyPropertyType, &type,
                           &format, &items, &after, &data) != Success)
        return std::nullopt;
    XDeleteProperty(r.dpy, r.window, r.property);
    more = after > 0;
    std::optional<std::string> bytes;
    if (data) {
        std::size_t unit = format == 32 ? sizeof(long) : std::size_t(format / 8);
        bytes.emplace(reinterpret_cast<char*>(data), items * unit);
        XFree(data);
    }
    return bytes;
}

// The next property notice for our property of this state, or false after the deadline.
bool propertyEvent(Reader& r, int state, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        while (XPending(r.dpy)) {
            if (!xlinux::display()) return false;
            XEvent ev;
            XNextEvent(r.dpy, &ev);
            if (copied(r, ev)) r.changedAgain = true;
            if (ev.type == PropertyNotify && ev.xproperty.window == r.window &&
                ev.xproperty.atom == r.property && ev.xproperty.state == state)
                return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !xlinux::display()) return false;
        pollfd fd{ConnectionNumber(r.dpy), POLLIN, 0};
        ::poll(&fd, 1, static_cast<int>(std::min<long>(left.count(), answerTime.count())));
    }
}

// A transfer given up on may still write into its property: later answers use another one.
void newProperty(Reader& r) {
    r.property =
        XInternAtom(r.dpy, ("ZEPHRIN_PASTEBOARD_" + std::to_string(++r.properties)).c_str(), False);
}

// The text of an incremental transfer, up to textBytes. Each chunk is asked for by deleting the
// last one; the rest after enough is drained unread, within a bound.
std::optional<std::string> readIncrements(Reader& r) {
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + incrementTime;
    for (;;) {
        // Each chunk is asked for by deleting the last (takeProperty did) and announced as new.
        if (!propertyEvent(r, PropertyNewValue, deadline)) {
            newProperty(r);
            return text.empty() ? std::nullopt : std::optional<std::string>(text);
        }
        Atom type = None;
        int format = 0;
        bool more = false;
        long want = text.size() < textBytes ? long((textBytes - text.size()) / 4 + 1) : 0;
        auto chunk = takeProperty(r, type, format, want, more);
        if (!chunk || (chunk->empty() && !more)) return text; // the empty chunk ends it
        if (text.size() < textBytes) text += chunk->substr(0, textBytes - text.size());
    }
}

// The last whole UTF-8 sequence at most: a cut may have split one.
void cutToWholeCharacters(std::string& text) {
    std::size_t end = text.size();
    std::size_t lead = end;
    while (lead > 0 && end - lead < 4 &&
           (static_cast<unsigned char>(text[lead - 1]) & 0xC0) == 0x80)
        --lead;
    if (lead == 0) return;
    unsigned char c = static_cast<unsigned char>(text[lead - 1]);
    std::size_t length = c < 0x80         ? 1
                         : (c >> 5) == 6  ? 2
                         : (c >> 4) == 14 ? 3
                         : (c >> 3) == 30 ? 4
                                          : 1;
    if (end - (lead - 1) < length) text.resize(lead - 1);
}

std::optional<std::string> readText(Reader& r) {
    if (!convert(r, r.utf8)) return std::nullopt;
    Atom type = None;
    int format = 0;
    bool more = false;
    auto bytes = takeProperty(r, type, format, long(textBytes / 4 + 1), more);
    if (type == r.incr) bytes = readIncrements(r);
    if (bytes && bytes->size() > textBytes) bytes->resize(textBytes);
    if (bytes && (more || bytes->size() == textBytes)) cutToWholeCharacters(*bytes);
    return bytes;
}

Snapshot read(Reader& r) {
    Snapshot s;
    if (XGetSelectionOwner(r.dpy, r.clipboard) == None || !convert(r, r.targets)) return s;
    Atom type = None;
    int format = 0;
    bool more = false;
    auto bytes = takeProperty(r, type, format, mostTargets, more);
    if (!bytes || format != 32) return s;
    const long* atoms = reinterpret_cast<const long*>(bytes->data());
    std::size_t n = bytes->size() / sizeof(long);
    bool hasUtf8 = false, concealed = more;
    for (std::size_t i = 0; i < n; ++i) {
        Atom a = static_cast<Atom>(atoms[i]);
        hasUtf8 = hasUtf8 || a == r.utf8;
        // What password managers set: the content is not to be recorded.
        concealed = concealed || a == r.hint;
    }
    if (concealed) s.types.push_back("org.nspasteboard.ConcealedType");
    if (hasUtf8) s.types.push_back("UTF8_STRING");
    if (hasUtf8 && !concealed) s.text = readText(r);
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
            double at = loop::now();
            Snapshot s = read(r);
            s.at = at;
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
        // Incremental transfers announce each chunk as a change of our property.
        XSelectInput(r.dpy, r.window, PropertyChangeMask);
        r.clipboard = XInternAtom(r.dpy, "CLIPBOARD", False);
        r.targets = XInternAtom(r.dpy, "TARGETS", False);
        r.utf8 = XInternAtom(r.dpy, "UTF8_STRING", False);
        r.incr = XInternAtom(r.dpy, "INCR", False);
        r.hint = XInternAtom(r.dpy, "x-kde-passwordManagerHint", False);
        newProperty(r);
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

double changedAt() {
    std::lock_guard<std::mutex> hold(lock);
    return current.at;
}

std::vector<std::string> types() {
    std::lock_guard<std::mutex> hold(lock);
    return current.types;
}

std::optional<std::string> plainText() {
    std::lock_guard<std::mutex> hold(lock);
    return current.text;
}

} // namespace pasteboard::x11
