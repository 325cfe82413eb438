#pragma once
// The pasteboard watch.
#include "common/jsonline.h"
#include "platform/ax.h"

extern long pasteboardCount; // the change count as last seen

// Remembers the pasteboard's change count so only later copies are reported.
void rememberPasteboardCount();

// Runs every half second for the life of the process; silent while paused.
void checkPasteboard();

// The description of the application's focused element; {} when there is none. axQueue only.
json focusedDescription(const ax::ElementRef& app);
