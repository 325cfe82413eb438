#include "platform/notices.h"
#include "platform/sim/desktop.h"

namespace {
std::function<void()> sleepHandler, wakeHandler, lockHandler, unlockHandler;

void fire(const std::function<void()>& handler) {
    if (handler) handler();
}
} // namespace

namespace sim {
void fireSleep() {
    fire(sleepHandler);
}
void fireWake() {
    fire(wakeHandler);
}
void fireLock() {
    fire(lockHandler);
}
void fireUnlock() {
    fire(unlockHandler);
}
} // namespace sim

namespace notices {

void onSleep(std::function<void()> handler) {
    sleepHandler = std::move(handler);
}
void onWake(std::function<void()> handler) {
    wakeHandler = std::move(handler);
}
void onLock(std::function<void()> handler) {
    lockHandler = std::move(handler);
}
void onUnlock(std::function<void()> handler) {
    unlockHandler = std::move(handler);
}

} // namespace notices
