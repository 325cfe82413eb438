#include "watch/accessibility/notices.h"
#include "watch/accessibility/observe.h"
#include "watch/accessibility/window.h"
#include "watch/core/emit.h"
#include "watch/core/state.h"
#include "watch/input/describe.h"

loop::TimerRef valueTimer;
ax::ElementRef pendingValueElement;
double lastContentChangeAt = 0;

namespace {

// The tests before and after every hop to the accessibility queue.
bool mayReport() {
    return !paused.load() && !currentPrivate;
}

void valueSettled() {
    if (pendingValueElement) {
        if (mayReport()) readValue(pendingValueElement);
        pendingValueElement.reset();
    }
    readWindow("value");
}

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

} // namespace

void observerCallback(const ax::ElementRef& element, const std::string& notification) {
    if (paused.load()) return;
    if (notification == "AXFocusedWindowChanged" || notification == "AXWindowCreated" ||
        notification == "AXTitleChanged" || notification == "AXMainWindowChanged") {
        readWindow(notification);
    } else if (notification == "AXFocusedUIElementChanged") {
        readFocus();
        readWindow("focus");
    } else if (notification == "AXValueChanged" || notification == "AXSelectedTextChanged") {
        valueChanged(element);
    } else if (notification == "AXMenuItemSelected") {
        // A menu choice says nothing about the window's content, so privacy doesn't hold it back.
        emitWith(
            "menu",
            {{"element", {{"role", "AXMenuItem"}, {"label", clip(str(element, "AXTitle"), 120)}}}});
    }
}

void readFocus() {
    if (!observedApp || !mayReport()) return;
    loop::async(axQueue, [app = observedApp]() mutable {
        json record = json::object();
        if (auto focused = ax::copyAttribute(app, "AXFocusedUIElement"))
            if (auto* element = std::get_if<ax::ElementRef>(&*focused); element && *element)
                record = describe(*element);
        app.reset();
        loop::onMain([record = std::move(record)] {
            if (!mayReport() || record.empty()) return;
            emitWith("focus", {{"element", record}});
        });
    });
}

void readValue(const ax::ElementRef& element) {
    if (!element || !mayReport()) return;
    loop::async(axQueue, [element = element]() mutable {
        json description = describe(element);
        bool secure = description.value("secure", false);
        std::string value = secure ? std::string() : clip(str(element, "AXValue"), 4000);
        element.reset();
        loop::onMain([description = std::move(description), secure, value = std::move(value)] {
            if (!mayReport()) return;
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
