#pragma once
// Following the front application.
#include "platform/ax.h"
#include "platform/workspace.h"

#include <map>
#include <optional>
#include <string>
#include <utility>

// Context of the front application and window; main thread only.
extern std::string currentApp;
extern std::string currentBundle;
extern std::string currentWindow;
extern std::string currentUrl;
extern bool currentPrivate;

extern ax::ObserverRef observer;
extern ax::ElementRef observedApp;
extern int observedPid;

// Attributes switched on in applications, by process id: [attribute name, previous value].
extern std::map<int, std::pair<std::string, ax::Value>> restoreAttrs;

// Registers the front-application handler; once, at start-up.
void watchActivations();

// A window read found no window: the application may not have joined the accessibility bus
// when it was observed; looks for it again shortly (a bounded number of times per observation).
void lookForLateJoiner();

// Drops the observer and the observed application.
void tearDownObservation();

// Makes app the observed application and reports it; with no app (or while paused) only tears
// the previous observation down.
void observe(const std::optional<workspace::App>& app);

// Observes the application in front, asked of the window system off the main thread. Until it
// is known, what the person does counts as in an undecided window.
void observeFront();

// Puts back every attribute observation switched on, then says "restored".
void restoreAll();
