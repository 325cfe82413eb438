#include "platform/workspace.h"
#include "platform/sim/desktop.h"

#include <map>

namespace {
std::optional<workspace::App> front;
std::map<int, workspace::App> running;
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
bool electronApp(const App&) {
    return false;
}
} // namespace workspace
