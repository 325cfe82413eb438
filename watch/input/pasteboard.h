#pragma once
// The pasteboard watch.

// Remembers the pasteboard's change count so only later copies are reported.
void rememberPasteboardCount();

// Runs every half second for the life of the process; silent while paused.
void checkPasteboard();
