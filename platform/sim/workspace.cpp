#include "platform/workspace.h"
#include "platform/loop.h"
#include "platform/notices.h"
#include "platform/sim/ax_desktop.h"
#include "platform/sim/desktop.h"

#include <map>
#include <set>

namespace {
std::optional<workspace::App> front;
std::map<int, workspace::App> running;
std::set<int> electron;
std::function<void(const std::optional<workspace::App>&)> activationHandler;
std::function<void()> frontWindowHandler;
} // namespace

namespace sim {
void setFrontApp(std::optional<workspace::App> app) {
    front = app;
    if (app) running[app->pid] = *app;
}
void addRunningApp(const workspace::App& app) {
    running[app.pid] = app;
}
void clearApps() {
    front.reset();
    running.clear();
    electron.clear();
}
void activate(std::optional<workspace::App> app) {
    setFrontApp(app);
    if (activationHandler) loop::onMain([app, handler = activationHandler] { handler(app); });
}
void frontWindowChanged() {
    if (frontWindowHandler) loop::onMain([handler = frontWindowHandler] { handler(); });
}
void setElectronApp(int pid, bool on) {
    if (on)
        electron.insert(pid);
    else
        electron.erase(pid);
}
} // namespace sim

namespace workspace {
std::optional<App> frontApplication() {
    return front;
}
std::optional<App> runningApplication(int pid) {
    auto it = running.find(pid);
    if (it == running.end()) return std::nullopt;
    return it->second;
}
bool electronApp(const App& app) {
    return electron.count(app.pid) > 0;
}
} // namespace workspace

namespace notices {
void onActivate(std::function<void(const std::optional<workspace::App>&)> handler) {
    activationHandler = std::move(handler);
}
void onFrontWindow(std::function<void()> handler) {
    frontWindowHandler = std::move(handler);
}
} // namespace notices
