// The active window's facts for the accessibility reader, from the X server.
#include "platform/linux/shared/backend.h"
#include "platform/linux/x11/xdisplay.h"
#include "platform/linux/x11/xprops.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

namespace backend::x11 {

std::optional<WindowFacts> activeWindowOf(int pid, bool owner) {
    Display* dpy = xlinux::display();
    Window w = dpy ? xlinux::activeWindow(dpy) : None;
    if (!w || xlinux::windowPid(dpy, w) != pid) return std::nullopt;
    if (owner) {
        Window main = None;
        if (!XGetTransientForHint(dpy, w, &main) || main == None ||
            xlinux::windowPid(dpy, main) != pid)
            return std::nullopt;
        w = main;
    }
    return windowFacts(w);
}

std::optional<WindowFacts> windowFacts(unsigned long window) {
    Display* dpy = xlinux::display();
    if (!dpy) return std::nullopt;
    WindowFacts f;
    f.title = xlinux::title(dpy, window);
    XWindowAttributes a;
    Window child = None;
    int x = 0, y = 0;
    if (XGetWindowAttributes(dpy, window, &a) &&
        XTranslateCoordinates(dpy, window, DefaultRootWindow(dpy), 0, 0, &x, &y, &child))
        f.rect = windows::Rect{double(x), double(y), double(a.width), double(a.height)};
    return f;
}

std::optional<ax::Point> contentOrigin(unsigned long window) {
    Display* dpy = xlinux::display();
    if (!dpy) return std::nullopt;
    int x = 0, y = 0;
    Window child = 0;
    if (!XTranslateCoordinates(dpy, window, DefaultRootWindow(dpy), 0, 0, &x, &y, &child))
        return std::nullopt;
    ax::Point origin{double(x), double(y)};
    // A window that draws its own frame keeps a shadow margin around its content.
    auto margins = xlinux::cardinals(dpy, window, "_GTK_FRAME_EXTENTS", XA_CARDINAL);
    if (margins.size() == 4 && (origin.x != 0 || origin.y != 0)) {
        origin.x += static_cast<double>(margins[0]);
        origin.y += static_cast<double>(margins[2]);
    }
    return origin;
}

} // namespace backend::x11
