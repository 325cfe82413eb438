// Listening through XInput2 raw events on the root window, on a connection and a thread of the
// tap's own. Raw events carry no modifier state: it is tracked from the modifier keys' own raw
// presses and releases, seeded from the server's state and set right again from it whenever
// input rests. Injected (XTest) input arrives the same way.
#include "platform/input.h"
#include "platform/linux/shared/keycodes.h"
#include "platform/linux/x11/xdisplay.h"
#include "platform/loop.h"
#include "platform/permissions.h"

#include <X11/XKBlib.h>
#include <X11/Xproto.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/record.h>
#include <X11/extensions/scrnsaver.h>
#include <X11/keysym.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <poll.h>
#include <set>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace input {

// What the listening thread works with. It holds its own share: a thread stuck inside Xlib (a
// client holds a server grab) is never waited for, and the last holder closes the connection.
struct Listener {
    std::atomic<bool> enabled{false};
    std::function<void(const Event&)> callback;
    Display* dpy = nullptr;
    int xiOpcode = 0;
    int wakeFd = -1;

    ~Listener() {
        if (wakeFd >= 0) ::close(wakeFd);
        if (dpy) XCloseDisplay(dpy);
    }
};

struct Tap {
    bool withKeys = false;
    std::shared_ptr<Listener> listener = std::make_shared<Listener>();

    ~Tap() {
        listener->enabled = false;
        if (listener->wakeFd >= 0) {
            std::uint64_t one = 1;
            (void)!::write(listener->wakeFd, &one, sizeof one);
        }
    }
};

// The fallback without XInput2: RECORD's copy of the server's button presses, read on a thread
// of its own (enabling a context blocks) and handed to the main loop.
struct Monitor {
    std::function<void(const Event&)> handler;
    std::shared_ptr<std::atomic<bool>> live = std::make_shared<std::atomic<bool>>(true);
    Display* control = nullptr;
    Display* data = nullptr;
    XRecordContext context = 0;
    std::thread thread;

    ~Monitor() {
        live->store(false);
        if (thread.joinable()) {
            XRecordDisableContext(control, context);
            XFlush(control);
            thread.join();
        }
        if (context) XRecordFreeContext(control, context);
        if (data) XCloseDisplay(data);
        if (control) XCloseDisplay(control);
    }
};

