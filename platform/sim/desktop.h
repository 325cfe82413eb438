#pragma once
// The simulated desktop's facts that tests set.
#include "platform/input.h"
#include "platform/workspace.h"

#include <optional>
#include <string>
#include <vector>

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
void sendInput(const input::Event& e); // also counts as the person's latest input

// The person's presence: until the first input they count as present (0 idle seconds).
void touchInput(); // input the tap doesn't see (a pointer move)
void setSecureInput(bool on);
void setPointer(double x, double y); // bottom-left based, as the window system gives it
void setMainScreen(std::optional<input::Rect> frame);

// A copy: the pasteboard's change count grows, with these types and text.
void copyToPasteboard(std::vector<std::string> types, std::optional<std::string> text);

// System notices.
void fireSleep();
void fireWake();
void fireLock();
void fireUnlock();

} // namespace sim
