// act on the simulated desktop: the argument grammar, every answer, and the exact events.
#include "act/act.h"
#include "act/guard.h"
#include "common/jsonline.h"
#include "platform/sim/act_desktop.h"
#include "platform/sim/desktop.h"
#include "platform/sim/sim.h"

#include <gtest/gtest.h>

namespace {

using Log = std::vector<std::string>;

constexpr int target = 700;
constexpr int other = 800;
constexpr int host = 4241; // the simulated parent process

struct Outcome {
    int status = -1;
    std::string out;
    json reply;
    Log posted;
    std::string error() const { return reply.value("error", ""); }
};

Outcome act(std::vector<std::string> words) {
    words.insert(words.begin(), "act");
    sim::reset();
    sim::resetPosting();
    std::vector<char*> argv;
    for (auto& w : words)
        argv.push_back(w.data());
    Outcome r;
    try {
        runAct(static_cast<int>(argv.size()), argv.data());
    } catch (const sim::Exit& e) {
        r.status = e.status;
    }
    r.out = sim::output();
    r.reply = json::parse(r.out, nullptr, false);
    r.posted = sim::postedLog();
    return r;
}

Outcome act(std::vector<std::string> words, int pid) {
    words.push_back("--pid");
    words.push_back(std::to_string(pid));
    return act(std::move(words));
}

windows::Info window(int pid, double x, double y, double w, double h, int layer = 0,
                     double alpha = 1) {
    windows::Info info;
    info.pid = pid;
    info.layer = layer;
    info.alpha = alpha;
    info.bounds = windows::Rect{x, y, w, h};
    return info;
}

class Act : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::clearApps();
        sim::setInputTrusted(true);
        sim::failPostAt(0);
        sim::delayDeliveryAt(0);
        sim::onPosted(nullptr);
        sim::addRunningApp({other, "Calendar", "org.example.Calendar"});
        sim::addRunningApp({host, "Zephrin", "org.example.Zephrin"});
        sim::setFrontApp(workspace::App{target, "Notes", "org.example.Notes"});
        sim::setWindows(std::vector<windows::Info>{window(target, 100, 100, 400, 300)});
    }
};

std::string refusal(const std::string& prefix, const std::string& description) {
    return prefix + " " + description + ", so nothing was sent. Take a screenshot and try again.";
}

const std::string panelSentence =
    "A system Open or Save panel is in front. macOS keeps these panels apart from the app, so "
    "Zephrin doesn't click or type in them; ask the person to choose the file there, then "
    "continue.";
const std::string noWindowSentence =
    "The app in front has no open window, so nothing was sent. Open a window in it (for example "
    "File \u203a New), take a screenshot and try again.";
const std::string changed = "The app in front changed, so nothing was sent.";

// ---- The command line ----

TEST_F(Act, EveryAnswerIsOneCompactLineAndStatusZeroOrTwo) {
    for (auto words : std::vector<std::vector<std::string>>{
             {}, {"trusted"}, {"bogus"}, {"click", "1", "2"}, {"type", "hi", "--pid", "700"}}) {
        Outcome r = act(words);
        ASSERT_FALSE(r.out.empty());
        EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << r.out;
        EXPECT_TRUE(r.reply.is_object()) << r.out;
        EXPECT_EQ(r.status, r.reply["ok"] == true ? 0 : 2) << r.out;
    }
    EXPECT_EQ(act({}).out, "{\"error\":\"No action.\",\"ok\":false}\n");
}

