#include "watch/accessibility/notices.h"
#include "watch/accessibility/gate.h"
#include "watch/accessibility/observe.h"
#include "watch/accessibility/window.h"
#include "watch/core/emit.h"
#include "watch/core/state.h"
#include "watch/input/describe.h"

loop::TimerRef valueTimer;
ax::ElementRef pendingValueElement;
double lastContentChangeAt = 0;

namespace {

void valueSettled() {
    if (pendingValueElement) {
        readValue(pendingValueElement);
        pendingValueElement.reset();
    }
    readWindow("value");
}

// A held focus read stands for every focus change while the window was undecided.
bool focusHeld = false;

void valueChanged(const ax::ElementRef& element) {
    if (!pendingValueElement) {
        pendingValueElement = element;
    } else if (!ax::sameElement(pendingValueElement, element)) {
        // Another field changed: the one waiting is read now, not lost.
        readValue(pendingValueElement);
        pendingValueElement = element;
    }
    if (valueTimer) loop::cancel(valueTimer);
    valueTimer = loop::oneShot(1.5, valueSettled);
}

// A field changed in a private window stays untold, also when its value would settle with
// another window in front; one changed while its window is undecided counts once it is decided.
void valueNoticed(const ax::ElementRef& element) {
    if (holdWhileUndecided([element] { valueNoticed(element); })) return;
    if (!currentPrivate) {
        valueChanged(element);
    } else if (pendingValueElement && ax::sameElement(pendingValueElement, element)) {
        // What it holds now was typed in private.
        pendingValueElement.reset();
    }
}

} // namespace

void observerCallback(const ax::ElementRef& element, const std::string& notification) {
    if (paused.load()) return;
    if (notification == "AXFocusedWindowChanged" || notification == "AXWindowCreated" ||
        notification == "AXTitleChanged" || notification == "AXMainWindowChanged") {
        // A new window, a dialog or menu opening, a page's new title: undecided until read.
        windowMayHaveChanged(notification);
    } else if (notification == "AXFocusedUIElementChanged") {
        readFocus();
        readWindow("focus");
    } else if (notification == "AXValueChanged" || notification == "AXSelectedTextChanged") {
        valueNoticed(element);
    } else if (notification == "AXMenuItemSelected") {
        // A menu choice is told in private windows too, but not what its label quotes of the
        // page ("Search for “<selected text>”").
        std::string label = clip(str(element, "AXTitle"), 120);
        if (!mayDisclose()) label = unquoted(label);
        emitWith("menu", {{"element", {{"role", "AXMenuItem"}, {"label", label}}}});
    }
}

void readFocus() {
    if (!observedApp) return;
    if (!focusHeld && holdWhileUndecided(
                          [] {
                              focusHeld = false;
                              readFocus();
                          },
                          [] { focusHeld = false; })) {
        focusHeld = true;
        return;
    }
    if (!mayDisclose()) return;
    loop::async(
        axQueue, [app = observedApp, hosts = hostsNow(), epoch = windowEpoch.load()]() mutable {
            json record = json::object();
            if (auto focused = ax::copyAttribute(app, "AXFocusedUIElement"))
                if (auto* element = std::get_if<ax::ElementRef>(&*focused); element && *element)
                    record = describe(*element);
            WindowRead check = readFrontWindow(app, hosts);
            app.reset();
            if (record.empty()) return;
            reportChecked(std::move(check), epoch, [record] {
                emitWith("focus", {{"element", record}});
            });
        });
}

void readValue(const ax::ElementRef& element) {
    if (!element || !observedApp) return;
    if (holdWhileUndecided([element] { readValue(element); })) return;
    if (!mayDisclose()) return;
    loop::async(axQueue, [element = element, app = observedApp, hosts = hostsNow(),
                          epoch = windowEpoch.load()]() mutable {
        json description = describe(element);
        bool secure = description.value("secure", false);
        std::string value = secure ? std::string() : clip(str(element, "AXValue"), 4000);
        element.reset();
        WindowRead check = readFrontWindow(app, hosts);
        app.reset();
        reportChecked(std::move(check), epoch, [description, secure, value] {
            if (secure) {
                emitWith("value", {{"element", description}, {"secure", true}});
                return;
            }
            emitWith("value", {{"element", description}, {"value", value}});
            lastContentChangeAt = loop::now();
            askFrame("value", 0.3);
        });
    });
}
