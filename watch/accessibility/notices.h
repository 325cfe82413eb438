#pragma once
// Focus, value and menu notices.
#include "platform/ax.h"
#include "platform/loop.h"

#include <string>

extern loop::TimerRef valueTimer;          // debounces value reports
extern ax::ElementRef pendingValueElement; // the element whose value is awaited
extern double lastContentChangeAt; // seconds since 1970 of the last content change; 0 before

// The observed application's notifications, on the main thread.
void observerCallback(const ax::ElementRef& element, const std::string& notification);

// Reports the observed application's focused element as "focus". Main thread.
void readFocus();

// Reports the element's text (or only that it is secure) as "value". Main thread.
void readValue(const ax::ElementRef& element);
