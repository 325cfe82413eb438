#include "watcher.h"

#include "watch/accessibility/notices.h"
#include "watch/accessibility/observe.h"
#include "watch/accessibility/window.h"
#include "watch/core/state.h"
#include "watch/frames/capture.h"
#include "watch/input/clicks.h"
#include "watch/input/keys.h"

#include <csignal>
#include <gtest/gtest.h>

using Kinds = std::vector<std::string>;

namespace {
// A watcher that has consumed its start-up probe.
struct Started : Watcher {
    explicit Started(std::optional<workspace::App> front = workspace::App{321, "Editor",
                                                                          "com.example.editor"})
        : Watcher(front) {
        lines();
    }
};
} // namespace

TEST(Startup, FirstLineIsTheProbeWithTime) {
    sim::setPermissions({.ax = false, .listen = true, .screen = false});
    sim::setVersionString("Test OS 9");
    Watcher w;
    auto out = w.lines();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]["kind"], "probe");
    EXPECT_EQ(out[0]["version"], "1");
    EXPECT_EQ(out[0]["ax"], 0);
    EXPECT_TRUE(out[0]["ax"].is_number());
    EXPECT_EQ(out[0]["listen"], true);
    EXPECT_EQ(out[0]["screen"], false);
    EXPECT_EQ(out[0]["macos"], "Test OS 9");
    EXPECT_TRUE(out[0]["pid"].is_number_integer());
    EXPECT_TRUE(out[0]["t"].is_number_integer());
    EXPECT_TRUE(paused.load());
}

TEST(Startup, NothingIsObservedBeforeTheFirstCommand) {
    Started w;
    w.run(120);
    EXPECT_TRUE(w.lines().empty());
    EXPECT_FALSE(sim::tapLive());
    EXPECT_EQ(observedPid, 0);
}

TEST(Config, WhilePausedStartsRecordingAndObservesTheFrontApp) {
    Started w;
    auto out = w.command({{"cmd", "config"}}).lines();
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(
        out[0],
        (json{{"kind", "configured"}, {"skip_bundles", 0}, {"skip_hosts", 0}, {"t", out[0]["t"]}}));
    EXPECT_EQ(out[1]["kind"], "resumed");
    EXPECT_EQ(out[2]["kind"], "app");
    EXPECT_EQ(out[2]["app"], "Editor");
    EXPECT_EQ(out[2]["bundle"], "com.example.editor");
    EXPECT_EQ(out[2]["window"], "");
    EXPECT_EQ(out[2]["url"], "");
    EXPECT_FALSE(paused.load());
    EXPECT_TRUE(sim::tapLive());
    EXPECT_EQ(observedPid, 321);
}

TEST(Config, StartFalseOrZeroStaysPausedButStringFalseStarts) {
    for (json start : {json(false), json(0), json(0.0)}) {
        Started w;
        EXPECT_EQ(w.command({{"cmd", "config"}, {"start", start}}).kinds(), Kinds{"configured"})
            << start;
        EXPECT_TRUE(paused.load());
    }
    Started w;
    EXPECT_EQ(w.command({{"cmd", "config"}, {"start", "false"}}).kinds(),
              (Kinds{"configured", "resumed", "app"}));
}

TEST(Config, WhileRecordingObservesAgainWithoutResuming) {
    Started w;
    w.command({{"cmd", "config"}}).lines();
    sim::setFrontApp(workspace::App{77, "Mail", "com.example.mail"});
    auto out = w.command({{"cmd", "config"}, {"skip_hosts", {"a.example"}}}).lines();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0]["kind"], "configured");
    EXPECT_EQ(out[0]["skip_hosts"], 1);
    EXPECT_EQ(out[1]["kind"], "app");
    EXPECT_EQ(out[1]["app"], "Mail");
    EXPECT_EQ(observedPid, 77);
}

TEST(Config, CountsAndListReplacement) {
    Started w;
    auto out = w.command({{"cmd", "config"},
                          {"skip_bundles", {"a", 5, "a", nullptr}},
                          {"skip_hosts", {"x", "x", 3}},
                          {"start", false}})
                   .lines();
    EXPECT_EQ(out[0]["skip_bundles"], 1);
    EXPECT_EQ(out[0]["skip_hosts"], 2);
    EXPECT_EQ(skipHosts, (std::vector<std::string>{"x", "x"}));
    // Lists are replaced on every config: absent or of the wrong type empties them.
    out = w.command({{"cmd", "config"}, {"skip_bundles", "a"}, {"start", false}}).lines();
    EXPECT_EQ(out[0]["skip_bundles"], 0);
    EXPECT_EQ(out[0]["skip_hosts"], 0);
}

