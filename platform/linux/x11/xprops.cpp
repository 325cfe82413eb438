#include "platform/linux/x11/xprops.h"

#include <X11/Xatom.h>
#include <X11/Xlib-xcb.h>
#include <X11/Xutil.h>
#include <X11/extensions/XRes.h>

namespace xlinux {

Atom atom(Display* dpy, const char* name) {
    return XInternAtom(dpy, name, False);
}

std::vector<unsigned long> cardinals(Display* dpy, Window w, const char* name, Atom type) {
    Atom actual;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    std::vector<unsigned long> items;
    if (XGetWindowProperty(dpy, w, atom(dpy, name), 0, 1024, False, type, &actual, &format, &count,
                           &after, &data) != Success ||
        !data)
        return items;
    if (format == 32) {
        auto* values = reinterpret_cast<unsigned long*>(data);
        items.assign(values, values + count);
    }
    XFree(data);
    return items;
}

std::optional<unsigned long> cardinal(Display* dpy, Window w, const char* name, Atom type) {
    auto items = cardinals(dpy, w, name, type);
    if (items.empty()) return std::nullopt;
    return items[0];
}

std::string text(Display* dpy, Window w, const char* name) {
    Atom actual;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(dpy, w, atom(dpy, name), 0, 4096, False, AnyPropertyType, &actual,
                           &format, &count, &after, &data) != Success ||
        !data)
        return "";
    std::string s;
    if (format == 8) s.assign(reinterpret_cast<char*>(data), count);
    XFree(data);
    return s;
}

std::string title(Display* dpy, Window w) {
    std::string t = text(dpy, w, "_NET_WM_NAME");
    return t.empty() ? text(dpy, w, "WM_NAME") : t;
}

namespace {

bool serverKnowsPids(Display* dpy) {
    static const bool known = [dpy] {
        int event, error, major = 0, minor = 0;
        return XResQueryExtension(dpy, &event, &error) && XResQueryVersion(dpy, &major, &minor) &&
               (major > 1 || (major == 1 && minor >= 2));
    }();
    return known;
}

int claimedPid(Display* dpy, Window w) {
    auto pid = cardinal(dpy, w, "_NET_WM_PID", XA_CARDINAL);
    return pid && *pid > 0 && *pid <= 0x7fffffff ? static_cast<int>(*pid) : -1;
}

} // namespace

std::vector<int> windowPids(Display* dpy, const std::vector<Window>& windows) {
    std::vector<int> pids(windows.size(), -1);
    if (windows.empty()) return pids;
    if (!serverKnowsPids(dpy)) {
        for (std::size_t i = 0; i < windows.size(); ++i)
            pids[i] = claimedPid(dpy, windows[i]);
        return pids;
    }
    std::vector<XResClientIdSpec> queries;
    for (Window w : windows)
        queries.push_back({w, XRES_CLIENT_ID_PID_MASK});
    long n = 0;
    XResClientIdValue* values = nullptr;
    if (XResQueryClientIds(dpy, static_cast<long>(queries.size()), queries.data(), &n, &values) !=
        Success)
        return pids;
    // Each answer names its client by the base of the client's resource ids, which is every
    // id the client made with the per-client bits cleared.
    unsigned long idMask =
        XGetXCBConnection(dpy) ? xcb_get_setup(XGetXCBConnection(dpy))->resource_id_mask : 0;
    for (long v = 0; v < n; ++v) {
        pid_t p = XResGetClientPid(&values[v]);
        if (p <= 0) continue;
        for (std::size_t i = 0; i < windows.size(); ++i)
            if ((windows[i] & ~idMask) == values[v].spec.client) pids[i] = static_cast<int>(p);
    }
    XResClientIdsDestroy(n, values);
    return pids;
}

int windowPid(Display* dpy, Window w) {
    return windowPids(dpy, {w})[0];
}

Window clientOf(Display* dpy, Window w) {
    Atom wmState = atom(dpy, "WM_STATE");
    // Breadth first, a few levels: window managers wrap clients in one or two frame windows.
    std::vector<Window> level{w};
    for (int depth = 0; depth < 4 && !level.empty(); ++depth) {
        std::vector<Window> next;
        for (Window candidate : level) {
            Atom actual;
            int format;
            unsigned long count, after;
            unsigned char* data = nullptr;
            if (XGetWindowProperty(dpy, candidate, wmState, 0, 0, False, AnyPropertyType, &actual,
                                   &format, &count, &after, &data) == Success) {
                if (data) XFree(data);
                if (actual != None) return candidate;
            }
            Window root, parent, *children = nullptr;
            unsigned int n = 0;
            if (XQueryTree(dpy, candidate, &root, &parent, &children, &n)) {
                next.insert(next.end(), children, children + n);
                if (children) XFree(children);
            }
        }
        level = std::move(next);
    }
    return None;
}

Window activeWindow(Display* dpy) {
    auto w = cardinal(dpy, DefaultRootWindow(dpy), "_NET_ACTIVE_WINDOW", XA_WINDOW);
    return w ? static_cast<Window>(*w) : None;
}

} // namespace xlinux
