#include "platform/capture.h"
#include "platform/loop.h"
#include "platform/sim/capture_desktop.h"

#include <map>
#include <utility>
#include <vector>

namespace {

struct Pending {
    uint32_t windowId;
    std::function<void(capture::Result)> done;
};

bool available = true;
std::map<uint32_t, capture::Picture> pictures;
std::map<uint32_t, bool> failing;
bool waiting = false;
std::vector<Pending> inFlight;
std::size_t taken = 0;
bool held = false;

void finish(Pending p) {
    capture::Result result;
    auto it = pictures.find(p.windowId);
    if (!available)
        result.failure = capture::Failure::unavailable;
    else if (it == pictures.end())
        result.failure = capture::Failure::windowGone;
    else if (failing[p.windowId])
        result.failure = capture::Failure::failed;
    else
        result.picture = std::make_shared<capture::Picture>(it->second);
    // The completion runs off the main queue, as a real backend's does.
    loop::onUtility([done = std::move(p.done), result = std::move(result)]() mutable {
        done(std::move(result));
    });
}

} // namespace

namespace sim {

void resetCapture() {
    available = true;
    pictures.clear();
    failing.clear();
    waiting = false;
    inFlight.clear();
    taken = 0;
    held = false;
}
void setCaptureAvailable(bool a) {
    available = a;
}
void setWindowPicture(uint32_t windowId, const capture::Picture& picture) {
    pictures[windowId] = picture;
}
void removeWindowPicture(uint32_t windowId) {
    pictures.erase(windowId);
}
void setCaptureFails(uint32_t windowId, bool fails) {
    failing[windowId] = fails;
}
void setCapturesWait(bool wait) {
    waiting = wait;
}
std::size_t capturesInFlight() {
    return inFlight.size();
}
void releaseCaptures() {
    auto all = std::move(inFlight);
    inFlight.clear();
    for (auto& p : all)
        finish(std::move(p));
}
std::size_t capturesTaken() {
    return taken;
}
bool captureHeld() {
    return held;
}

} // namespace sim

namespace capture {

void hold(bool on) {
    held = on;
}

void captureWindow(uint32_t windowId, std::function<void(Result)> done) {
    ++taken;
    Pending p{windowId, std::move(done)};
    if (waiting)
        inFlight.push_back(std::move(p));
    else
        finish(std::move(p));
}

} // namespace capture