namespace {

std::uint64_t maskOfState(unsigned int state) {
    std::uint64_t flags = 0;
    if (state & ShiftMask) flags |= maskShift;
    if (state & ControlMask) flags |= maskControl;
    if (state & Mod1Mask) flags |= maskAlternate;
    if (state & Mod4Mask) flags |= maskCommand;
    return flags;
}

std::uint64_t maskOfSym(KeySym sym) {
    switch (sym) {
    case XK_Shift_L:
    case XK_Shift_R:
        return maskShift;
    case XK_Control_L:
    case XK_Control_R:
        return maskControl;
    case XK_Alt_L:
    case XK_Alt_R:
    case XK_Meta_L:
    case XK_Meta_R:
        return maskAlternate;
    case XK_Super_L:
    case XK_Super_R:
    case XK_Hyper_L:
    case XK_Hyper_R:
        return maskCommand;
    default:
        return 0;
    }
}

// Keys the host sees only as a change of flags, never as a key press.
bool lockOrShift(KeySym sym) {
    return sym == XK_Caps_Lock || sym == XK_Shift_Lock || sym == XK_Num_Lock ||
           sym == XK_ISO_Level3_Shift || sym == XK_ISO_Level5_Shift || sym == XK_Mode_switch;
}

struct Pointer {
    int x = 0, y = 0;
    unsigned int state = 0;
};

Pointer queryPointer(Display* dpy) {
    Window root = DefaultRootWindow(dpy), r, c;
    int rx = 0, ry = 0, wx, wy;
    unsigned int state = 0;
    XQueryPointer(dpy, root, &r, &c, &rx, &ry, &wx, &wy, &state);
    return {rx, ry, state};
}

// Valuators that scroll, by device: a device that scrolls smoothly moves these instead of
// pressing buttons 4 to 7 (the server emulates the buttons only for applications).
std::set<std::pair<int, int>> scrollValuators(Display* dpy) {
    std::set<std::pair<int, int>> found;
    int n = 0;
    XIDeviceInfo* devices = XIQueryDevice(dpy, XIAllDevices, &n);
    for (int i = 0; devices && i < n; ++i)
        for (int c = 0; c < devices[i].num_classes; ++c)
            if (devices[i].classes[c]->type == XIScrollClass)
                found.insert({devices[i].deviceid,
                              reinterpret_cast<XIScrollClassInfo*>(devices[i].classes[c])->number});
    if (devices) XIFreeDeviceInfo(devices);
    return found;
}

bool scrolled(const XIRawEvent* raw, const std::set<std::pair<int, int>>& valuators) {
    for (auto& [device, number] : valuators)
        if ((device == raw->sourceid || device == raw->deviceid) &&
            number < raw->valuators.mask_len * 8 && XIMaskIsSet(raw->valuators.mask, number))
            return true;
    return false;
}

void listen(std::shared_ptr<Listener> tap) {
    Display* dpy = tap->dpy;
    auto scrollers = scrollValuators(dpy);
    std::map<int, std::uint64_t> held; // modifier keys down, by key code
    std::uint64_t seeded = maskOfState(queryPointer(dpy).state);
    auto flags = [&] {
        std::uint64_t f = seeded;
        for (auto& [code, mask] : held)
            f |= mask;
        return f;
    };
    auto resync = [&] {
        std::uint64_t server = maskOfState(queryPointer(dpy).state);
        for (auto it = held.begin(); it != held.end();)
            it = (server & it->second) ? std::next(it) : held.erase(it);
        std::uint64_t tracked = 0;
        for (auto& [code, mask] : held)
            tracked |= mask;
        seeded = server & ~tracked;
    };
    auto deliver = [&](Event e) {
        if (tap->enabled.load() && tap->callback) tap->callback(e);
    };

    // Raw events come from the device, which knows nothing of auto-repeat: a held key repeats
    // here as the server repeats it for applications, by its own delay, rate and key settings,
    // read again whenever the server says they changed (XKB controls notify).
    using Clock = std::chrono::steady_clock;
    unsigned int delay = 660, interval = 40;
    XKeyboardState keyboard{};
    auto readRepeat = [&] {
        XkbGetAutoRepeatRate(dpy, XkbUseCoreKbd, &delay, &interval);
        XGetKeyboardControl(dpy, &keyboard);
    };
    readRepeat();
    int xkbEvent = 0;
    {
        int opcode, error, major = XkbMajorVersion, minor = XkbMinorVersion;
        if (XkbQueryExtension(dpy, &opcode, &xkbEvent, &error, &major, &minor))
            XkbSelectEvents(dpy, XkbUseCoreKbd, XkbControlsNotifyMask, XkbControlsNotifyMask);
        else
            xkbEvent = -1;
    }
    auto repeats = [&](int xCode) {
        return keyboard.global_auto_repeat == AutoRepeatModeOn &&
               (keyboard.auto_repeats[xCode / 8] >> (xCode % 8) & 1);
    };
    auto stillDown = [&](int xCode) {
        char keys[32];
        XQueryKeymap(dpy, keys);
        return (keys[xCode / 8] >> (xCode % 8) & 1) != 0;
    };
    int repeatXCode = 0; // 0: nothing repeats
    Event repeatEvent;
    Clock::time_point nextRepeat;

    pollfd fds[2] = {{ConnectionNumber(dpy), POLLIN, 0}, {tap->wakeFd, POLLIN, 0}};
    for (;;) {
        // Xlib must not be asked again once the connection failed: the lost display is noticed
        // after each call that reads, before the next one.
        if (!xlinux::display()) return;
        bool pending = XPending(dpy) != 0;
        if (!xlinux::display()) return;
        if (!pending) {
            int wait = 1000;
            if (repeatXCode)
                wait = int(std::max<long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                 nextRepeat - Clock::now())
                                                 .count()));
            int n = ::poll(fds, 2, wait);
            if (n < 0) continue;
            if (fds[1].revents) return;
            if (n == 0 && repeatXCode) {
                if (stillDown(repeatXCode)) {
                    repeatEvent.flags = flags();
                    deliver(repeatEvent);
                    nextRepeat += std::chrono::milliseconds(interval);
                } else {
                    repeatXCode = 0;
                }
                continue;
            }
            if (n == 0) {
                resync(); // a release may have been missed while nothing moved
                continue;
            }
            if (fds[0].revents & (POLLHUP | POLLERR)) return;
            continue;
        }
        XEvent ev;
        XNextEvent(dpy, &ev);
        if (xkbEvent >= 0 && ev.type == xkbEvent &&
            reinterpret_cast<XkbAnyEvent&>(ev).xkb_type == XkbControlsNotify) {
            readRepeat();
            if (repeatXCode && !repeats(repeatXCode)) repeatXCode = 0;
            continue;
        }
        XGenericEventCookie* cookie = &ev.xcookie;
        if (cookie->type != GenericEvent || cookie->extension != tap->xiOpcode ||
            !XGetEventData(dpy, cookie))
            continue;
        int type = cookie->evtype;
        if (type == XI_HierarchyChanged || type == XI_DeviceChanged) {
            XFreeEventData(dpy, cookie);
            scrollers = scrollValuators(dpy);
            continue;
        }
        auto* raw = static_cast<XIRawEvent*>(cookie->data);
        int detail = raw->detail;
        bool scrolling = type == XI_RawMotion && scrolled(raw, scrollers);
        XFreeEventData(dpy, cookie);

