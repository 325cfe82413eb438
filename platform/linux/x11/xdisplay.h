#pragma once
// The process's one X connection, opened on first use. nullptr when no display answers.
#include <X11/Xlib.h>

namespace xlinux {

Display* display();

// Runs when the connection is lost, before the program goes on without a display; the hook may
// end the process instead.
void whenLost(void (*hook)());

// True when the server has the named extension.
bool hasExtension(const char* name);

} // namespace xlinux
