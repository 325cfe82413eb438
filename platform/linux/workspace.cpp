#include "platform/workspace.h"
#include "platform/linux/xdisplay.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <fstream>
#include <mutex>
#include <vector>

namespace workspace {
namespace {

std::mutex xMutex;

// The first 32-bit-format item of a window property, if present.
std::optional<unsigned long> cardinal(Display* dpy, Window w, const char* name, Atom type) {
    Atom prop = XInternAtom(dpy, name, False);
    Atom actual;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(dpy, w, prop, 0, 1, False, type, &actual, &format, &count, &after,
                           &data) != Success || !data)
        return std::nullopt;
    std::optional<unsigned long> value;
    if (count >= 1 && format == 32) value = reinterpret_cast<unsigned long*>(data)[0];
    XFree(data);
    return value;
}

std::string textProperty(Display* dpy, Window w, const char* name) {
    Atom prop = XInternAtom(dpy, name, False);
    Atom actual;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(dpy, w, prop, 0, 4096, False, AnyPropertyType, &actual, &format, &count,
                           &after, &data) != Success || !data)
        return "";
    std::string s(reinterpret_cast<char*>(data), count);
    XFree(data);
    return s;
}

std::string commOf(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string s;
    std::getline(in, s);
    return s;
}

} // namespace

std::optional<App> frontApplication() {
    Display* dpy = xlinux::display();
    if (!dpy) return std::nullopt;
    std::lock_guard lock(xMutex);
    auto active = cardinal(dpy, DefaultRootWindow(dpy), "_NET_ACTIVE_WINDOW", XA_WINDOW);
    if (!active || *active == 0) return std::nullopt;
    Window w = static_cast<Window>(*active);
    auto pid = cardinal(dpy, w, "_NET_WM_PID", XA_CARDINAL);
    if (!pid || *pid == 0) return std::nullopt;
    App app;
    app.pid = static_cast<int>(*pid);
    std::string appId = textProperty(dpy, w, "_GTK_APPLICATION_ID");
    XClassHint hint{};
    std::string cls;
    if (XGetClassHint(dpy, w, &hint)) {
        if (hint.res_class) cls = hint.res_class;
        if (hint.res_name) XFree(hint.res_name);
        if (hint.res_class) XFree(hint.res_class);
    }
    app.bundle = !appId.empty() ? appId : cls;
    app.name = !cls.empty() ? cls : commOf(app.pid);
    return app;
}

std::optional<App> runningApplication(int pid) {
    std::string comm = commOf(pid);
    if (comm.empty()) return std::nullopt;
    App app;
    app.pid = pid;
    app.name = comm;
    return app;
}

} // namespace workspace
