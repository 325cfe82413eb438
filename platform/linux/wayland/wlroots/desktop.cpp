// Windows, the front application and its changes on sway, from the compositor's IPC.
#include "common/utf16.h"
#include "platform/linux/shared/backend.h"
#include "platform/linux/wayland/wlroots/sway_ipc.h"
#include "platform/linux/wayland/wlroots/tree.h"
#include "platform/notices.h"

#include <fstream>
#include <glib-unix.h>
#include <map>
#include <mutex>
#include <unistd.h>

namespace {

nlohmann::json tree() {
    return swayipc::ask(swayipc::getTree).value_or(nlohmann::json());
}

std::string commOf(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string s;
    std::getline(in, s);
    return s;
}

// An application's name and id are its views' application id (a dialog's included: on Wayland
// every toplevel carries it), else its process's command name.
workspace::App appOf(int pid, const std::string& appId) {
    workspace::App app;
    app.pid = pid;
    std::string name = utf16::sanitize(appId.empty() ? commOf(pid) : appId);
    app.name = name;
    app.bundle = name;
    return app;
}

std::optional<swaytree::View> viewById(unsigned long id) {
    for (auto& v : swaytree::visibleViews(tree()))
        if (v.id == id) return v;
    return std::nullopt;
}

} // namespace

namespace windows::wlroots {

std::optional<std::vector<Info>> onScreen() {
    auto t = swayipc::ask(swayipc::getTree);
    if (!t) return std::nullopt;
    std::vector<Info> list;
    for (auto& v : swaytree::visibleViews(*t)) {
        Info w;
        w.number = v.id;
        w.pid = v.pid;
        w.bounds = v.frame;
        // A floating window lies above the tiled ones without being in front: it is told apart
        // as kept above, so that it covers what it covers and the focused window stays in front.
        if (v.floating && !v.focused) w.layer = floatingLayer;
        w.title = utf16::sanitize(v.title);
        list.push_back(std::move(w));
    }
    return list;
}

} // namespace windows::wlroots

namespace workspace::wlroots {

std::optional<App> frontApplication() {
    auto v = swaytree::focusedView(tree());
    if (!v || v->pid < 1) return std::nullopt;
    return appOf(v->pid, v->appId);
}

std::optional<App> runningApplication(int pid) {
    if (pid < 1 || commOf(pid).empty()) return std::nullopt;
    for (auto& v : swaytree::visibleViews(tree()))
        if (v.pid == pid && !v.appId.empty()) return appOf(pid, v.appId);
    // A process without a window tells no application id.
    App app;
    app.pid = pid;
    app.name = utf16::sanitize(commOf(pid));
    return app;
}

} // namespace workspace::wlroots

namespace notices::wlroots {
namespace {

// Window and workspace events come on a connection of their own, read on the main loop.
int eventsFd = -1;
int lastPid = 0;
unsigned long lastView = 0;
std::function<void(const std::optional<workspace::App>&)> activateHandler;
std::function<void()> frontWindowHandler;

void focusMoved() {
    auto v = swaytree::focusedView(tree());
    // Focus on an empty workspace changes nothing: the front application stays until another
    // window takes the focus, as on X between one window closing and the next taking over.
    if (!v) return;
    if (v->pid == lastPid) {
        if (v->id != lastView && frontWindowHandler) frontWindowHandler();
        lastView = v->id;
        return;
    }
    lastPid = v->pid;
    lastView = v->id;
    if (activateHandler) activateHandler(appOf(v->pid, v->appId));
}

gboolean onEvent(int fd, GIOCondition condition, gpointer) {
    if (condition & (G_IO_HUP | G_IO_ERR)) {
        ::close(fd);
        eventsFd = -1;
        return G_SOURCE_REMOVE;
    }
    auto r = swayipc::receive(fd);
    if (!r) {
        ::close(fd);
        eventsFd = -1;
        return G_SOURCE_REMOVE;
    }
    if (r->type & 0x80000000u) {
        std::string change =
            r->body.is_object() && r->body.contains("change") && r->body["change"].is_string()
                ? r->body["change"].get<std::string>()
                : "";
        if (change == "focus" || change == "close" || change == "new") focusMoved();
    }
    return G_SOURCE_CONTINUE;
}

void subscribe() {
    if (eventsFd >= 0) return;
    int fd = swayipc::connect();
    if (fd < 0) return;
    if (!swayipc::send(fd, swayipc::subscribe, R"(["window","workspace"])")) {
        ::close(fd);
        return;
    }
    auto ok = swayipc::receive(fd);
    bool subscribed = ok && ok->body.is_object() && ok->body.contains("success") &&
                      ok->body["success"].is_boolean() && ok->body["success"].get<bool>();
    if (!subscribed) {
        ::close(fd);
        return;
    }
    eventsFd = fd;
    if (auto v = swaytree::focusedView(tree())) {
        lastPid = v->pid;
        lastView = v->id;
    }
    g_unix_fd_add(fd, GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR), onEvent, nullptr);
}

} // namespace

void onActivate(std::function<void(const std::optional<workspace::App>&)> handler) {
    activateHandler = std::move(handler);
    subscribe();
}

void onFrontWindow(std::function<void()> handler) {
    frontWindowHandler = std::move(handler);
}

} // namespace notices::wlroots

namespace backend::wlroots {

// sway doesn't tell which window a dialog belongs to: a dialog has no main window here.
std::optional<WindowFacts> activeWindowOf(int pid, bool owner) {
    auto v = swaytree::focusedView(tree());
    if (owner || !v || v->pid != pid) return std::nullopt;
    return WindowFacts{v->title, v->content};
}

std::optional<WindowFacts> windowFacts(unsigned long window) {
    auto v = viewById(window);
    if (!v) return std::nullopt;
    return WindowFacts{v->title, v->content};
}

std::optional<ax::Point> contentOrigin(unsigned long window) {
    auto v = viewById(window);
    if (!v) return std::nullopt;
    return ax::Point{v->surfaceX, v->surfaceY};
}

} // namespace backend::wlroots
