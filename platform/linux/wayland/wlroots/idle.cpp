// Idle time on wlroots: the compositor says when the seat has had no input for a second, and when
// input comes back (ext-idle-notify, else the older KDE idle protocol sway 1.7 offers).
#include "platform/linux/shared/backend.h"
#include "platform/linux/wayland/wlroots/client.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace input::wlroots {
namespace {

constexpr uint32_t thresholdMs = 1000;

std::atomic<bool> known{false};
std::atomic<std::int64_t> idleSince{-1}; // steady-clock ms of the last input when idle, else -1

std::int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void becameIdle() {
    idleSince = steadyMs() - thresholdMs;
}
void resumed() {
    idleSince = -1;
}

void extIdled(void*, ext_idle_notification_v1*) {
    becameIdle();
}
void extResumed(void*, ext_idle_notification_v1*) {
    resumed();
}
const ext_idle_notification_v1_listener extListener = {extIdled, extResumed};

void kdeIdle(void*, org_kde_kwin_idle_timeout*) {
    becameIdle();
}
void kdeResumed(void*, org_kde_kwin_idle_timeout*) {
    resumed();
}
const org_kde_kwin_idle_timeout_listener kdeListener = {kdeIdle, kdeResumed};

void start() {
    static std::once_flag once;
    std::call_once(once, [] {
        std::shared_ptr<wl::Connection> c = wl::connect();
        if (!c || !c->seat) return;
        if (c->idleNotifier) {
            auto* n =
                ext_idle_notifier_v1_get_idle_notification(c->idleNotifier, thresholdMs, c->seat);
            ext_idle_notification_v1_add_listener(n, &extListener, nullptr);
        } else if (c->kdeIdle) {
            auto* t = org_kde_kwin_idle_get_idle_timeout(c->kdeIdle, c->seat, thresholdMs);
            org_kde_kwin_idle_timeout_add_listener(t, &kdeListener, nullptr);
        } else {
            return;
        }
        known = true;
        std::thread([c] {
            while (wl_display_dispatch(c->display) >= 0) {
            }
            known = false;
        }).detach();
    });
}

} // namespace

double secondsSinceLastInput() {
    start();
    std::int64_t since = idleSince;
    if (!known || since < 0) return 0;
    return double(steadyMs() - since) / 1000.0;
}

} // namespace input::wlroots
