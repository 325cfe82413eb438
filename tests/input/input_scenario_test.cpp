#include "tests/core/watcher.h"

#include "platform/loop.h"
#include "watch/accessibility/observe.h"
#include "watch/core/state.h"
#include "watch/input/keys.h"
#include "watch/input/pasteboard.h"

#include <gtest/gtest.h>

using Kinds = std::vector<std::string>;

namespace {

constexpr std::uint64_t cmd = input::maskCommand, ctrl = input::maskControl,
                        opt = input::maskAlternate, shift = input::maskShift;
constexpr int keyA = 0, keyS = 1, keyV = 9, keyX = 7, keyZ = 6, keyE = 14, keyH = 4, keyL = 37,
              keyO = 31, key1 = 18, keyReturn = 36, keyTab = 48, keyDelete = 51, keyLeft = 123;

// A recording watcher whose start-up lines are consumed.
struct Recording : Watcher {
    Recording() {
        command({{"cmd", "config"}});
        lines();
    }
    Recording& key(int code, std::uint64_t flags = 0) {
        sim::sendInput({.type = input::keyDown, .flags = flags, .keyCode = code});
        run();
        return *this;
    }
    Recording& click(double x, double y, bool right = false) {
        sim::sendInput(
            {.type = right ? input::rightMouseDown : input::leftMouseDown, .x = x, .y = y});
        run();
        return *this;
    }
    Recording& wheel() {
        sim::sendInput({.type = input::scrollWheel});
        run();
        return *this;
    }
};

json without(json j, std::initializer_list<const char*> keys) {
    for (auto k : keys)
        j.erase(k);
    return j;
}

} // namespace

TEST(Keys, CountedKeysPrecedeTheShortcut) {
    Recording w;
    for (int k : {keyH, keyE, keyL, keyL, keyO})
        w.key(k);
    auto out = w.key(keyS, cmd).lines();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(without(out[0], {"t"}), (json{{"kind", "keys"},
                                            {"count", 5},
                                            {"app", "Editor"},
                                            {"bundle", "com.example.editor"},
                                            {"window", ""},
                                            {"url", ""}}));
    EXPECT_EQ(out[1]["kind"], "key_shortcut");
    EXPECT_EQ(out[1]["keys"], "cmd+s");
    EXPECT_EQ(out[1]["app"], "Editor");
    EXPECT_EQ(keyCount, 0u);
}

TEST(Keys, ShortcutNames) {
    EXPECT_EQ(shortcutName(keyZ, cmd | ctrl | opt | shift | 0x10000 /* caps lock */),
              "cmd+ctrl+opt+shift+z");
    EXPECT_EQ(shortcutName(keyZ, shift | opt | ctrl | cmd), "cmd+ctrl+opt+shift+z");
    EXPECT_EQ(shortcutName(keyReturn, 0), "return");
    EXPECT_EQ(shortcutName(76, 0), "enter");
    EXPECT_EQ(shortcutName(53, 0), "escape");
    EXPECT_EQ(shortcutName(keyTab, shift), "shift+tab");
    EXPECT_EQ(shortcutName(keyReturn, opt), "opt+return");
    EXPECT_EQ(shortcutName(keyDelete, cmd), "cmd+delete");
    EXPECT_EQ(shortcutName(117, ctrl), "ctrl+forward_delete");
    // Counted: letters with shift or option only, delete alone, and unnamed keys with anything.
    for (auto [code, flags] : std::vector<std::pair<int, std::uint64_t>>{{keyA, shift},
                                                                         {keyE, opt},
                                                                         {keyDelete, 0},
                                                                         {key1, cmd},
                                                                         {keyLeft, cmd | ctrl},
                                                                         {49, 0}})
        EXPECT_EQ(shortcutName(code, flags), std::nullopt) << code << " " << flags;
}

TEST(Keys, PasteFollowsOnlyTheCommandKeysOwnShortcut) {
    Recording w;
    sim::copyToPasteboard({"public.utf8-plain-text"}, "x");
    w.run(0.5);
    w.lines();
    auto out = w.key(keyV, cmd | shift).lines();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]["keys"], "cmd+shift+v");
    out = w.key(keyV, cmd).lines();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0]["keys"], "cmd+v");
    EXPECT_EQ(out[1]["kind"], "paste");
    EXPECT_EQ(out[1]["element"], json::object());
    EXPECT_EQ(out[1]["change"], 1);
    EXPECT_EQ(out[1]["app"], "Editor");
    EXPECT_EQ(w.key(keyX, cmd).kinds(), Kinds{"key_shortcut"});
}

