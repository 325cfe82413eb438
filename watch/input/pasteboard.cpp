#include "watch/input/pasteboard.h"
#include "watch/core/state.h"

// The clipboard source arrives with the pasteboard work; the timer already keeps its place.
void rememberPasteboardCount() {}

void checkPasteboard() {
    if (paused.load()) return;
}