TEST_F(Act, ActionNamesAreExactAndCaseSensitive) {
    EXPECT_EQ(act({"Click", "1", "2"}).error(), "Unknown action.");
    EXPECT_EQ(act({"double-click", "1", "2"}).error(), "Unknown action.");
    EXPECT_EQ(act({"\xff\xfe"}).error(), "Unknown action.");
    EXPECT_EQ(act({""}).error(), "Unknown action.");
    // Words an action does not use are ignored.
    Outcome r = act({"trusted", "extra", "words"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.reply["trusted"], true);
}

TEST_F(Act, ThePidPairCountsOnlyAsTheLastTwoOfFourWords) {
    Outcome stripped = act({"trusted", "--pid", "42"});
    EXPECT_EQ(stripped.status, 0);
    EXPECT_EQ(stripped.reply["trusted"], true);
    // Three words: "--pid" is the action.
    EXPECT_EQ(act({"--pid", "42"}).error(), "Unknown action.");
    // Not last: an ordinary word, so no target.
    EXPECT_EQ(act({"move", "150", "150", "--pid", "700", "x"}).error(),
              "Which app the input is for is missing.");
    for (const char* bad :
         {"0", "-5", "2147483648", "12x", "", " ", "99999999999999999999", "0x10", "4.0"})
        EXPECT_EQ(act({"click", "10", "20", "--pid", bad}).error(), "Invalid pid.") << bad;
    // A bad pid is found before anything else, even a missing action word's absence.
    EXPECT_EQ(act({"nonsense", "--pid", "0"}).error(), "Invalid pid.");
    for (const char* good : {"+700", " 700", "700", "0700"}) {
        Outcome r = act({"move", "150", "150", "--pid", good});
        EXPECT_EQ(r.status, 0) << good << r.out;
    }
    EXPECT_EQ(act({"move", "150", "150", "--pid", "2147483647"}).error(), changed);
}

TEST_F(Act, CoordinatesParseCompletelyAndStayInRange) {
    sim::setWindows(std::vector<windows::Info>{window(target, 0, 0, 200000, 200000)});
    for (const char* good : {"0", "100000", "1e3", "-0", "0x10", " 5", "5.", ".5", "1E+2"}) {
        Outcome r = act({"move", good, "10"}, target);
        EXPECT_EQ(r.status, 0) << good << r.out;
    }
    for (const char* bad : {"100000.5", "-1", "1e6", "nan", "inf", "-inf", "12px", "", "5 ", "0x",
                            "1e400", "--1", "1,5"}) {
        EXPECT_EQ(act({"move", bad, "10"}, target).error(), "Invalid coordinate.") << bad;
        EXPECT_EQ(act({"window-at", "10", bad}).error(), "Invalid coordinate.") << bad;
    }
    EXPECT_EQ(act({"move", "10"}, target).error(), "Invalid coordinate.");
    Outcome hex = act({"move", "0x10", "1e3"}, target);
    EXPECT_EQ(hex.posted[0], "move 16,1000 left type 5 state 1");
    // Each of the drag's four in order, before the guard looks at anything.
    EXPECT_EQ(act({"drag", "1", "2", "3"}).error(), "Invalid coordinate.");
    EXPECT_EQ(act({"drag", "1", "2", "3", "x"}).error(), "Invalid coordinate.");
}

TEST_F(Act, ScrollArguments) {
    EXPECT_EQ(act({"scroll", "x", "20"}, target).error(), "Invalid coordinate.");
    EXPECT_EQ(act({"scroll", "10", "20", "up"}, target).error(), "Invalid scroll.");
    EXPECT_EQ(act({"scroll", "150", "150", "up", "0"}, target).error(), "Invalid scroll amount.");
    EXPECT_EQ(act({"scroll", "150", "150", "up", "51"}, target).error(), "Invalid scroll amount.");
    EXPECT_EQ(act({"scroll", "150", "150", "up", "lots"}, target).error(),
              "Invalid scroll amount.");
    // atoi would wrap these into range; they are far too large.
    EXPECT_EQ(act({"scroll", "150", "150", "up", "4294967297"}, target).error(),
              "Invalid scroll amount.");
    EXPECT_EQ(act({"scroll", "150", "150", "up", "99999999999999999999999"}, target).error(),
              "Invalid scroll amount.");
    // The amount is checked before the direction.
    EXPECT_EQ(act({"scroll", "150", "150", "Up", "0"}, target).error(), "Invalid scroll amount.");
    EXPECT_EQ(act({"scroll", "150", "150", "Up", "3"}, target).error(),
              "Invalid scroll direction.");
    EXPECT_EQ(act({"scroll", "150", "150", "up", " +7lines"}, target).posted.at(2), "wheel 7,0");
    EXPECT_EQ(act({"scroll", "150", "150", "left", "3"}, target).posted.at(2), "wheel 0,3");
    EXPECT_EQ(act({"scroll", "150", "150", "right", "1"}, target).posted.at(2), "wheel 0,-1");
    EXPECT_EQ(act({"scroll", "150", "150", "down", "50"}, target).posted,
              (Log{"move 150,150 left type 5 state 1", "pause 30", "wheel -50,0", "finish"}));
}

TEST_F(Act, TypeAndKeyArguments) {
    EXPECT_EQ(act({"type"}, target).error(), "Nothing to type.");
    EXPECT_EQ(act({"type", ""}, target).error(), "Nothing to type.");
    for (const char* bad : {"\xff", "ab\xc3", "\xed\xa0\x80", "\xc0\xaf", "\xf4\x90\x80\x80"})
        EXPECT_EQ(act({"type", bad}, target).error(), "Text must be UTF-8.");
    // Control characters that are no key are refused before anything is typed.
    const std::string controls = "Text may hold no control characters but tab, line feed, "
                                 "carriage return, backspace, delete and escape.";
    for (const char* bad : {"a\x01", "\x1f", "b\u0085", "\u009f"}) {
        Outcome r = act({"type", bad}, target);
        EXPECT_EQ(r.error(), controls);
        EXPECT_TRUE(r.posted.empty());
    }
    EXPECT_EQ(act({"type", "\t\n\r\b\x7f\x1b \u00a0\u2028"}, target).status, 0);
    EXPECT_EQ(act({"key"}, target).error(), "No keys.");
    EXPECT_EQ(act({"key", ""}, target).error(), "Unknown key.");
    EXPECT_EQ(act({"key", "cmd++"}, target).error(), "Unknown key.");
    EXPECT_EQ(act({"key", "cmd+hyper"}, target).error(), "Unknown key.");
    EXPECT_EQ(act({"key", "CMD+HYPER+T"}, target).error(), "Unknown modifier hyper.");
    EXPECT_EQ(act({"key", "+t"}, target).error(), "Unknown modifier .");
    // An unknown key is answered before the guard, an unknown modifier after it.
    EXPECT_EQ(act({"key", "nokey"}).error(), "Unknown key.");
    EXPECT_EQ(act({"key", "hyper+t"}).error(), "Which app the input is for is missing.");
}

// ---- The actions without input ----

TEST_F(Act, TrustedFrontmostAndWindowAt) {
    sim::setInputTrusted(false);
    EXPECT_EQ(act({"trusted"}).out, "{\"ok\":true,\"trusted\":false}\n");

    Outcome front = act({"frontmost"});
    EXPECT_EQ(front.reply, json({{"ok", true},
                                 {"name", "Notes"},
                                 {"bundle_id", "org.example.Notes"},
                                 {"pid", target}}));
    sim::setFrontApp(std::nullopt);
    EXPECT_EQ(act({"frontmost"}).reply,
              json({{"ok", true}, {"name", nullptr}, {"bundle_id", nullptr}}));

    sim::setWindows(std::vector<windows::Info>{window(other, 0, 0, 50, 50, 20),
                                               window(target, 0, 0, 500, 500),
                                               window(999, 600, 600, 10, 10)});
    EXPECT_EQ(act({"window-at", "10", "10"}).reply, json({{"ok", true},
                                                          {"pid", other},
                                                          {"name", "Calendar"},
                                                          {"bundle_id", "org.example.Calendar"}}));
    EXPECT_EQ(act({"window-at", "50", "10"}).reply["pid"], target);
    // A process with no running application: names are empty.
    EXPECT_EQ(act({"window-at", "605", "605"}).reply,
              json({{"ok", true}, {"pid", 999}, {"name", ""}, {"bundle_id", ""}}));
    EXPECT_EQ(act({"window-at", "700", "700"}).reply,
              json({{"ok", true}, {"pid", -1}, {"name", ""}, {"bundle_id", ""}}));
    sim::setWindows(std::nullopt);
    EXPECT_EQ(act({"window-at", "10", "10"}).reply["pid"], -1);
}

// ---- The guard and the refusals ----

TEST_F(Act, NoTargetOrAnotherAppInFrontSendsNothing) {
    for (auto words : std::vector<std::vector<std::string>>{{"move", "150", "150"},
                                                            {"click", "150", "150"},
                                                            {"drag", "150", "150", "160", "160"},
                                                            {"scroll", "150", "150", "up", "1"},
                                                            {"type", "a"},
                                                            {"key", "a"}}) {
        Outcome none = act(words);
        EXPECT_EQ(none.error(), "Which app the input is for is missing.");
        EXPECT_TRUE(none.posted.empty());
        Outcome wrong = act(words, other);
        EXPECT_EQ(wrong.error(), changed);
        EXPECT_TRUE(wrong.posted.empty());
    }
    sim::setFrontApp(std::nullopt);
    EXPECT_EQ(act({"click", "150", "150"}, target).error(), changed);
}

TEST_F(Act, TheFrontWindowMustBeTheTargets) {
    // A floating window of another app in front of the target's window.
    sim::setWindows(std::vector<windows::Info>{window(other, 0, 0, 50, 50),
                                               window(target, 100, 100, 400, 300)});
    Outcome r = act({"type", "x"}, target);
    EXPECT_EQ(r.error(), refusal("The window in front is", "a window of Calendar"));
    EXPECT_TRUE(r.posted.empty());

    // Windows that are not ordinary do not count: menus, slivers, transparent or unreadable
    // ones.
    windows::Info unreadable = window(other, 0, 0, 50, 50);
    unreadable.bounds.reset();
    sim::setWindows(std::vector<windows::Info>{
        window(other, 0, 0, 50, 50, 101), window(other, 0, 0, 1, 500), window(other, 0, 0, 500, 1),
        window(other, 0, 0, 50, 50, 0, 0), unreadable, window(target, 100, 100, 400, 300)});
    EXPECT_EQ(act({"type", "x"}, target).status, 0);

    sim::setWindows(
        std::vector<windows::Info>{window(host, 0, 0, 50, 50), window(target, 100, 100, 400, 300)});
    EXPECT_EQ(act({"type", "x"}, target).error(),
              refusal("The window in front is", "Zephrin's own window"));

    // An owner nobody knows, or whose name cleans to nothing.
    sim::setWindows(
        std::vector<windows::Info>{window(-1, 0, 0, 50, 50), window(target, 100, 100, 400, 300)});
    EXPECT_EQ(act({"type", "x"}, target).error(),
              refusal("The window in front is", "another app's window"));
    sim::addRunningApp({801, "\n\t \u200b", ""});
    sim::setWindows(
        std::vector<windows::Info>{window(801, 0, 0, 50, 50), window(target, 100, 100, 400, 300)});
    EXPECT_EQ(act({"type", "x"}, target).error(),
              refusal("The window in front is", "another app's window"));
}

TEST_F(Act, TheTargetWithoutAnOrdinaryWindow) {
    for (auto list : std::vector<std::vector<windows::Info>>{
             {},
             {window(target, 0, 0, 1, 300)},
             {window(target, 0, 0, 300, 300, 0, 0)},
             {window(other, 0, 0, 300, 300), window(target, 0, 0, 300, 300, 3)}}) {
        sim::setWindows(list);
        Outcome r = act({"click", "150", "150"}, target);
        EXPECT_EQ(r.error(), noWindowSentence);
        EXPECT_TRUE(r.posted.empty());
    }
    sim::setWindows(std::nullopt);
    EXPECT_EQ(act({"key", "a"}, target).error(), noWindowSentence);
}

TEST_F(Act, TheOpenAndSavePanelHasItsOwnSentence) {
    sim::addRunningApp({900, "Open and Save Panel Service (Notes)", "com.example.x"});
    sim::addRunningApp({901, "Files", "com.apple.appkit.xpc.openAndSavePanelService.v2"});
    for (int panel : {900, 901}) {
        sim::setWindows(std::vector<windows::Info>{window(panel, 100, 100, 100, 100),
                                                   window(target, 100, 100, 400, 300)});
        EXPECT_EQ(act({"type", "x"}, target).error(), panelSentence);
        // Whichever prefix applies, and even when the target has no window of its own.
        sim::setWindows(std::vector<windows::Info>{window(panel, 100, 100, 100, 100)});
        EXPECT_EQ(act({"type", "x"}, target).error(), panelSentence);
        sim::setWindows(std::vector<windows::Info>{window(panel, 100, 100, 100, 100, 8),
                                                   window(target, 100, 100, 400, 300)});
        EXPECT_EQ(act({"click", "150", "150"}, target).error(), panelSentence);
    }
    // The name test is case-sensitive.
    sim::addRunningApp({902, "open and save panel", ""});
    sim::setWindows(std::vector<windows::Info>{window(902, 100, 100, 100, 100),
                                               window(target, 100, 100, 400, 300)});
    EXPECT_EQ(act({"type", "x"}, target).error(),
              refusal("The window in front is", "a window of open and save panel"));
}

TEST_F(Act, ThePointMustBeOnTheTargetsWindow) {
    // The Dock counts for the point check at any layer, though not for the guard.
    sim::addRunningApp({950, "Dock", "com.example.dock"});
    sim::setWindows(std::vector<windows::Info>{window(950, 0, 700, 1280, 100, 20),
                                               window(target, 100, 100, 400, 300)});
    Outcome dock = act({"click", "300", "750"}, target);
    EXPECT_EQ(dock.error(), refusal("That spot is on", "a window of Dock"));
    EXPECT_TRUE(dock.posted.empty());
    EXPECT_EQ(act({"click", "300", "399.99"}, target).status, 0);
    // The upper edges do not belong to the window; the lower ones do.
    EXPECT_EQ(act({"move", "500", "150"}, target).error(),
              refusal("That spot is on", "another app's window"));
    EXPECT_EQ(act({"move", "100", "100"}, target).status, 0);
    // Transparent windows are seen through.
    sim::setWindows(std::vector<windows::Info>{window(other, 0, 0, 1000, 1000, 0, 0),
                                               window(target, 100, 100, 400, 300)});
    EXPECT_EQ(act({"move", "150", "150"}, target).status, 0);
    sim::setWindows(std::vector<windows::Info>{window(host, 140, 140, 20, 20, 101),
                                               window(target, 100, 100, 400, 300)});
    EXPECT_EQ(act({"double_click", "150", "150"}, target).error(),
              refusal("That spot is on", "Zephrin's own window"));
    // A drag checks its start, then its end.
    sim::setWindows(std::vector<windows::Info>{window(other, 0, 0, 50, 50, 101),
                                               window(950, 600, 600, 50, 50, 101),
                                               window(target, 100, 100, 400, 300)});
    EXPECT_EQ(act({"drag", "10", "10", "610", "610"}, target).error(),
              refusal("That spot is on", "a window of Calendar"));
    EXPECT_EQ(act({"drag", "150", "150", "610", "610"}, target).error(),
              refusal("That spot is on", "a window of Dock"));
    // Where a window takes no input it is seen through.
    windows::Info shaped = window(other, 100, 100, 200, 200, 101);
    shaped.input = std::vector<windows::Rect>{{130, 130, 140, 140}};
    sim::setWindows(std::vector<windows::Info>{shaped, window(target, 100, 100, 400, 300)});
    EXPECT_EQ(act({"click", "129", "150"}, target).status, 0);
    EXPECT_EQ(act({"click", "130", "150"}, target).error(),
              refusal("That spot is on", "a window of Calendar"));
    EXPECT_EQ(act({"window-at", "110", "110"}).reply["pid"], target);
    shaped.input = std::vector<windows::Rect>{};
    sim::setWindows(std::vector<windows::Info>{shaped});
    EXPECT_EQ(act({"window-at", "150", "150"}).reply["pid"], -1);
}

// ---- The event sequences ----

TEST_F(Act, ClickSequences) {
    EXPECT_EQ(act({"move", "150.5", "160"}, target).posted,
              (Log{"move 150.5,160 left type 5 state 1", "finish"}));
    EXPECT_EQ(
        act({"click", "150", "160"}, target).posted,
        (Log{"move 150,160 left type 5 state 1", "pause 30", "down 150,160 left type 1 state 1",
             "up 150,160 left type 2 state 1", "pause 30", "finish"}));
    EXPECT_EQ(
        act({"double_click", "150", "160"}, target).posted,
        (Log{"move 150,160 left type 5 state 1", "pause 30", "down 150,160 left type 1 state 1",
             "up 150,160 left type 2 state 1", "pause 30", "down 150,160 left type 1 state 2",
             "up 150,160 left type 2 state 2", "pause 30", "finish"}));
    EXPECT_EQ(
        act({"right_click", "150", "160"}, target).posted,
        (Log{"move 150,160 left type 5 state 1", "pause 30", "down 150,160 right type 3 state 1",
             "up 150,160 right type 4 state 1", "pause 30", "finish"}));
    EXPECT_EQ(act({"click", "150", "160"}, target).reply, json({{"ok", true}}));
}

TEST_F(Act, DragIsTwelveStepsToTheEnd) {
    Outcome r = act({"drag", "100", "100", "220", "100"}, target);
    EXPECT_EQ(r.status, 0);
    Log want{"move 100,100 left type 5 state 1", "pause 30", "down 100,100 left type 1 state 1",
             "pause 30"};
    for (int x = 110; x <= 220; x += 10) {
        want.push_back("drag " + std::to_string(x) + ",100 left type 6 state 1");
        want.push_back("pause 12");
    }
    want.push_back("up 220,100 left type 2 state 1");
    want.push_back("finish");
    sim::setWindows(std::vector<windows::Info>{window(target, 0, 0, 400, 300)});
    EXPECT_EQ(act({"drag", "100", "100", "220", "100"}, target).posted, want);
    Log diagonal = act({"drag", "0", "0", "1", "3"}, target).posted;
    EXPECT_EQ(diagonal[4], "drag 0.0833333,0.25 left type 6 state 1");
    EXPECT_EQ(diagonal[26], "drag 1,3 left type 6 state 1");
}

TEST_F(Act, KeysCarryTheirCodeAndModifierFlags) {
    EXPECT_EQ(act({"key", "cmd+c"}, target).posted,
              (Log{"key 8 down flags 0x100000", "key 8 up flags 0x100000", "finish"}));
    EXPECT_EQ(act({"key", "c"}, target).posted,
              (Log{"key 8 down flags 0x0", "key 8 up flags 0x0", "finish"}));
    EXPECT_EQ(act({"key", "cmd+shift+t"}, target).posted[0], "key 17 down flags 0x120000");
    EXPECT_EQ(act({"key", "CMD+Shift+T"}, target).posted[1], "key 17 up flags 0x120000");
    EXPECT_EQ(act({"key", "shift+f5"}, target).posted[0], "key 96 down flags 0x20000");
    EXPECT_EQ(act({"key", "SHIFT+F5"}, target).posted[0], "key 96 down flags 0x20000");
    EXPECT_EQ(act({"key", "ctrl+control+alt+opt+option+command+fn+enter"}, target).posted[0],
              "key 36 down flags 0x9c0000");
    EXPECT_EQ(act({"key", "forwarddelete"}, target).posted[0], "key 117 down flags 0x0");
}

TEST_F(Act, KeyNames) {
    for (const auto& [name, code] : std::vector<std::pair<std::string, int>>{{"a", 0},
                                                                             {"b", 11},
                                                                             {"0", 29},
                                                                             {"enter", 36},
                                                                             {"return", 36},
                                                                             {"backspace", 51},
                                                                             {"delete", 51},
                                                                             {"forwarddelete", 117},
                                                                             {"escape", 53},
                                                                             {"f1", 122},
                                                                             {"f12", 111},
                                                                             {"grave", 50},
                                                                             {"pagedown", 121},
                                                                             {"up", 126}})
        EXPECT_EQ(act({"key", name}, target).posted.at(0),
                  "key " + std::to_string(code) + " down flags 0x0")
            << name;
    for (const char* missing : {"f13", "keypadenter", "capslock", "shift", "cmd", "\xc3\xa9"})
        EXPECT_EQ(act({"key", missing}, target).error(), "Unknown key.") << missing;
}

TEST_F(Act, TypingGoesByComposedCharacterSequences) {
    Outcome r = act({"type", "ab"}, target);
    EXPECT_EQ(r.posted, (Log{"text \"a\" down code 0 flags 0x0", "text \"a\" up code 0 flags 0x0",
                             "pause 8", "text \"b\" down code 0 flags 0x0",
                             "text \"b\" up code 0 flags 0x0", "pause 8", "finish"}));
    // e with a combining acute accent, an emoji with its surrogate pair, a flag of two
    // regional indicators, CR LF: one pair each.
    Log typed = act({"type", "e\u0301\U0001F600\U0001F1EB\U0001F1F7\r\n"}, target).posted;
    EXPECT_EQ(typed,
              (Log{"text \"e\u0301\" down code 0 flags 0x0", "text \"e\u0301\" up code 0 flags 0x0",
                   "pause 8", "text \"\U0001F600\" down code 0 flags 0x0",
                   "text \"\U0001F600\" up code 0 flags 0x0", "pause 8",
                   "text \"\U0001F1EB\U0001F1F7\" down code 0 flags 0x0",
                   "text \"\U0001F1EB\U0001F1F7\" up code 0 flags 0x0", "pause 8",
                   "text \"\r\n\" down code 0 flags 0x0", "text \"\r\n\" up code 0 flags 0x0",
                   "pause 8", "finish"}));
}

TEST_F(Act, LongSequencesGoOutInPiecesOfSixteenUnits) {
    // An a with 19 combining marks: 20 units in one sequence.
    std::string marks;
    for (int i = 0; i < 19; ++i)
        marks += "\u0301";
    Log posted = act({"type", "a" + marks}, target).posted;
    std::string first = "a", second;
    for (int i = 0; i < 15; ++i)
        first += "\u0301";
    for (int i = 0; i < 4; ++i)
        second += "\u0301";
    EXPECT_EQ(posted, (Log{"text \"" + first + "\" down code 0 flags 0x0",
                           "text \"" + first + "\" up code 0 flags 0x0", "pause 8",
                           "text \"" + second + "\" down code 0 flags 0x0",
                           "text \"" + second + "\" up code 0 flags 0x0", "pause 8", "finish"}));
    // A piece never ends inside a surrogate pair: 15 units of a, then an emoji modifier.
    std::string astral = "a";
    for (int i = 0; i < 7; ++i)
        astral += "\u0301\u0301";
    astral += "\U0001F3FB";
    Log split = act({"type", astral}, target).posted;
    ASSERT_EQ(split.size(), 7u);
    EXPECT_EQ(split[3], "text \"\U0001F3FB\" down code 0 flags 0x0");
}

TEST_F(Act, TheGuardRunsBetweenStepsAndWhatWasSentStaysSent) {
    // The front app changes after the second character: two characters stay typed.
    sim::onPosted([](int count) {
        if (count == 4) sim::setFrontApp(workspace::App{other, "Calendar", ""});
    });
    Outcome typed = act({"type", "abcdef"}, target);
    EXPECT_EQ(typed.error(), changed);
    EXPECT_EQ(typed.posted,
              (Log{"text \"a\" down code 0 flags 0x0", "text \"a\" up code 0 flags 0x0", "pause 8",
                   "text \"b\" down code 0 flags 0x0", "text \"b\" up code 0 flags 0x0", "pause 8",
                   "finish"}));

    // Between the clicks of a double click.
    sim::setFrontApp(workspace::App{target, "Notes", ""});
    sim::onPosted([](int count) {
        if (count == 3) sim::setFrontApp(std::nullopt);
    });
    Outcome clicked = act({"double_click", "150", "150"}, target);
    EXPECT_EQ(clicked.error(), changed);
    EXPECT_EQ(clicked.posted.size(), 6u); // move, pause, down, up, pause, finish

    // A window moves under the point between the clicks.
    sim::setFrontApp(workspace::App{target, "Notes", ""});
    sim::onPosted([](int count) {
        if (count == 3)
            sim::setWindows(std::vector<windows::Info>{window(other, 140, 140, 20, 20, 101),
                                                       window(target, 100, 100, 400, 300)});
    });
    EXPECT_EQ(act({"double_click", "150", "150"}, target).error(),
              refusal("That spot is on", "a window of Calendar"));
}

TEST_F(Act, ARefusedEventEndsTheActionAndKeepsWhatWentBefore) {
    auto failing = [](std::vector<std::string> words, int nth) {
        sim::failPostAt(nth);
        Outcome r = act(std::move(words), target);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "{\"error\":\"macOS refused the input event.\",\"ok\":false}\n");
        return r.posted;
    };
    EXPECT_EQ(failing({"drag", "150", "150", "200", "200"}, 3),
              (Log{"move 150,150 left type 5 state 1", "pause 30",
                   "down 150,150 left type 1 state 1", "pause 30", "finish"}));
    EXPECT_EQ(failing({"key", "a"}, 1), Log{});
    EXPECT_EQ(failing({"type", "ab"}, 3).size(), 4u);
}