TEST(Config, FramesDirAndFramesSwitch) {
    Started w;
    w.command({{"cmd", "config"}, {"frames_dir", "/tmp/f"}, {"frames", false}, {"start", 0}});
    EXPECT_EQ(framesDir, "/tmp/f");
    EXPECT_FALSE(framesOn.load());
    w.command({{"cmd", "config"}, {"frames_dir", 7}, {"start", 0}});
    EXPECT_EQ(framesDir, "/tmp/f");
    EXPECT_FALSE(framesOn.load()) << "absent \"frames\" keeps the switch";
    w.command({{"cmd", "config"}, {"frames_dir", ""}, {"frames", "yes"}, {"start", 0}});
    EXPECT_EQ(framesDir, "");
    EXPECT_TRUE(framesOn.load());
}

TEST(Frames, OnFollowsTruthAndAbsentMeansOff) {
    Started w;
    w.command({{"cmd", "frames"}});
    EXPECT_FALSE(framesOn.load());
    w.command({{"cmd", "frames"}, {"on", 1}});
    EXPECT_TRUE(framesOn.load());
    w.command({{"cmd", "frames"}, {"on", "0"}});
    EXPECT_FALSE(framesOn.load());
    EXPECT_TRUE(w.lines().empty());
}

TEST(Truth, ValuesAndStrings) {
    for (json yes : {json(true), json(1), json(-2), json(0.5), json("Y"), json("yes"), json("true"),
                     json("T"), json(" +0007"), json("\t-3x"), json("1")})
        EXPECT_TRUE(truthOf(yes)) << yes;
    for (json no : {json(false), json(0), json(0.0), json(""), json("no"), json("false"),
                    json("000"), json("  -0"), json("+"), json("0x1"), json(" n"), json(nullptr),
                    json::array({1}), json::object({{"a", 1}})})
        EXPECT_FALSE(truthOf(no)) << no;
}

TEST(PauseResume, RedundantCommandsSayNothing) {
    Started w;
    EXPECT_TRUE(w.command({{"cmd", "pause"}}).lines().empty());
    w.command({{"cmd", "resume"}});
    EXPECT_EQ(w.kinds(), (Kinds{"resumed", "app"}));
    EXPECT_TRUE(w.command({{"cmd", "resume"}}).lines().empty());
}

TEST(PauseResume, PauseTearsDownInOrder) {
    Started w;
    w.command({{"cmd", "config"}}).lines();
    // Everything a recording watcher may hold when the host pauses it.
    int fired = 0;
    for (auto* timer : {&valueTimer, &frameTimer, &scrollTimer, &windowTimer, &walkTimer})
        *timer = loop::oneShot(1.0, [&] { ++fired; });
    keyCount = 4;
    std::size_t before = sim::pendingTimers();

    auto out = w.command({{"cmd", "pause"}}).lines();
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0]["kind"], "keys");
    EXPECT_EQ(out[0]["count"], 4);
    EXPECT_EQ(out[0]["app"], "Editor");
    EXPECT_EQ(out[1], (json{{"kind", "restored"}, {"t", out[1]["t"]}}));
    EXPECT_EQ(out[2]["kind"], "paused");
    // ... and the observation's look for an application that joins late (it showed no window).
    EXPECT_EQ(sim::pendingTimers(), before - 5 - 1);
    w.run(5);
    EXPECT_EQ(fired, 0);
    EXPECT_FALSE(sim::tapLive());
    EXPECT_EQ(observedPid, 0);
    EXPECT_TRUE(paused.load());
}

