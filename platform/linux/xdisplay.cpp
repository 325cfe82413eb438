#include "platform/linux/xdisplay.h"

#include <mutex>

namespace xlinux {

Display* display() {
    static Display* dpy = [] {
        XInitThreads();
        // A missing or refusing display must not stop the program: it runs without one.
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
        return XOpenDisplay(nullptr);
    }();
    return dpy;
}

bool hasExtension(const char* name) {
    Display* dpy = display();
    if (!dpy) return false;
    int opcode, event, error;
    return XQueryExtension(dpy, name, &opcode, &event, &error) != 0;
}

} // namespace xlinux
