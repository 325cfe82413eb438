#pragma once
// The simulated desktop's facts that tests set.
#include "platform/input.h"
#include "platform/workspace.h"

#include <optional>
#include <string>

namespace sim {

struct Permissions {
    bool ax = true;
    bool listen = true;
    bool screen = true;
};
void setPermissions(Permissions p);
void setVersionString(std::string v);

void setFrontApp(std::optional<workspace::App> app);
void addRunningApp(const workspace::App& app);
void clearApps();

// Input listening: whether a tap can be made, what is installed, and the person's input.
void setTapPossible(bool possible);
bool tapLive();
bool tapHasKeys();
bool monitorLive();
void sendInput(const input::Event& e);

} // namespace sim
