#pragma once
// Applications: which one is in front, and facts about running ones.
#include <optional>
#include <string>

namespace workspace {

struct App {
    int pid = 0;
    std::string name;   // the name people see; may be empty
    std::string bundle; // a stable application id; may be empty
};

// The application that owns the active window, if any.
std::optional<App> frontApplication();

// A running application by process id, if that process exists.
std::optional<App> runningApplication(int pid);

// True when the application is built on Electron (judged by what its install folder holds).
bool electronApp(const App& app);

} // namespace workspace