TEST_F(Act, InputHeldBackBeyondTheBoundIsAnsweredAsLate) {
    const std::string late = "The input was sent but had not arrived after 2 seconds, so it may "
                             "still arrive late; take a screenshot before trying again.";
    sim::delayDeliveryAt(3);
    Outcome r = act({"double_click", "150", "150"}, target);
    EXPECT_EQ(r.error(), late);
    EXPECT_EQ(r.posted, (Log{"move 150,150 left type 5 state 1", "pause 30",
                             "down 150,150 left type 1 state 1", "up 150,150 left type 2 state 1",
                             "finish"}));
    sim::delayDeliveryAt(2);
    EXPECT_EQ(act({"key", "cmd+a"}, target).error(), late);
    sim::delayDeliveryAt(0);
}

TEST_F(Act, TextTheAppHasNotReadIsNoSuccess) {
    sim::ignoreKeys(true);
    Outcome r = act({"type", "ab"}, target);
    sim::ignoreKeys(false);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.error(), "The app did not take the typed text within 2 seconds (it may be busy or "
                         "hung), so some characters may be missing; take a screenshot before "
                         "trying again.");
    // Everything went out; only the answer changes.
    EXPECT_EQ(r.posted.size(), 7u);
    EXPECT_EQ(r.posted.back(), "finish");
}

