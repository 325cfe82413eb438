#include "watch/frames/capture.h"
#include "platform/capture.h"
#include "platform/permissions.h"
#include "platform/windows.h"
#include "watch/accessibility/observe.h"
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
std::optional<uint32_t> chooseWindow(const std::vector<windows::Info>& list) {
    for (const windows::Info& w : list)
        if (w.pid == observedPid && w.layer == windows::normalLayer && w.bounds &&
            w.bounds->width >= 40 && w.bounds->height >= 40)
            return static_cast<uint32_t>(w.number);
    return std::nullopt;
}

// Runs on the backend's thread: touches no shared state but emit.
void captured(capture::Result result, std::string why, std::string frameKey, uint32_t windowId) {
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
    loop::onMain([picture = std::move(result.picture), why = std::move(why),
                  frameKey = std::move(frameKey), windowId] {
        if (paused.load() || currentPrivate) return;
        Picture kept;
        kept.width = picture->width;
        kept.height = picture->height;
        kept.stride = static_cast<std::size_t>(picture->stride);
        kept.order = Picture::Order::bgra;
        kept.pixels = std::move(picture->pixels);
        keepFrame(kept, why, frameKey, windowId);
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
    if (paused.load() || currentPrivate || !framesOn.load() || framesDir.empty() ||
        observedPid == 0 || !permissions::screenAccess())
        return;
    std::optional<uint32_t> windowId;
    {
        auto list = windows::onScreen();
        if (!list) return dropped("no_window");
        windowId = chooseWindow(*list);
    }
    if (!windowId || *windowId == 0) return dropped("no_window");
    std::string frameKey = std::to_string(observedPid) + ":" + currentWindow;
    capture::captureWindow(*windowId, [why, frameKey, id = *windowId](capture::Result result) {
        captured(std::move(result), why, frameKey, id);
    });
}
