// Frame requests and capture on the simulated desktop and its virtual clock.
#include "helpers.h"
#include "platform/sim/act_desktop.h"
#include "platform/sim/ax_desktop.h"
#include "platform/sim/capture_desktop.h"
#include "platform/sim/desktop.h"
#include "watch/accessibility/observe.h"
#include "watch/core/state.h"
#include "watch/frames/capture.h"

#include <gtest/gtest.h>

namespace {

constexpr int pid = 812;

windows::Info window(unsigned long number, double w, double h, int owner = pid, int layer = 0) {
    windows::Info info;
    info.number = number;
    info.pid = owner;
    info.layer = layer;
    info.bounds = windows::Rect{10, 10, w, h};
    return info;
}

// A picture whose brightness runs left to right or right to left, so the two hash far apart.
capture::Picture shot(bool rising) {
    capture::Picture p;
    p.width = 64;
    p.height = 48;
    p.stride = 64 * 4;
    p.pixels.resize(static_cast<std::size_t>(p.stride) * 48);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x) {
            auto v = static_cast<std::uint8_t>((rising ? x : 63 - x) * 4);
            std::uint8_t* px = &p.pixels[static_cast<std::size_t>(y * p.stride + x * 4)];
            px[0] = px[1] = px[2] = v;
        }
    return p;
}

struct Capture : ::testing::Test {
    TempDir dir;
    ax::ElementRef front; // the observed application's window, read again after each capture
    void title(const std::string& t) {
        currentWindow = t;
        sim::axSet(front, "AXTitle", t);
    }
    void SetUp() override {
        sim::reset();
        sim::axReset();
        observedApp = sim::axApp(pid);
        front = sim::axAdd(observedApp, sim::axElement(pid, {{"AXRole", std::string("AXWindow")}}));
        sim::axSet(observedApp, "AXFocusedWindow", front);
        sim::resetCapture();
        sim::setPermissions({});
        makeQueues();
        paused = false;
        framesOn = true;
        framesDir = dir.str();
        observedPid = pid;
        currentPrivate = false;
        title("Inbox");
        lastFrameWindow.clear();
        lastFrameHash = 0;
        frameTimer.reset();
        sim::setWindows(std::vector<windows::Info>{window(7, 800, 600)});
        sim::setWindowPicture(7, shot(true));
    }
    void TearDown() override {
        paused = true;
        framesDir.clear();
        observedPid = 0;
        observedApp.reset();
    }
    // A frame asked for now: the window is chosen off the main thread.
    void shoot(const std::string& why) {
        captureFrame(why);
        sim::drain();
    }
    std::vector<json> frames() {
        std::vector<json> out;
        for (auto& e : takeEvents())
            if (e["kind"] == "frame" || e["kind"] == "frame_dropped") out.push_back(e);
        return out;
    }
};

TEST_F(Capture, LastOfABurstWinsWithItsOwnDelay) {
    frameSoon("value", 0.3);
    sim::advance(0.1);
    frameSoon("window", 0.7);
    sim::advance(0.05);
    frameSoon("copy", 0.05);
    sim::advance(0.04);
    EXPECT_EQ(sim::capturesTaken(), 0u);
    sim::advance(0.02);
    EXPECT_EQ(sim::capturesTaken(), 1u);
    sim::advance(2.0);
    EXPECT_EQ(sim::capturesTaken(), 1u) << "earlier requests were replaced, not queued";
    auto events = frames();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["kind"], "frame");
    EXPECT_EQ(events[0]["why"], "copy");
    EXPECT_EQ(events[0]["window_id"], 7);
    EXPECT_EQ(events[0]["w"], 64);
    EXPECT_EQ(lastFrameWindow, "812:Inbox");
}

TEST_F(Capture, ChoosesTheFrontmostOrdinaryWindowOfTheObservedProcess) {
    sim::setWindows(std::vector<windows::Info>{window(1, 800, 600, 99), // another process, in front
                                               window(2, 300, 200, pid, 101), // its own menu
                                               window(3, 39.5, 400),          // too narrow
                                               window(4, 400, 39.5),          // too low
                                               window(5, 40, 40),             // just big enough
                                               window(6, 800, 600)});
    sim::setWindowPicture(5, shot(false));
    shoot("window");
    auto events = frames();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["window_id"], 5);

    // The first qualifying window decides, even when its number is unusable.
    sim::setWindows(std::vector<windows::Info>{window(0, 800, 600), window(6, 800, 600)});
    shoot("window");
    auto unusable = windows::Info{};
    unusable.number = 9;
    unusable.pid = pid; // no bounds: skipped
    sim::setWindows(std::vector<windows::Info>{unusable, window(3, 39.5, 400)});
    shoot("window");
    sim::setWindows(std::nullopt);
    shoot("window");
    for (auto& e : frames())
        EXPECT_EQ(e, (json{{"kind", "frame_dropped"}, {"why", "no_window"}, {"t", e["t"]}}));
    EXPECT_EQ(sim::capturesTaken(), 1u);
}

