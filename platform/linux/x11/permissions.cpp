#include "platform/permissions.h"
#include "platform/linux/x11/xdisplay.h"

#include <X11/extensions/XInput2.h>

namespace permissions::x11 {

// Both are asked of the server once: a probe must not wait on a server held by a grab.
bool listenAccess() {
    static const bool present = [] {
        Display* dpy = xlinux::display();
        if (!dpy) return false;
        int opcode, event, error;
        if (!XQueryExtension(dpy, "XInputExtension", &opcode, &event, &error)) return false;
        int major = 2, minor = 0;
        return XIQueryVersion(dpy, &major, &minor) == Success;
    }();
    return present && xlinux::display();
}

bool screenAccess() {
    static const bool present = xlinux::hasExtension("Composite");
    return present && xlinux::display();
}

} // namespace permissions::x11
