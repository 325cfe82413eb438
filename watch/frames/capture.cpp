#include "watch/frames/capture.h"
#include "platform/capture.h"
#include "platform/permissions.h"
#include "platform/windows.h"
#include "watch/accessibility/gate.h"
#include "watch/accessibility/observe.h"
#include "watch/accessibility/window.h"
#include "watch/core/emit.h"
#include "watch/core/state.h"
#include "watch/frames/keep.h"

#include <optional>

loop::TimerRef frameTimer;

namespace {

void dropped(const char* why) {
    emit({{"kind", "frame_dropped"}, {"why", why}});
}

// The observed process's frontmost ordinary window big enough to show something.
std::optional<uint32_t> chooseWindow(const std::vector<windows::Info>& list, int pid) {
    for (const windows::Info& w : list)
        if (w.pid == pid && w.layer == windows::normalLayer && w.bounds && w.bounds->width >= 40 &&
            w.bounds->height >= 40)
            return static_cast<uint32_t>(w.number);
    return std::nullopt;
}

// Runs on the backend's thread: touches no shared state but emit.
void captured(capture::Result result, std::string why, std::string frameKey, uint32_t windowId,
              ax::ElementRef app, Hosts hosts, std::uint64_t epoch) {
    switch (result.failure) {
    case capture::Failure::unavailable:
        return dropped("capture_unavailable");
    case capture::Failure::windowGone:
        return dropped("window_gone");
    case capture::Failure::failed:
        return dropped("capture_failed");
    case capture::Failure::none:
        break;
    }
    // The picture is kept only if the window, read again after it was taken, is still the one
    // decided not private when the capture began.
    auto shared = std::shared_ptr<capture::Picture>(std::move(result.picture));
    loop::async(axQueue, [shared, why = std::move(why), frameKey = std::move(frameKey), windowId,
                          app = std::move(app), hosts = std::move(hosts), epoch]() mutable {
        WindowRead check = readFrontWindow(app, hosts);
        app.reset();
        reportChecked(std::move(check), epoch, [shared, why, frameKey, windowId] {
            Picture kept;
            kept.width = shared->width;
            kept.height = shared->height;
            kept.stride = static_cast<std::size_t>(shared->stride);
            kept.order = Picture::Order::bgra;
            kept.pixels = std::move(shared->pixels);
            keepFrame(kept, why, frameKey, windowId);
        });
    });
}

} // namespace

void framesChanged() {
    capture::hold(!paused.load() && framesOn.load() && !framesDir.empty());
}

void frameSoon(const std::string& why, double delay) {
    loop::onMain([why, delay] {
        if (frameTimer) loop::cancel(frameTimer);
        frameTimer = loop::oneShot(delay, [why] { captureFrame(why); });
        framesChanged();
    });
}

void captureFrame(const std::string& why) {
    framesChanged();
    if (holdWhileUndecided([why] { captureFrame(why); })) return;
    if (!mayDisclose() || !framesOn.load() || framesDir.empty() || observedPid == 0 ||
        !permissions::screenAccess())
        return;
    // The window list asks the display server, which another client's grab can hold up for as
    // long as it likes: never on the main thread.
    static loop::Queue* queue = loop::makeSerialQueue("zephrin.watch.frames");
    loop::async(queue, [why, frameKey = std::to_string(observedPid) + ":" + currentWindow,
                        pid = observedPid, app = observedApp, hosts = hostsNow(),
                        epoch = windowEpoch.load()]() mutable {
        auto list = windows::onScreen();
        std::optional<uint32_t> windowId = list ? chooseWindow(*list, pid) : std::nullopt;
        if (!windowId || *windowId == 0) return dropped("no_window");
        capture::captureWindow(*windowId, [why, frameKey, id = *windowId, app = std::move(app),
                                           hosts = std::move(hosts),
                                           epoch](capture::Result result) {
            captured(std::move(result), why, frameKey, id, app, hosts, epoch);
        });
    });
}
