#pragma once
// Focus, value and menu notices.
#include "platform/ax.h"
#include "platform/loop.h"

extern loop::TimerRef valueTimer;          // debounces value reports
extern ax::ElementRef pendingValueElement; // the element whose value is awaited
extern double lastContentChangeAt; // seconds since 1970 of the last content change; 0 before