        if (type == XI_RawMotion) {
            if (scrolling) deliver({.type = scrollWheel, .flags = flags()});
            continue;
        }

        if (type == XI_RawKeyPress || type == XI_RawKeyRelease) {
            KeySym sym = XkbKeycodeToKeysym(dpy, static_cast<KeyCode>(detail), 0, 0);
            if (std::uint64_t mask = maskOfSym(sym)) {
                if (type == XI_RawKeyPress) {
                    held[detail] = mask;
                } else {
                    held.erase(detail);
                    seeded &= ~mask;
                }
                continue;
            }
            if (type == XI_RawKeyRelease) {
                if (detail == repeatXCode) repeatXCode = 0;
                continue;
            }
            if (lockOrShift(sym)) continue;
            int code = keycodes::virtualCodeOf(detail, sym);
            // Keys without a place still count; they get a code no table names.
            Event e{.type = keyDown, .flags = flags(), .keyCode = code >= 0 ? code : 0xFFFF};
            deliver(e);
            repeatXCode = repeats(detail) ? detail : 0;
            repeatEvent = e;
            nextRepeat = Clock::now() + std::chrono::milliseconds(delay);
        } else if (type == XI_RawButtonPress) {
            Pointer p = queryPointer(dpy);
            Event e{.x = double(p.x), .y = double(p.y), .flags = flags()};
            if (detail == 1)
                e.type = leftMouseDown;
            else if (detail == 3)
                e.type = rightMouseDown;
            else if (detail >= 4 && detail <= 7) // wheel buttons
                e.type = scrollWheel;
            else
                continue;
            deliver(e);
        }
    }
}

} // namespace

} // namespace input

