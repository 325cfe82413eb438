#include "watch/core/notices.h"
#include "watch/core/state.h"

// The notice sources and the idle rules arrive with the system-notice work; until then the
// timer keeps its place in the loop and stays silent.
void startNotices() {}

void checkIdle() {
    if (paused.load()) return;
}
