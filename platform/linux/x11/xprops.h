#pragma once
// Reading window properties on the shared X connection.
#include <X11/Xlib.h>
#include <optional>
#include <string>
#include <vector>

namespace xlinux {

Atom atom(Display* dpy, const char* name);

// The 32-bit items of a property of the given type (AnyPropertyType for any); empty when absent.
std::vector<unsigned long> cardinals(Display* dpy, Window w, const char* name, Atom type);
std::optional<unsigned long> cardinal(Display* dpy, Window w, const char* name, Atom type);

// A text property as UTF-8 (_NET_WM_NAME style); "" when absent.
std::string text(Display* dpy, Window w, const char* name);

// The window's title: _NET_WM_NAME, else WM_NAME.
std::string title(Display* dpy, Window w);

// The process that owns the window, as the X server knows the client that made it (X-Resource
// 1.2). _NET_WM_PID is the application's own claim, which any client can make for any pid: it
// is read only from a server without X-Resource. -1 when the owner can't be known.
int windowPid(Display* dpy, Window w);

// windowPid of each window, in one round trip.
std::vector<int> windowPids(Display* dpy, const std::vector<Window>& windows);

// The window the window manager manages (the one with WM_STATE) at or below w; None if none.
Window clientOf(Display* dpy, Window w);

// The active window (_NET_ACTIVE_WINDOW); None when there is none.
Window activeWindow(Display* dpy);

} // namespace xlinux
