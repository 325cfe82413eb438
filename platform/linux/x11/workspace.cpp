#include "platform/workspace.h"
#include "common/utf16.h"
#include "platform/linux/x11/xdisplay.h"
#include "platform/linux/x11/xprops.h"
#include "platform/notices.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <glib-unix.h>
#include <glib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

namespace workspace::x11 {
namespace {

std::string commOf(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string s;
    std::getline(in, s);
    return s;
}

// Name and id as one window tells them: the WM_CLASS class is the name people see in task
// lists; the GTK application id, when there is one, is the stable id.
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
    if (app.bundle.empty()) app.bundle = utf16::sanitize(commOf(pid));
    return app;
}

// When the process started, from /proc: tells a process from a later one with the same id.
std::string startOf(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(in, stat);
    std::size_t paren = stat.rfind(')');
    if (paren == std::string::npos) return {};
    std::istringstream fields(stat.substr(paren + 2));
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; ++i)
        if (i == 22) return field;
    return {};
}

// An application's identity belongs to its process, not to whichever of its windows is active:
// dialogs carry no application id, and a skipped application must stay skipped while one is up.
// Taken from the process's main window (not transient for another), else from any of its
// windows, and kept for the life of the process once a main window told it.
std::mutex identityMutex;
std::map<int, std::pair<std::string, App>> identities; // pid -> (start, identity)

App identityOf(Display* dpy, Window active, int pid) {
    std::string start = startOf(pid);
    {
        std::lock_guard lock(identityMutex);
        auto it = identities.find(pid);
        if (it != identities.end() && it->second.first == start && !start.empty())
            return it->second.second;
    }
    std::optional<App> main;
    auto clients = xlinux::cardinals(dpy, DefaultRootWindow(dpy), "_NET_CLIENT_LIST", XA_WINDOW);
    for (unsigned long c : clients) {
        Window w = static_cast<Window>(c);
        if (xlinux::windowPid(dpy, w) != pid) continue;
        Window owner = None;
        if (XGetTransientForHint(dpy, w, &owner) && owner != None) continue;
        App app = appOf(dpy, w, pid);
        // A window with an application id speaks for the whole application.
        if (!main || !xlinux::text(dpy, w, "_GTK_APPLICATION_ID").empty()) main = app;
        if (!xlinux::text(dpy, w, "_GTK_APPLICATION_ID").empty()) break;
    }
    if (!main) return appOf(dpy, active, pid);
    std::lock_guard lock(identityMutex);
    if (identities.size() > 512) identities.clear();
    identities[pid] = {start, *main};
    return *main;
}

std::optional<App> frontOn(Display* dpy) {
    Window w = xlinux::activeWindow(dpy);
    if (!w) return std::nullopt;
    int pid = xlinux::windowPid(dpy, w);
    if (pid < 1) return std::nullopt;
    return identityOf(dpy, w, pid);
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
                return identityOf(dpy, static_cast<Window>(c), pid);
    }
    App app;
    app.pid = pid;
    app.name = utf16::sanitize(comm);
    return app;
}

} // namespace workspace::x11

namespace notices::x11 {
namespace {

// The front application's changes come from the root window's _NET_ACTIVE_WINDOW, on a
// connection of our own so that no other reader of the shared one loses its events.
Display* activeDpy = nullptr;
Atom activeAtom = None;
int lastActivePid = 0;
Window lastActive = None;
std::function<void(const std::optional<workspace::App>&)> activateHandler;
std::function<void()> frontWindowHandler;

bool activeLost = false;

// The active window changed (or was announced again).
void lookAtActive() {
    Window active = xlinux::activeWindow(activeDpy);
    // A moment with no active window (between one closing and the next taking over) changes
    // nothing: the front application and its window stay until another window is active.
    // Every change is looked at, even to the same id: a client that connects later may be
    // given the id of a window gone meanwhile.
    if (active == None) return;
    auto app = workspace::x11::frontOn(activeDpy);
    int pid = app ? app->pid : 0;
    // The window manager sets the property again for the window already active (a click in
    // it, a repeated activation): nothing changed, and a window being decided must not be
    // taken for one left undecided.
    bool sameWindow = active == lastActive;
    lastActive = active;
    if (pid == lastActivePid) {
        // A switch between windows of one application is not an activation, but its window
        // changed.
        if (!sameWindow && frontWindowHandler) frontWindowHandler();
        return;
    }
    lastActivePid = pid;
    if (activateHandler) activateHandler(app);
}

gboolean onActiveChange(int, GIOCondition condition, gpointer) {
    // A lost display ends the notices, not the program; the connection is never used again.
    if (activeLost || (condition & (G_IO_HUP | G_IO_ERR))) return G_SOURCE_REMOVE;
    // Looking is made of round trips: a change that arrives meanwhile waits in Xlib's queue,
    // where the descriptor no longer shows it, so the queue is emptied before returning.
    for (;;) {
        bool changed = false;
        while (!activeLost && XPending(activeDpy)) {
            XEvent ev;
            XNextEvent(activeDpy, &ev);
            if (ev.type == PropertyNotify && ev.xproperty.atom == activeAtom) changed = true;
        }
        if (activeLost) return G_SOURCE_REMOVE;
        if (!changed) return G_SOURCE_CONTINUE;
        lookAtActive();
    }
}

} // namespace

void onFrontWindow(std::function<void()> handler) {
    frontWindowHandler = std::move(handler);
}

void onActivate(std::function<void(const std::optional<workspace::App>&)> handler) {
    activateHandler = std::move(handler);
    if (activeDpy) return;
    activeDpy = XOpenDisplay(nullptr);
    if (!activeDpy) return;
    XSetIOErrorExitHandler(
        activeDpy, [](Display*, void*) { activeLost = true; }, nullptr);
    activeAtom = xlinux::atom(activeDpy, "_NET_ACTIVE_WINDOW");
    XSelectInput(activeDpy, DefaultRootWindow(activeDpy), PropertyChangeMask);
    if (auto app = workspace::x11::frontOn(activeDpy)) lastActivePid = app->pid;
    lastActive = xlinux::activeWindow(activeDpy);
    XFlush(activeDpy);
    g_unix_fd_add(ConnectionNumber(activeDpy), GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR),
                  onActiveChange, nullptr);
}

} // namespace notices::x11
