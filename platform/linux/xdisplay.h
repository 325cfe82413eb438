#pragma once
// The process's one X connection, opened on first use. nullptr when no display answers.
#include <X11/Xlib.h>

namespace xlinux {

Display* display();

// True when the server has the named extension.
bool hasExtension(const char* name);

} // namespace xlinux
