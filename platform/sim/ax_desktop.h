#pragma once
// Controls of the simulated desktop's accessibility: trees that a test builds, notifications it
// fires, applications that answer slowly, and the front-application notice.
#include "platform/ax.h"
#include "platform/workspace.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// The application element of pid (the same element applicationElement(pid) reaches).
ax::ElementRef axApp(int pid);

// A new element of pid's tree with the given attributes; not yet anyone's child.
ax::ElementRef axElement(int pid, std::vector<std::pair<std::string, ax::Value>> attributes = {});

// Sets or removes (nullopt) one attribute; a test's change needs no notification.
void axSet(const ax::ElementRef& element, const std::string& name, std::optional<ax::Value> value);

// Appends child to parent's "AXChildren" and returns child.
ax::ElementRef axAdd(const ax::ElementRef& parent, ax::ElementRef child);

// Requests on pid's elements take this long on the virtual clock; longer than a request's
// messaging timeout, the request fails once the timeout has passed. 0 answers at once.
void axSlowness(int pid, double seconds);

// Setting this attribute on the element fails.
void axRefuseSet(const ax::ElementRef& element, const std::string& name);

// Observers can't be created for pid.
void axRefuseObservers(int pid);

// The element is gone: every request on it fails.
void axDestroy(const ax::ElementRef& element);

// Fires a notification from element; observers of its application that registered it on the
// application element or on element itself get it on the main queue.
void axNotify(const ax::ElementRef& element, const std::string& notification);

// Notifications registered on pid's elements by attached observers, in registration order.
std::vector<std::string> axRegistered(int pid);

// Successful attribute changes, one line each: "<pid> <name> true|false|...".
std::vector<std::string> axSetLog();

// Called before every attribute request, with the element's pid and the attribute's name; lets a
// test change the desktop while a read is under way. nullptr removes it.
void axDuringRead(std::function<void(int pid, const std::string& attribute)> hook);

// Number of attribute requests made so far.
long axRequests();

// Forgets every tree, observer, slowness, refusal, hook and log.
void axReset();

// Makes app the front application and delivers the activation notice on the main queue.
void activate(std::optional<workspace::App> app);

// The active window changed without a change of application; delivered on the main queue.
void frontWindowChanged();

// Whether workspace::electronApp answers true for pid.
void setElectronApp(int pid, bool electron);

} // namespace sim
