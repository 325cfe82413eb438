#include "platform/linux/x11/xdisplay.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace xlinux {

namespace {
std::atomic<bool> lost{false};
std::atomic<void (*)()> lostHook{nullptr};
} // namespace

void whenLost(void (*hook)()) {
    lostHook = hook;
}

Display* display() {
    static Display* dpy = [] {
        XInitThreads();
        // A missing or refusing display must not stop the program: it runs without one.
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
        Display* d = XOpenDisplay(nullptr);
        // Nor must losing it: Xlib's default ends the process. The call that met the loss fails,
        // and from then on the program runs as without a display.
        if (d) {
            XSetIOErrorHandler([](Display*) {
                if (auto hook = lostHook.load()) hook();
                if (!lost.exchange(true))
                    std::fputs("lost the connection to the X display; going on without it\n",
                               stderr);
                return 0;
            });
            XSetIOErrorExitHandler(
                d, [](Display*, void*) {}, nullptr);
        }
        return d;
    }();
    return lost ? nullptr : dpy;
}

bool hasExtension(const char* name) {
    Display* dpy = display();
    if (!dpy) return false;
    int opcode, event, error;
    return XQueryExtension(dpy, name, &opcode, &event, &error) != 0;
}

} // namespace xlinux