TEST(PauseResume, ResumeDecidesAfreshBetweenTapAndMonitor) {
    Started w;
    w.command({{"cmd", "resume"}});
    EXPECT_TRUE(sim::tapLive());
    EXPECT_TRUE(sim::tapHasKeys());
    w.command({{"cmd", "pause"}});
    sim::setTapPossible(false);
    w.command({{"cmd", "resume"}});
    EXPECT_FALSE(sim::tapLive());
    EXPECT_TRUE(sim::monitorLive());
    w.command({{"cmd", "pause"}});
    EXPECT_FALSE(sim::monitorLive());
    sim::setTapPossible(true);
    sim::setPermissions({.ax = true, .listen = false, .screen = true});
    w.command({{"cmd", "resume"}});
    EXPECT_TRUE(sim::tapLive());
    EXPECT_FALSE(sim::tapHasKeys()) << "no keys without listen access";
}

TEST(Observe, SkippedFrontAppIsPrivate) {
    Started w(workspace::App{9, "Vault", "com.example.vault"});
    auto out = w.command({{"cmd", "config"}, {"skip_bundles", {"com.example.*"}}}).lines();
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[2], (json{{"kind", "private"}, {"why", "app"}, {"t", out[2]["t"]}}));
    EXPECT_EQ(currentApp, "Vault");
    EXPECT_TRUE(currentPrivate);
    EXPECT_EQ(observedPid, 0);
}

TEST(Observe, NoFrontAppOnlyResumes) {
    Started w(std::nullopt);
    EXPECT_EQ(w.command({{"cmd", "config"}}).kinds(), (Kinds{"configured", "resumed"}));
}

TEST(Stop, WhilePausedSaysOnlyStopped) {
    Started w;
    w.command({{"cmd", "stop"}});
    EXPECT_EQ(w.kinds(), Kinds{"stopped"});
    EXPECT_EQ(w.exitStatus, 0);
}

TEST(Stop, WhileRecordingRestoresFirstAndDropsPendingKeys) {
    Started w;
    w.command({{"cmd", "config"}}).lines();
    keyCount = 3;
    w.command({{"cmd", "stop"}});
    EXPECT_EQ(w.kinds(), (Kinds{"restored", "stopped"}));
    EXPECT_EQ(w.exitStatus, 0);
    EXPECT_FALSE(sim::tapLive());
}

TEST(Stop, SignalsStopLikeTheCommand) {
    {
        Started w;
        sim::raiseSignal(SIGTERM);
        w.run();
        EXPECT_EQ(w.kinds(), Kinds{"stopped"});
        EXPECT_EQ(w.exitStatus, 0);
    }
    Started w;
    w.command({{"cmd", "config"}}).lines();
    sim::raiseSignal(SIGINT);
    w.run();
    EXPECT_EQ(w.kinds(), (Kinds{"restored", "stopped"}));
    EXPECT_EQ(w.exitStatus, 0);
}

TEST(Stop, EndOfInputStopsAndDropsAnUnfinishedLastCommand) {
    Started w;
    w.send(R"({"cmd":"probe"})");
    w.send("");
    EXPECT_EQ(w.kinds(), Kinds{"stopped"});
    EXPECT_EQ(w.exitStatus, 0);
}

TEST(Commands, UnknownMalformedAndMistypedAreIgnored) {
    Started w;
    w.send("\n\r\n[1,2]\nhello\n{\"cmd\":5}\n{}\n{\"cmd\":\"Pause\"}\n{\"cmd\":\"launch\"}\n"
           "\"pause\"\n42\n");
    w.run(10);
    EXPECT_TRUE(w.lines().empty());
    EXPECT_TRUE(paused.load());
}

TEST(Commands, SplitAcrossReadsAndSeveralInOneRead) {
    Started w;
    w.send(R"({"cmd":"con)");
    w.send(R"(fig","start":false)");
    EXPECT_TRUE(w.lines().empty());
    w.send("}\r\n{\"cmd\":\"probe\"}\n{\"cmd\":\"resume\"}\n");
    EXPECT_EQ(w.kinds(), (Kinds{"configured", "probe", "resumed", "app"}));
}

TEST(Commands, ImageCommandsAreAnsweredWithTheirId) {
    Started w;
    w.command({{"cmd", "names"}, {"id", "n1"}, {"text", ""}});
    w.command({{"cmd", "ocr"}, {"id", 5}, {"path", "/nonexistent.png"}});
    auto out = w.lines();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0]["kind"], "names");
    EXPECT_EQ(out[0]["id"], "n1");
    EXPECT_EQ(out[1]["kind"], "ocr");
    EXPECT_EQ(out[1]["id"], "") << "an id that is not a string reads as empty";
    EXPECT_FALSE(out[1].contains("app"));
}
