#include "watch/accessibility/observe.h"
#include "watch/accessibility/window.h"
#include "watch/core/emit.h"
#include "watch/core/state.h"

std::string currentApp;
std::string currentBundle;
std::string currentWindow;
std::string currentUrl;
bool currentPrivate = false;

ax::ObserverRef observer;
ax::ElementRef observedApp;
int observedPid = 0;

std::map<int, std::pair<std::string, json>> restoreAttrs;

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
    // The accessibility observer, the browser attribute and the window read attach here as the
    // accessibility backend grows; until then the application is known by its process id.
    observedPid = app->pid;
}

void restoreAll() {
    restoreAttrs.clear();
    emit({{"kind", "restored"}});
}