namespace input::x11 {
namespace {

// On the listener's thread: a connection of its own, opened there so that a server held by a
// grab holds that thread, not the caller.
bool connectListener(Listener* tap, bool withKeys) {
    tap->dpy = XOpenDisplay(nullptr);
    if (!tap->dpy) return false;
    // Losing the display ends the listener, not the program.
    XSetIOErrorExitHandler(
        tap->dpy, [](Display*, void*) {}, nullptr);
    int event, error;
    if (!XQueryExtension(tap->dpy, "XInputExtension", &tap->xiOpcode, &event, &error)) return false;
    int major = 2, minor = 2;
    if (XIQueryVersion(tap->dpy, &major, &minor) != Success) return false;

    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(bits, XI_RawButtonPress);
    XISetMask(bits, XI_RawMotion); // smooth-scroll valuators
    if (withKeys) {
        XISetMask(bits, XI_RawKeyPress);
        XISetMask(bits, XI_RawKeyRelease);
    }
    XIEventMask mask{XIAllMasterDevices, sizeof bits, bits};
    unsigned char changes[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(changes, XI_HierarchyChanged);
    XISetMask(changes, XI_DeviceChanged);
    XIEventMask changeMask{XIAllDevices, sizeof changes, changes};
    XIEventMask masks[] = {mask, changeMask};
    XISelectEvents(tap->dpy, DefaultRootWindow(tap->dpy), masks, 2);
    XSync(tap->dpy, False);
    return true;
}

} // namespace

TapRef createTap(bool withKeys, std::function<void(const Event&)> callback) {
    // XInput2 as the server said at start (asked once): without it the caller falls back.
    if (!xlinux::display() || !permissions::listenAccess()) return nullptr;
    auto made = std::make_shared<Tap>();
    made->withKeys = withKeys;
    made->listener->callback = std::move(callback);
    made->listener->wakeFd = ::eventfd(0, EFD_CLOEXEC);
    if (made->listener->wakeFd < 0) return nullptr;
    std::thread([listener = made->listener, withKeys] {
        if (connectListener(listener.get(), withKeys)) listen(listener);
    }).detach();
    return made;
}

void enableTap(const TapRef& tap) {
    if (tap) tap->listener->enabled = true;
}

void disableTap(const TapRef& tap) {
    if (tap) tap->listener->enabled = false;
}

MonitorRef addMouseMonitor(std::function<void(const Event&)> handler) {
    if (!xlinux::display()) return nullptr;
    auto m = std::make_shared<Monitor>();
    m->handler = std::move(handler);
    m->control = XOpenDisplay(nullptr);
    m->data = XOpenDisplay(nullptr);
    int major, minor;
    if (!m->control || !m->data || !XRecordQueryVersion(m->control, &major, &minor)) return nullptr;
    for (Display* d : {m->control, m->data})
        XSetIOErrorExitHandler(
            d, [](Display*, void*) {}, nullptr);
    XRecordRange* range = XRecordAllocRange();
    if (!range) return nullptr;
    range->device_events.first = ButtonPress;
    range->device_events.last = ButtonPress;
    XRecordClientSpec clients = XRecordAllClients;
    m->context = XRecordCreateContext(m->control, 0, &clients, 1, &range, 1);
    XFree(range);
    if (!m->context) return nullptr;
    XSync(m->control, False);
    // The handler's own copy and the liveness flag travel with the thread; the monitor may be
    // gone by the time a handed-over press runs on the main loop.
    struct Carry {
        std::function<void(const Event&)> handler;
        std::shared_ptr<std::atomic<bool>> live;
    };
    auto* carry = new Carry{m->handler, m->live};
    m->thread = std::thread([data = m->data, context = m->context, carry] {
        XRecordEnableContext(
            data, context,
            [](XPointer closure, XRecordInterceptData* d) {
                auto* c = reinterpret_cast<Carry*>(closure);
                if (d->category == XRecordFromServer && d->data) {
                    auto* ev = reinterpret_cast<xEvent*>(d->data);
                    int button = ev->u.u.detail;
                    uint32_t type = button == 1                    ? leftMouseDown
                                    : button == 3                  ? rightMouseDown
                                    : (button >= 4 && button <= 7) ? scrollWheel
                                                                   : 0;
                    if (type && (ev->u.u.type & 0x7f) == ButtonPress)
                        loop::onMain([handler = c->handler, live = c->live, type] {
                            if (live->load()) handler(Event{.type = type});
                        });
                }
                XRecordFreeData(d);
            },
            reinterpret_cast<XPointer>(carry));
        delete carry;
    });
    return m;
}

void removeMonitor(const MonitorRef& monitor) {
    if (monitor) monitor->live->store(false);
}

namespace {

// The server's idle time, sampled every second on a thread and connection of its own: a client
// holding a server grab then stalls only the sampler, never the idle check on the main loop.
std::atomic<double> idleSample{-1};         // seconds idle when sampled; -1 before the first
std::atomic<std::int64_t> idleSampledAt{0}; // steady-clock nanoseconds of that sample

std::int64_t steadyNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void sampleIdle() {
    Display* dpy = XOpenDisplay(nullptr);
    int event, error;
    XScreenSaverInfo* info =
        dpy && XScreenSaverQueryExtension(dpy, &event, &error) ? XScreenSaverAllocInfo() : nullptr;
    if (dpy)
        XSetIOErrorExitHandler(
            dpy, [](Display*, void*) {}, nullptr);
    while (info && xlinux::display()) {
        if (!XScreenSaverQueryInfo(dpy, DefaultRootWindow(dpy), info)) break;
        idleSample = info->idle / 1000.0;
        idleSampledAt = steadyNow();
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    idleSample = -1;
    if (info) XFree(info);
    if (dpy) XCloseDisplay(dpy);
}

} // namespace

double secondsSinceLastInput() {
    if (!xlinux::display()) return 0;
    static std::once_flag started;
    std::call_once(started, [] { std::thread(sampleIdle).detach(); });
    double sampled = idleSample;
    if (sampled < 0) return 0;
    // Nothing newer than the sample means no input since: the idle time has grown meanwhile.
    return sampled + (steadyNow() - idleSampledAt.load()) / 1e9;
}

Point pointerLocation() {
    Display* dpy = xlinux::display();
    if (!dpy) return {};
    Pointer p = queryPointer(dpy);
    return {double(p.x), double(DisplayHeight(dpy, DefaultScreen(dpy)) - p.y)};
}

std::optional<Rect> mainScreenFrame() {
    Display* dpy = xlinux::display();
    if (!dpy) return std::nullopt;
    int s = DefaultScreen(dpy);
    return Rect{0, 0, double(DisplayWidth(dpy, s)), double(DisplayHeight(dpy, s))};
}

} // namespace input::x11
