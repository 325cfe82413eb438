#include "watch/accessibility/observe.h"
#include "platform/notices.h"
#include "watch/accessibility/notices.h"
#include "watch/accessibility/window.h"
#include "watch/core/emit.h"
#include "watch/core/state.h"

#include <algorithm>
#include <cctype>
#include <vector>

std::string currentApp;
std::string currentBundle;
std::string currentWindow;
std::string currentUrl;
bool currentPrivate = false;

ax::ObserverRef observer;
ax::ElementRef observedApp;
int observedPid = 0;

std::map<int, std::pair<std::string, ax::Value>> restoreAttrs;

namespace {

// A quarter second: long enough for a busy application, short enough to keep reads moving.
constexpr float messagingTimeout = 0.25f;

ax::ElementRef appElement(int pid) {
    ax::ElementRef element = ax::applicationElement(pid);
    if (element) ax::setMessagingTimeout(element, messagingTimeout);
    return element;
}

bool chromiumFamily(const std::string& bundle) {
    std::string lower = bundle;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const char* family :
         {"chrome", "chromium", "brave", "edgemac", "thebrowser", "vivaldi", "opera"})
        if (lower.find(family) != std::string::npos) return true;
    return false;
}

// Browsers build their web content's accessibility only when asked: switch it on, once per
// process until the next restore, remembering what it was.
void switchOnAccessibility(const workspace::App& app) {
    bool chromium = chromiumFamily(app.bundle);
    bool electron = workspace::electronApp(app);
    if (!chromium && !electron) return;
    const char* name = chromium ? "AXEnhancedUserInterface" : "AXManualAccessibility";
    ax::ElementRef element = appElement(app.pid);
    if (!element) return;
    std::optional<ax::Value> previous = ax::copyAttribute(element, name);
    if (ax::setAttribute(element, name, true))
        restoreAttrs[app.pid] = {name, previous ? *previous : ax::Value(false)};
}

bool trueAsBoolean(const ax::Value& value) {
    if (auto* b = std::get_if<bool>(&value)) return *b;
    if (auto* d = std::get_if<double>(&value)) return *d != 0;
    return false;
}

} // namespace

void watchActivations() {
    notices::onActivate([](const std::optional<workspace::App>& app) {
        if (paused.load()) return;
        observe(app);
    });
}

void tearDownObservation() {
    if (observer) {
        ax::detachObserver(observer);
        observer.reset();
    }
    observedApp.reset();
    observedPid = 0;
}

void observe(const std::optional<workspace::App>& app) {
    tearDownObservation();
    if (!app || paused.load()) return;
    currentBundle = app->bundle;
    currentApp = app->name;
    currentWindow.clear();
    currentUrl.clear();
    currentPrivate = skippedBundle(currentBundle);
    if (currentPrivate) {
        emit({{"kind", "private"}, {"why", "app"}});
        return;
    }
    emitWith("app");

    int pid = app->pid;
    if (pid != 0 && !restoreAttrs.count(pid)) switchOnAccessibility(*app);

    observedApp = appElement(pid);
    observedPid = pid;
    observer = ax::createObserver(pid, observerCallback);
    if (!observer) return;
    for (const char* notification :
         {"AXFocusedWindowChanged", "AXMainWindowChanged", "AXFocusedUIElementChanged",
          "AXTitleChanged", "AXWindowCreated", "AXValueChanged", "AXSelectedTextChanged",
          "AXMenuItemSelected"})
        ax::addNotification(observer, observedApp, notification);
    ax::attachObserver(observer);

    readWindow("app");
    readFocus();
}

void restoreAll() {
    std::vector<int> pids;
    for (auto& [pid, entry] : restoreAttrs)
        pids.push_back(pid);
    for (int pid : pids) {
        auto& [name, previous] = restoreAttrs[pid];
        if (ax::ElementRef element = appElement(pid))
            ax::setAttribute(element, name, trueAsBoolean(previous));
    }
    restoreAttrs.clear();
    emit({{"kind", "restored"}});
}
