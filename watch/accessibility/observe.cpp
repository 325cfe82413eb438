#include "watch/accessibility/observe.h"
#include "platform/loop.h"
#include "platform/notices.h"
#include "watch/accessibility/gate.h"
#include "watch/accessibility/notices.h"
#include "watch/accessibility/window.h"
#include "watch/core/emit.h"
#include "watch/core/state.h"
#include "watch/input/keys.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <memory>
#include <utility>
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

// An application can come to the front before it has joined the accessibility bus (a toolkit
// registers after its first window maps; a browser later still). Its element then reads as
// absent, so a read that finds no window looks for the application on the bus again, a bounded
// number of times, and observes it once it is there.
constexpr int joinLooks = 20;
std::optional<workspace::App> observedInfo;
loop::TimerRef joinTimer;
int joinLooksLeft = 0;

// Everything of an observation that needs the application's element.
void follow(const workspace::App& app, ax::ElementRef element) {
    int pid = app.pid;
    if (pid != 0 && !restoreAttrs.count(pid)) switchOnAccessibility(app);
    observedApp = std::move(element);
    observedPid = pid;
    observer = ax::createObserver(pid, observerCallback);
    if (observer) {
        for (const char* notification :
             {"AXFocusedWindowChanged", "AXMainWindowChanged", "AXFocusedUIElementChanged",
              "AXTitleChanged", "AXWindowCreated", "AXValueChanged", "AXSelectedTextChanged",
              "AXMenuItemSelected"})
            ax::addNotification(observer, observedApp, notification);
        ax::attachObserver(observer);
    }
    // Decided also without notifications: until then nothing of the application is told.
    windowMayHaveChanged("app");
    if (observer) readFocus();
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
    // Another window of the same application (a dialog, a second browser window) in front.
    notices::onFrontWindow([] { windowMayHaveChanged("AXFocusedWindowChanged", true); });
}

void lookForLateJoiner() {
    if (joinTimer || joinLooksLeft <= 0 || !observedInfo || !observedApp) return;
    joinTimer = loop::oneShot(0.5, [] {
        joinTimer.reset();
        --joinLooksLeft;
        if (paused.load() || !observedInfo || !observedApp) return;
        ax::ElementRef fresh = appElement(observedInfo->pid);
        if (!fresh || ax::sameElement(fresh, observedApp)) {
            lookForLateJoiner();
            return;
        }
        // It has joined: observed in full now, without a second "app".
        workspace::App app = *observedInfo;
        if (observer) ax::detachObserver(observer);
        observer.reset();
        follow(app, std::move(fresh));
    });
}

void tearDownObservation() {
    windowUndecided = false;
    // Leaving an application is a doubt; starting to record leaves none.
    if (observedApp)
        doubtNow();
    else
        ++windowEpoch;
    releaseHeld(false);
    if (joinTimer) loop::cancel(joinTimer);
    joinTimer.reset();
    observedInfo.reset();
    if (observer) {
        ax::detachObserver(observer);
        observer.reset();
    }
    observedApp.reset();
    observedPid = 0;
}

namespace {
std::uint64_t observations = 0; // grows with each observation; main thread
} // namespace

void observeFront() {
    // Until the front application is known, the last observation is over and nothing of what
    // happens is told.
    if (!paused.load()) flushKeys();
    tearDownObservation();
    windowUndecided = true;
    struct Answer {
        std::atomic<bool> known{false};
        std::optional<workspace::App> app;
        bool used = false; // main thread
    };
    auto answer = std::make_shared<Answer>();
    std::uint64_t asked = ++observations;
    loop::onUtility([answer, asked] {
        answer->app = workspace::frontApplication();
        answer->known = true;
        loop::onMain([answer, asked] {
            // An activation heard meanwhile is newer and wins.
            if (!std::exchange(answer->used, true) && asked == observations) observe(answer->app);
        });
    });
    // One round trip, usually: waited for, so the observation's events follow the command. The
    // window system can be held by another client's grab for as long as it likes; then the
    // commands go on, and the observation comes when the answer does.
    if (loop::awaitWork(0.5, [answer] { return answer->known.load(); }) &&
        !std::exchange(answer->used, true))
        observe(answer->app);
}

void observe(const std::optional<workspace::App>& app) {
    ++observations;
    // Keys typed so far belong to the application that was in front.
    if (!paused.load()) flushKeys();
    tearDownObservation();
    if (!app || paused.load()) return;
    // Nothing about the new application's window leaves before its privacy is decided.
    windowUndecided = true;
    currentBundle = app->bundle;
    currentApp = app->name;
    currentWindow.clear();
    currentUrl.clear();
    currentPrivate = skippedBundle(currentBundle);
    if (currentPrivate) {
        windowUndecided = false;
        emit({{"kind", "private"}, {"why", "app"}});
        return;
    }
    emitWith("app");

    observedInfo = *app;
    joinLooksLeft = joinLooks;
    follow(*app, appElement(app->pid));
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
