#include "watch/input/clicks.h"
#include "watch/accessibility/gate.h"
#include "watch/accessibility/observe.h"
#include "watch/accessibility/window.h"
#include "watch/core/emit.h"
#include "watch/core/state.h"
#include "watch/input/describe.h"

#include <cmath>

loop::TimerRef scrollTimer;

namespace {

// Half away from zero: 2.5 gives 3, -2.5 gives -3.
long long whole(double v) {
    return std::llround(v);
}

void onScroll() {
    if (holdWhileUndecided(onScroll)) return;
    if (!mayDisclose()) return;
    emitWith("scroll");
    readWindow("scroll");
}

// The element is asked for through the observed application's element; the backend finds the
// window at the point itself, so a click outside that application is described too. A click
// noticed before the application it landed in (just brought to the front) is read once more
// through that application, and counts once its window is decided.
void onClick(double x, double y, bool right, bool again = false) {
    if (holdWhileUndecided([x, y, right, again] { onClick(x, y, right, again); })) return;
    if (!mayDisclose()) return;
    loop::async(axQueue, [app = observedApp, hosts = hostsNow(), epoch = windowEpoch.load(), x, y,
                          right, again] {
        if (app) ax::setMessagingTimeout(app, 0.25f);
        json element = json::object();
        if (auto found = ax::elementAtPosition(app, static_cast<float>(x), static_cast<float>(y)))
            element = describe(found);
        WindowRead check = readFrontWindow(app, hosts);
        reportChecked(
            std::move(check), epoch,
            [element, x, y, right] {
                emitWith(
                    "click",
                    {{"element", element}, {"x", whole(x)}, {"y", whole(y)}, {"right", right}});
                std::string role = element.is_object() ? element.value("role", "") : "";
                if (role == "AXButton" || role == "AXLink" || role == "AXMenuItem")
                    readWindow("click");
            },
            [app, x, y, right, again] {
                if (!again && !ax::sameElement(app, observedApp)) onClick(x, y, right, true);
            });
    });
}

} // namespace

void clickPath(double x, double y, bool right) {
    if (paused.load()) return;
    onClick(x, y, right);
}

void scrollPath() {
    if (paused.load()) return;
    if (holdWhileUndecided(scrollPath)) return;
    if (currentPrivate) return;
    if (scrollTimer) loop::cancel(scrollTimer);
    scrollTimer = loop::oneShot(2.0, onScroll);
}

void monitorHandler(const input::Event& event) {
    input::Point pointer = input::pointerLocation();
    auto screen = input::mainScreenFrame();
    double originY = screen ? screen->y : 0, height = screen ? screen->h : 0;
    double x = pointer.x, y = originY + height - pointer.y;
    if (event.type == input::scrollWheel) {
        scrollPath();
        return;
    }
    if (paused.load()) return;
    onClick(x, y, event.type == input::rightMouseDown);
}