TEST(Keys, NothingIsSeenWhilePausedPrivateOrSecure) {
    Recording w;
    w.run(3);
    double before = lastKeyAt;
    currentPrivate = true;
    w.key(keyA).key(keyS, cmd).click(5, 5).wheel();
    currentPrivate = false;
    sim::setSecureInput(true);
    w.key(keyA).key(keyS, cmd).click(5, 5).wheel();
    sim::setSecureInput(false);
    w.command({{"cmd", "pause"}});
    EXPECT_EQ(w.kinds(), (Kinds{"restored", "paused"}));
    w.key(keyA).key(keyS, cmd);
    w.run(10);
    EXPECT_TRUE(w.lines().empty());
    EXPECT_EQ(keyCount, 0u);
    EXPECT_EQ(lastKeyAt, before);
}

TEST(Keys, PendingKeysLeaveAtTheFirstTickAfterAPause) {
    Recording w;
    sim::touchInput();
    w.key(keyA).key(keyA).key(keyA);
    // The start-up tick comes every 5 s; at most 6.5 s after the last key.
    std::vector<json> out;
    double waited = 0;
    while (out.empty() && waited < 10) {
        w.run(0.5);
        waited += 0.5;
        out = w.lines();
    }
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]["count"], 3);
    EXPECT_LE(waited, 6.5);
    EXPECT_GT(waited, 1.5);
}

TEST(Clicks, RoundedPointRightFlagAndNoReadWithoutAnElement) {
    Recording w;
    auto out = w.click(100.5, 200.4).click(-2.5, 7.5, true).lines();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(without(out[0], {"t"}), (json{{"kind", "click"},
                                            {"element", json::object()},
                                            {"x", 101},
                                            {"y", 200},
                                            {"right", false},
                                            {"app", "Editor"},
                                            {"bundle", "com.example.editor"},
                                            {"window", ""},
                                            {"url", ""}}));
    EXPECT_EQ(out[1]["x"], -3);
    EXPECT_EQ(out[1]["y"], 8);
    EXPECT_EQ(out[1]["right"], true);
}

TEST(Clicks, MonitorRouteFlipsThePointerFromTheBottomLeft) {
    sim::setTapPossible(false);
    Recording w;
    ASSERT_TRUE(sim::monitorLive());
    sim::setMainScreen(input::Rect{0, 0, 1920, 1080});
    sim::setPointer(40, 1000);
    auto out = w.click(999, 999, true).lines();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]["x"], 40);
    EXPECT_EQ(out[0]["y"], 80);
    EXPECT_EQ(out[0]["right"], true);
    sim::setMainScreen(std::nullopt);
    out = w.click(0, 0).lines();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]["y"], -1000);
    // No keys reach the monitor.
    w.key(keyS, cmd);
    w.run(10);
    EXPECT_TRUE(w.lines().empty());
}

TEST(Scrolls, OneReportTwoSecondsAfterABurstAndNoneAfterAPause) {
    Recording w;
    for (int i = 0; i < 20; ++i) {
        w.wheel();
        w.run(0.5);
    }
    EXPECT_TRUE(w.lines().empty());
    w.run(1.4);
    EXPECT_TRUE(w.lines().empty());
    w.run(0.2);
    EXPECT_EQ(w.kinds(), Kinds{"scroll"});
    w.run(10);
    EXPECT_TRUE(w.lines().empty());

    w.wheel().run(1);
    w.command({{"cmd", "pause"}});
    w.lines();
    w.run(5);
    EXPECT_TRUE(w.lines().empty());
}

