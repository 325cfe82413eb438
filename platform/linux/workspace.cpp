#include "platform/workspace.h"
#include "common/utf16.h"
#include "platform/linux/xdisplay.h"
#include "platform/linux/xprops.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <fstream>

namespace workspace {
namespace {

std::string commOf(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string s;
    std::getline(in, s);
    return s;
}

// Name and id as an application's window tells them: the WM_CLASS class is the name people
// see in task lists; the GTK application id, when there is one, is the stable id.
App appOf(Display* dpy, Window w, int pid) {
    App app;
    app.pid = pid;
    std::string appId = xlinux::text(dpy, w, "_GTK_APPLICATION_ID");
    XClassHint hint{};
    std::string cls;
    if (XGetClassHint(dpy, w, &hint)) {
        if (hint.res_class) cls = hint.res_class;
        if (hint.res_name) XFree(hint.res_name);
        if (hint.res_class) XFree(hint.res_class);
    }
    app.bundle = utf16::sanitize(!appId.empty() ? appId : cls);
    app.name = utf16::sanitize(!cls.empty() ? cls : commOf(pid));
    return app;
}

} // namespace

std::optional<App> frontApplication() {
    Display* dpy = xlinux::display();
    if (!dpy) return std::nullopt;
    Window w = xlinux::activeWindow(dpy);
    if (!w) return std::nullopt;
    int pid = xlinux::windowPid(dpy, w);
    if (pid < 1) return std::nullopt;
    return appOf(dpy, w, pid);
}

std::optional<App> runningApplication(int pid) {
    if (pid < 1) return std::nullopt;
    std::string comm = commOf(pid);
    if (comm.empty()) return std::nullopt;
    // The same name the front application would get, from one of the process's windows.
    if (Display* dpy = xlinux::display()) {
        auto clients =
            xlinux::cardinals(dpy, DefaultRootWindow(dpy), "_NET_CLIENT_LIST", XA_WINDOW);
        for (unsigned long c : clients)
            if (xlinux::windowPid(dpy, static_cast<Window>(c)) == pid)
                return appOf(dpy, static_cast<Window>(c), pid);
    }
    App app;
    app.pid = pid;
    app.name = utf16::sanitize(comm);
    return app;
}

// Placeholder until the accessibility backend recognises Electron's install folder.
bool electronApp(const App&) {
    return false;
}

} // namespace workspace
