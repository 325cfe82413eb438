#include "platform/workspace.h"
#include "common/utf16.h"
#include "platform/linux/xdisplay.h"
#include "platform/linux/xprops.h"
#include "platform/notices.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <glib-unix.h>
#include <glib.h>
#include <unistd.h>

#include <filesystem>
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

std::optional<App> frontOn(Display* dpy) {
    Window w = xlinux::activeWindow(dpy);
    if (!w) return std::nullopt;
    int pid = xlinux::windowPid(dpy, w);
    if (pid < 1) return std::nullopt;
    return appOf(dpy, w, pid);
}

} // namespace

std::optional<App> frontApplication() {
    Display* dpy = xlinux::display();
    if (!dpy) return std::nullopt;
    return frontOn(dpy);
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

// Electron ships its application as resources/app.asar (or its own electron.asar) beside the
// executable.
bool electronApp(const App& app) {
    if (app.pid < 1) return false;
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/" + std::to_string(app.pid) + "/exe", ec);
    if (ec) return false;
    auto resources = exe.parent_path() / "resources";
    return std::filesystem::exists(resources / "app.asar", ec) ||
           std::filesystem::exists(resources / "electron.asar", ec);
}

} // namespace workspace

namespace notices {
namespace {

// The front application's changes come from the root window's _NET_ACTIVE_WINDOW, on a
// connection of our own so that no other reader of the shared one loses its events.
Display* activeDpy = nullptr;
Atom activeAtom = None;
int lastActivePid = 0;
std::function<void(const std::optional<workspace::App>&)> activateHandler;

gboolean onActiveChange(int, GIOCondition, gpointer) {
    bool changed = false;
    while (XPending(activeDpy)) {
        XEvent ev;
        XNextEvent(activeDpy, &ev);
        if (ev.type == PropertyNotify && ev.xproperty.atom == activeAtom) changed = true;
    }
    if (!changed) return G_SOURCE_CONTINUE;
    auto app = workspace::frontOn(activeDpy);
    int pid = app ? app->pid : 0;
    // A switch between windows of one application is not an activation.
    if (pid == lastActivePid) return G_SOURCE_CONTINUE;
    lastActivePid = pid;
    if (activateHandler) activateHandler(app);
    return G_SOURCE_CONTINUE;
}

} // namespace

void onActivate(std::function<void(const std::optional<workspace::App>&)> handler) {
    activateHandler = std::move(handler);
    if (activeDpy) return;
    activeDpy = XOpenDisplay(nullptr);
    if (!activeDpy) return;
    activeAtom = xlinux::atom(activeDpy, "_NET_ACTIVE_WINDOW");
    XSelectInput(activeDpy, DefaultRootWindow(activeDpy), PropertyChangeMask);
    if (auto app = workspace::frontOn(activeDpy)) lastActivePid = app->pid;
    XFlush(activeDpy);
    g_unix_fd_add(ConnectionNumber(activeDpy), G_IO_IN, onActiveChange, nullptr);
}

} // namespace notices
