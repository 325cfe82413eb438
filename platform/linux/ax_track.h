#pragma once
// What the accessibility bus's events tell about the whole desktop: the focused object of each
// application, and whether a password text has the focus.
#include "platform/linux/atspi.h"

#include <string>

namespace axtrack {

// Starts listening (once); harmless to call again.
void start();

// The object that last took the focus in the application on this connection; "" when none.
std::string focusedPath(const std::string& bus);

// True while the focused object on the desktop is a password text.
bool passwordFocused();

} // namespace axtrack

namespace axmirror {
// The mirror's share of every event, run on the event thread before notifications go out.
void onEvent(const atspi::Event& e);
} // namespace axmirror