TEST(Copies, TheThreeFormsAndTheirLimits) {
    Recording w;
    sim::copyToPasteboard({"public.utf8-plain-text"}, "first");
    sim::copyToPasteboard({"public.utf8-plain-text"}, "second");
    w.run(0.5);
    auto out = w.lines();
    ASSERT_EQ(out.size(), 1u) << "two copies in one tick are one change";
    EXPECT_EQ(without(out[0], {"t"}), (json{{"kind", "copy"},
                                            {"text", "second"},
                                            {"element", json::object()},
                                            {"has_text", 1},
                                            {"app", "Editor"},
                                            {"bundle", "com.example.editor"},
                                            {"window", ""},
                                            {"url", ""}}));

    sim::copyToPasteboard({"public.utf8-plain-text"}, std::string(30000, 'k') + "secret");
    w.run(0.5);
    out = w.lines();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]["text"], std::string(20000, 'k'));

    sim::copyToPasteboard({"public.png"}, std::nullopt);
    w.run(0.5);
    out = w.lines();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]["text"], "");
    EXPECT_EQ(out[0]["has_text"], 0);

    for (const char* marker :
         {"org.nspasteboard.ConcealedType", "org.nspasteboard.TransientType"}) {
        sim::copyToPasteboard({"public.utf8-plain-text", marker}, "hunter2");
        w.run(0.5);
        out = w.lines();
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(without(out[0], {"t", "app", "bundle", "window", "url"}),
                  (json{{"kind", "copy"}, {"concealed", true}}));
        EXPECT_EQ(out[0]["app"], "Editor");
    }

    currentPrivate = true;
    sim::copyToPasteboard({"public.utf8-plain-text"}, "hunter2");
    w.run(0.5);
    out = w.lines();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(without(out[0], {"t"}), (json{{"kind", "copy"}, {"private", true}}));
}

TEST(Copies, NothingCopiedBeforeStartOrWhilePausedIsEverReported) {
    sim::copyToPasteboard({"public.utf8-plain-text"}, "before start");
    Watcher w;
    w.lines();
    w.run(1);
    EXPECT_TRUE(w.lines().empty());
    w.command({{"cmd", "config"}}).lines();
    w.run(1);
    EXPECT_TRUE(w.lines().empty());
    w.command({{"cmd", "pause"}}).lines();
    sim::copyToPasteboard({"public.utf8-plain-text"}, "while paused");
    w.run(1);
    w.command({{"cmd", "resume"}}).lines();
    w.run(5);
    EXPECT_TRUE(w.lines().empty());
    // Also when the look that would absorb it comes only after "resume".
    w.command({{"cmd", "pause"}}).lines();
    w.run(0.2);
    sim::copyToPasteboard({"public.utf8-plain-text"}, "just before resuming");
    w.command({{"cmd", "resume"}}).lines();
    w.run(5);
    EXPECT_TRUE(w.lines().empty());
}

TEST(Idle, ReportedOncePerIdleMinuteThenActive) {
    Recording w;
    sim::touchInput();
    std::vector<json> idles;
    for (int i = 0; i < 30; ++i) { // 150 s
        w.run(5);
        for (auto& j : w.lines()) {
            EXPECT_EQ(j["kind"], "idle");
            EXPECT_FALSE(j.contains("app"));
            idles.push_back(j);
        }
    }
    ASSERT_EQ(idles.size(), 2u);
    EXPECT_GE(idles[0]["seconds"], 60);
    EXPECT_LE(idles[0]["seconds"], 64);
    EXPECT_GE(idles[1]["seconds"], 120);
    EXPECT_LE(idles[1]["seconds"], 124);
    w.run(1);
    sim::touchInput(); // a pointer move between two ticks
    w.run(5);
    EXPECT_EQ(w.kinds(), Kinds{"active"});
    w.run(20);
    EXPECT_TRUE(w.lines().empty());
}

TEST(Idle, KeysLeaveBeforeIdleAndNothingWhilePaused) {
    Recording w;
    w.key(keyA); // the last input, at the start
    w.run(55);
    EXPECT_EQ(w.kinds(), Kinds{"keys"});
    keyCount = 2; // counted but not yet sent when the idle minute is up
    lastKeyAt = loop::now() - 2;
    w.run(5);
    EXPECT_EQ(w.kinds(), (Kinds{"keys", "idle"}));

    w.command({{"cmd", "pause"}}).lines();
    sim::touchInput();
    w.run(30);
    EXPECT_TRUE(w.lines().empty()) << "no active while paused";
    w.command({{"cmd", "resume"}}).lines();
    w.run(1);
    sim::touchInput();
    w.run(5);
    EXPECT_EQ(w.kinds(), Kinds{"active"}) << "an idle spell that ended during the pause";
}

TEST(Notices, ReportedInEveryStateWithoutContext) {
    Watcher w;
    w.lines();
    sim::fireSleep();
    sim::fireWake();
    sim::fireLock();
    sim::fireUnlock();
    w.run();
    auto out = w.lines();
    ASSERT_EQ(out.size(), 4u);
    Kinds kinds;
    for (auto& j : out) {
        kinds.push_back(j["kind"]);
        EXPECT_EQ(j.size(), 2u) << j;
    }
    EXPECT_EQ(kinds, (Kinds{"sleep", "wake", "lock", "unlock"}));
}
