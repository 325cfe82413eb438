#include "watch/core/notices.h"
#include "platform/input.h"
#include "platform/loop.h"
#include "platform/notices.h"
#include "watch/accessibility/notices.h"
#include "watch/accessibility/observe.h"
#include "watch/core/emit.h"
#include "watch/core/state.h"
#include "watch/frames/capture.h"
#include "watch/frames/keep.h"
#include "watch/input/keys.h"

bool idleSent = false;

// Reported in every state, paused or not.
void startNotices() {
    notices::onSleep([] { emit({{"kind", "sleep"}}); });
    notices::onWake([] { emit({{"kind", "wake"}}); });
    notices::onLock([] { emit({{"kind", "lock"}}); });
    notices::onUnlock([] { emit({{"kind", "unlock"}}); });
}

void checkIdle() {
    if (paused.load()) return;
    double s = input::secondsSinceLastInput();
    double now = loop::now();

    if (keyCount != 0 && now - lastKeyAt > 1.5) flushKeys();

    long long n = static_cast<long long>(s);
    if (s >= 60 && !idleSent) {
        idleSent = true;
        emit({{"kind", "idle"}, {"seconds", n}});
    } else if (s >= 60) {
        if (n % 60 <= 4) emit({{"kind", "idle"}, {"seconds", n}});
    } else if (s < 5 && idleSent) {
        idleSent = false;
        emit({{"kind", "active"}});
    }

    if (!currentPrivate && observedPid != 0 && now - lastContentChangeAt < 60 &&
        now - lastFrameAt > 60)
        captureFrame("quiet");
}