TEST_F(Capture, NothingWithoutEveryPrecondition) {
    std::vector<std::function<void(bool)>> gates = {
        [](bool on) { paused = on; },
        [](bool on) { currentPrivate = on; },
        [](bool on) { framesOn = !on; },
        [this](bool on) { framesDir = on ? "" : dir.str(); },
        [](bool on) { observedPid = on ? 0 : pid; },
        [](bool on) { sim::setPermissions({.screen = !on}); },
    };
    sim::setWindows(std::nullopt); // would be "no_window" if the list were asked for
    for (auto& gate : gates) {
        gate(true);
        frameSoon("value", 0.3);
        sim::advance(0.5);
        EXPECT_TRUE(frames().empty());
        gate(false);
    }
    EXPECT_EQ(sim::capturesTaken(), 0u);
}

TEST_F(Capture, PausedOrPrivateWhenThePictureArrivesDropsItSilently) {
    sim::setCapturesWait(true);
    shoot("value");
    paused = true;
    sim::releaseCaptures();
    EXPECT_TRUE(frames().empty());
    paused = false;

    shoot("value");
    currentPrivate = true;
    sim::releaseCaptures();
    EXPECT_TRUE(frames().empty());
    currentPrivate = false;

    // Frames switched off after the window was chosen do not stop the frame.
    shoot("value");
    framesOn = false;
    sim::releaseCaptures();
    auto events = frames();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["kind"], "frame");
}

TEST_F(Capture, CapturesInFlightEachEndInTheirOwnFrame) {
    sim::setCapturesWait(true);
    shoot("value");
    title("Drafts"); // a new frame key, so the second is no duplicate
    shoot("copy");
    EXPECT_EQ(sim::capturesInFlight(), 2u);
    sim::releaseCaptures();
    auto events = frames();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0]["why"], "value");
    EXPECT_EQ(events[1]["why"], "copy");
    EXPECT_EQ(lastFrameWindow, "812:Drafts");
}

TEST_F(Capture, EachFailureHasItsReason) {
    sim::setCapturesWait(true);
    auto outcome = [&](const std::function<void()>& meanwhile) {
        shoot("value");
        meanwhile();
        sim::releaseCaptures();
        auto events = frames();
        return events.size() == 1 ? events[0] : json(events);
    };
    auto why = [](const json& e) { return e.value("why", "?"); };
    EXPECT_EQ(why(outcome([] { sim::setCaptureAvailable(false); })), "capture_unavailable");
    sim::setCaptureAvailable(true);
    EXPECT_EQ(why(outcome([] { sim::removeWindowPicture(7); })), "window_gone");
    sim::setWindowPicture(7, shot(true));
    auto failed = outcome([] { sim::setCaptureFails(7, true); });
    EXPECT_EQ(failed,
              (json{{"kind", "frame_dropped"}, {"why", "capture_failed"}, {"t", failed["t"]}}))
        << "no reason and no context in a drop";
    sim::setCaptureFails(7, false);
    EXPECT_EQ(outcome([] {})["kind"], "frame");
    EXPECT_EQ(why(outcome([] {})), "same");
}

TEST_F(Capture, PicturesAreHeldOnlyWhileFramesMayBeWanted) {
    frameSoon("value", 0.3);
    sim::drain();
    EXPECT_TRUE(sim::captureHeld());
    paused = true;
    framesChanged();
    EXPECT_FALSE(sim::captureHeld());
    paused = false;
    framesDir.clear();
    framesChanged();
    EXPECT_FALSE(sim::captureHeld());
    framesDir = dir.str();
    shoot("value");
    EXPECT_TRUE(sim::captureHeld());
    framesOn = false;
    framesChanged();
    EXPECT_FALSE(sim::captureHeld());
}

} // namespace
