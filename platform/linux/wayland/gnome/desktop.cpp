// The front application and its window on GNOME, from the accessibility bus: Mutter lists no
// windows for clients, so the one window known is the active frame, and where it lies on the
// screen is known only when it fills the monitor.
#include "platform/linux/shared/backend.h"
#include "platform/linux/wayland/gnome/mutter.h"
#include "platform/loop.h"
#include "platform/notices.h"

#include <fstream>
#include <mutex>

namespace {

std::string commOf(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string s;
    std::getline(in, s);
    return s;
}

// Without a window list there is no application id to read: the name the application gives
// itself on the accessibility bus (GTK's program name) stands for both name and id, else its
// process's command name.
workspace::App appOf(int pid, std::string name) {
    workspace::App app;
    app.pid = pid;
    app.name = name.empty() ? commOf(pid) : std::move(name);
    app.bundle = app.name;
    return app;
}

} // namespace

namespace windows::gnome {

std::optional<std::vector<Info>> onScreen() {
    auto f = mutter::activeFrame();
    if (!f) return std::vector<Info>{};
    return std::vector<Info>{mutter::windowOf(*f, mutter::monitorSize())};
}

} // namespace windows::gnome

namespace workspace::gnome {

std::optional<App> frontApplication() {
    auto f = mutter::activeFrame();
    if (!f) return std::nullopt;
    return appOf(f->pid, f->app);
}

std::optional<App> runningApplication(int pid) {
    if (pid < 1 || commOf(pid).empty()) return std::nullopt;
    return appOf(pid, mutter::applicationName(pid));
}

} // namespace workspace::gnome

namespace notices::gnome {
namespace {

std::mutex lock;
int lastPid = 0;
std::string lastFrame;
std::function<void(const std::optional<workspace::App>&)> activateHandler;
std::function<void()> frontWindowHandler;

void moved(const std::string& frame, int pid) {
    bool newApp = false;
    {
        std::lock_guard<std::mutex> hold(lock);
        if (frame == lastFrame) return;
        newApp = pid != lastPid;
        lastPid = pid;
        lastFrame = frame;
    }
    std::string name = newApp ? mutter::applicationName(pid) : "";
    loop::onMain([pid, newApp, name] {
        if (newApp && activateHandler)
            activateHandler(appOf(pid, name));
        else if (!newApp && frontWindowHandler)
            frontWindowHandler();
    });
}

// A frame's activation is the quick sign of a new front window. An application that has only
// just joined the bus sends its first one before it has learnt anyone listens, so the active
// frame is also asked for every second.
constexpr int recheckMs = 1000;

void onEvent(const atspi::Event& e) {
    if (e.kind != "Window" || e.member != "Activate") return;
    int pid = atspi::pidOf(e.sender, 250);
    if (pid >= 1) moved(e.sender + e.path, pid);
}

void recheck() {
    // Nothing active (between one window closing and the next taking over) changes nothing.
    if (auto f = mutter::activeFrame()) moved(f->bus + f->path, f->pid);
    atspi::onEventThread(recheck, recheckMs);
}

void subscribe() {
    static std::once_flag once;
    std::call_once(once, [] {
        atspi::addListener(onEvent);
        atspi::onEventThread(recheck, recheckMs);
    });
}

} // namespace

void onActivate(std::function<void(const std::optional<workspace::App>&)> handler) {
    activateHandler = std::move(handler);
    subscribe();
}

void onFrontWindow(std::function<void()> handler) {
    frontWindowHandler = std::move(handler);
    subscribe();
}

} // namespace notices::gnome

namespace backend::gnome {

// Which window a dialog belongs to isn't told: a dialog has no main window here.
std::optional<WindowFacts> activeWindowOf(int pid, bool owner) {
    if (owner) return std::nullopt;
    auto f = mutter::activeFrame();
    if (!f || f->pid != pid) return std::nullopt;
    auto w = mutter::windowOf(*f, mutter::monitorSize());
    return WindowFacts{f->name, w.input ? std::nullopt : w.bounds};
}

std::optional<WindowFacts> windowFacts(unsigned long window) {
    auto f = mutter::activeFrame();
    if (!f || mutter::numberOf(f->bus, f->path) != window) return std::nullopt;
    auto w = mutter::windowOf(*f, mutter::monitorSize());
    return WindowFacts{f->name, w.input ? std::nullopt : w.bounds};
}

// A window that fills the monitor begins at its origin; any other's place is unknown.
std::optional<ax::Point> contentOrigin(unsigned long window) {
    auto facts = windowFacts(window);
    if (!facts || !facts->rect) return std::nullopt;
    return ax::Point{0, 0};
}

} // namespace backend::gnome
