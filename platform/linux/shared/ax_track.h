#pragma once
// What the accessibility bus's events tell about the whole desktop: the focused object of each
// application, and whether a password text has the focus.
#include "platform/linux/shared/atspi.h"

#include <optional>
#include <string>

namespace axtrack {

// Starts listening (once); harmless to call again.
void start();

// The object that last took the focus in the application on this connection; "" when none.
std::string focusedPath(const std::string& bus);

// True while the focused object on the desktop is a password text.
bool passwordFocused();

// The name the application's last highlighted menu item had while it was highlighted, when that
// is the object at path.
std::optional<std::string> menuItemTitle(const std::string& bus, const std::string& path);

// The application's last highlighted menu item when its box (as it was highlighted) holds the
// point; "" otherwise.
std::string menuItemAt(const std::string& bus, double x, double y);
// Whether the application has a menu item highlighted (or left moments ago).
bool menuActive(const std::string& bus);

// The application's focused object was found without a focus event (in its states).
void focusFound(const std::string& bus);

// The mirror of an application has been built: its observers hear "AXWindowCreated" of its root,
// so the window is read again from the mirror (a first walk made meanwhile may have been partial),
// and "AXFocusedUIElementChanged" when the focus is known only from the mirror's states.
void mirrorBuilt(const std::string& bus, int pid);

} // namespace axtrack

namespace axmirror {
// The mirror's share of every event, run on the event thread before notifications go out.
void onEvent(const atspi::Event& e);
} // namespace axmirror