// ---- Application names in sentences ----

TEST(PlainName, CleansControlsSeparatorsAndLength) {
    EXPECT_EQ(plainName("My App\n   "), "My App");
    EXPECT_EQ(plainName("\t My\u200bApp\u2028\u00a0"), "MyApp");
    EXPECT_EQ(plainName("A\rB\u0085C\u2029D\u0007E\uFEFF"), "ABCDE");
    EXPECT_EQ(plainName("\x01\x02 \n "), "");
    EXPECT_EQ(plainName(""), "");
    // Unassigned code points go; private-use ones and inner spaces stay.
    EXPECT_EQ(plainName("a\U000E0080b\uE000 c"), "ab\uE000 c");
    EXPECT_EQ(plainName("bad\xff"), "bad\uFFFD");

    std::string hundred(100, 'x');
    EXPECT_EQ(plainName(hundred), std::string(79, 'x') + "\u2026");
    EXPECT_EQ(plainName(std::string(80, 'x')), std::string(80, 'x'));
    EXPECT_EQ(plainName(std::string(81, 'x')), std::string(79, 'x') + "\u2026");
    // Whole sequences only: an emoji straddling unit 79 is dropped with its pair.
    std::string astral = std::string(78, 'x') + "\U0001F600" + "yyy";
    EXPECT_EQ(plainName(astral), std::string(78, 'x') + "\u2026");
    std::string accents = std::string(77, 'x') + "e\u0301\u0301" + "yyy";
    EXPECT_EQ(plainName(accents), std::string(77, 'x') + "\u2026");
    // Length counts after the cleaning.
    EXPECT_EQ(plainName("  " + std::string(80, 'x') + "\n\n"), std::string(80, 'x'));
}

} // namespace
