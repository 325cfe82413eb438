// Decide before disclosing: what happens between a window change and its decision.
#include "desk.h"
#include "platform/sim/desktop.h"
#include "watch/accessibility/observe.h"
#include "watch/frames/capture.h"

#include <algorithm>
#include <utility>

#include <gtest/gtest.h>

namespace {

constexpr int pid = 555;
constexpr int keyC = 8, keyH = 4;

// A browser with a plain page in front, recorded, whose next window the test controls. While
// the browser doesn't answer, its new window stays undecided (reads are retried every 0.25 s).
struct Switch : Desk {
    ax::ElementRef window, web, field, item;
    Switch() : Desk(browser) {
        window = focusedWindow(pid, "Start");
        web = sim::axAdd(window, element(pid, "AXWebArea", {{"AXURL", "https://start.example/"}}));
        addText(web, pid, "start text");
        field = sim::axAdd(web, element(pid, "AXTextField",
                                        {{"AXTitle", "Search"},
                                         {"AXValue", "secret words"},
                                         {"AXPosition", ax::Point{10, 10}},
                                         {"AXSize", ax::Size{100, 20}}}));
        item = element(pid, "AXMenuItem",
                       {{"AXTitle", "Search the web for \u201csecret words\u201d"}});
        record({{"cmd", "config"}, {"skip_hosts", {"bank.example"}}, {"frames_dir", "/tmp"}});
        lines();
        frames.clear();
    }
    // Another window comes to the front while the browser is busy.
    void changeTo(const std::string& title, const std::string& url) {
        sim::axSlowness(pid, 1.0);
        sim::axSet(window, "AXTitle", title);
        sim::axSet(web, "AXURL", url);
        sim::frontWindowChanged();
        run();
    }
    // Everything a person does in the first moments of a window.
    void act() {
        sim::sendInput({.type = input::keyDown, .keyCode = keyH});
        sim::sendInput({.type = input::keyDown, .flags = input::maskCommand, .keyCode = keyC});
        sim::sendInput({.type = input::leftMouseDown, .x = 20, .y = 20});
        sim::sendInput({.type = input::scrollWheel});
        sim::copyToPasteboard({"public.utf8-plain-text"}, "secret words");
        sim::axSet(sim::axApp(pid), "AXFocusedUIElement", field);
        sim::axNotify(field, "AXFocusedUIElementChanged");
        sim::axNotify(field, "AXValueChanged");
        askFrame("value", 0.3);
        run(0.2);
    }
    // A menu item chosen: its label is read while the browser answers, the window not yet.
    void chooseMenuItem() {
        answers();
        sim::axNotify(item, "AXMenuItemSelected");
        run();
    }
    void answers() { sim::axSlowness(pid, 0); }
    std::string all() {
        std::string out;
        for (auto& l : lines())
            out += l.dump() + "\n";
        return out;
    }
};

} // namespace

TEST(Undecided, NothingOfAPrivateWindowLeavesWhileItIsRead) {
    Switch s;
    s.changeTo("Secret - Incognito", "https://start.example/");
    s.act();
    s.chooseMenuItem();
    auto held = s.lines();
    // Only what tells nothing of the window: the menu choice, without what it quotes.
    ASSERT_EQ(kindsOf(held), Kinds{"menu"});
    EXPECT_EQ(held[0]["element"]["label"], "Search the web for \u201c\u2026\u201d");
    s.run(5);
    std::string out = s.all();
    EXPECT_EQ(out.find("secret"), std::string::npos) << out;
    EXPECT_NE(out.find("\"kind\":\"private\",\"t\""), std::string::npos) << out; // the copy
    EXPECT_NE(out.find("\"why\":\"window\""), std::string::npos) << out;
    for (const char* kind : {"keys", "key_shortcut", "click", "scroll", "focus", "value", "text"})
        EXPECT_EQ(out.find(std::string("\"kind\":\"") + kind + "\""), std::string::npos) << kind;
    EXPECT_EQ(s.frameReasons(), Kinds{"value"}); // asked for, never taken (private)
}

TEST(Undecided, WhatWasHeldForAPlainWindowFollowsItsWindowEvent) {
    Switch s;
    s.changeTo("Notes", "https://notes.example/");
    s.act();
    // The toolkit tells the same activation once more: what was held stays held.
    sim::axNotify(s.window, "AXFocusedWindowChanged");
    s.run();
    s.chooseMenuItem();
    EXPECT_EQ(kindsOf(s.lines()), Kinds{"menu"});
    s.run(2.5); // a retry, then the scroll's end and the value's settling
    auto out = s.lines();
    auto kinds = kindsOf(out);
    ASSERT_GE(kinds.size(), 3u);
    EXPECT_EQ(kinds[0], "window");
    EXPECT_EQ(out[0]["window"], "Notes");
    for (const char* kind :
         {"page", "key_shortcut", "keys", "click", "copy", "focus", "value", "scroll", "text"})
        EXPECT_NE(std::find(kinds.begin(), kinds.end(), kind), kinds.end()) << kind;
    for (auto& l : out)
        if (l.contains("window")) {
            EXPECT_EQ(l["window"], "Notes") << l;
        }
}

TEST(Undecided, AWindowThatNeverAnswersIsPrivateUntilItDoes) {
    Switch s;
    s.changeTo("Notes", "https://notes.example/");
    s.act();
    s.run(3.0); // four quick retries, all unanswered
    auto out = s.lines();
    ASSERT_EQ(kindsOf(out), (Kinds{"private", "copy"}));
    EXPECT_EQ(out[0]["why"], "window");
    EXPECT_EQ(out[1], (json{{"kind", "copy"}, {"private", true}, {"t", out[1]["t"]}}));
    s.answers();
    s.run(3.5); // read again a little later, and decided
    auto kinds = kindsOf(s.lines());
    ASSERT_FALSE(kinds.empty());
    EXPECT_EQ(kinds[0], "window");
}

TEST(Undecided, ResultsReadInAnotherWindowAreDropped) {
    // The walk, a focus read or a frame that straddles a change to a private page never reports.
    Switch s;
    sim::axSet(sim::axApp(pid), "AXFocusedUIElement", s.field);
    int reads = 0;
    sim::axDuringRead([&](int, const std::string& name) {
        // The page turns private right after the text (or the focused field) was read.
        if ((name == "AXValue" || name == "AXFocusedUIElement") && ++reads == 1)
            sim::axSet(s.web, "AXURL", "https://www.Bank.example./login");
    });
    sim::axNotify(s.field, "AXFocusedUIElementChanged");
    s.run();
    std::string out = s.all();
    EXPECT_EQ(out.find("secret"), std::string::npos) << out;
    EXPECT_NE(out.find("\"why\":\"site\""), std::string::npos) << out;

    // A frame taken just before a silent change to a private title is not kept.
    sim::axDuringRead(nullptr);
    sim::axSet(s.web, "AXURL", "https://start.example/");
    sim::axNotify(s.window, "AXTitleChanged");
    s.run(1.0);
    s.lines();
    sim::axSet(s.window, "AXTitle", "Private Browsing");
    captureFrame("value");
    s.run();
    out = s.all();
    EXPECT_EQ(out.find("\"kind\":\"frame\""), std::string::npos) << out;
}

TEST(Undecided, AddressesInDoubtArePrivateWhenHostsAreSkipped) {
    // Read leniently for their host, else private while any host is skipped.
    for (const char* url : {"http://bank.example/p?next=%FF", "http://bank.example/p?x=%00",
                            "http://bank.example/%ZZ", "http://BANK.example./p",
                            "http://u:p@bank.example:8080/%ZZ", "http:///%ZZ", "https://[::1"}) {
        Switch s;
        s.answers();
        sim::axSet(s.web, "AXURL", std::string(url));
        sim::axNotify(s.window, "AXTitleChanged");
        s.run();
        auto out = s.lines();
        ASSERT_EQ(kindsOf(out), Kinds{"private"}) << url;
        EXPECT_EQ(out[0]["why"], "site") << url;
    }
    EXPECT_EQ(pageText("http://news.example/p?next=%FF"), "news.example/p");
    EXPECT_EQ(pageText("http://news.example./a%ZZ"), "news.example/a%ZZ");
    EXPECT_FALSE(pageOf("http:///x").has_value());
    EXPECT_EQ(pageText("/home/ann/report.odt"), ""); // no host part: no page, no doubt
}

TEST(Undecided, ADialogBelongsToItsWindowsDecision) {
    Switch s;
    s.answers();
    sim::axSet(s.window, "AXTitle", "Notes - Private Browsing");
    sim::axNotify(s.window, "AXTitleChanged");
    s.run();
    EXPECT_EQ(kindsOf(s.lines()), Kinds{"private"});
    // Its save dialog comes to the front, titled like any other.
    auto dialog = sim::axAdd(sim::axApp(pid), element(pid, "AXWindow", {{"AXTitle", "Save As"}}));
    sim::axSet(sim::axApp(pid), "AXFocusedWindow", dialog);
    sim::axSet(sim::axApp(pid), "AXMainWindow", s.window);
    sim::frontWindowChanged();
    s.act();
    s.run(3);
    std::string out = s.all();
    EXPECT_EQ(out.find("Save As"), std::string::npos) << out;
    EXPECT_EQ(out.find("\"kind\":\"keys\""), std::string::npos) << out;
}

TEST(Undecided, AClickNoticedBeforeItsApplicationCountsInIt) {
    // The click reaches the watcher before the news that another application came to the front:
    // it is described through that application, once its window is decided.
    Desk d;
    focusedWindow(editor.pid, "Draft");
    d.record();
    auto window = focusedWindow(pid, "Start",
                                {{"AXPosition", ax::Point{0, 0}}, {"AXSize", ax::Size{400, 300}}});
    sim::axAdd(window, element(pid, "AXButton",
                               {{"AXTitle", "Keep"},
                                {"AXPosition", ax::Point{10, 10}},
                                {"AXSize", ax::Size{100, 20}}}));
    d.lines();
    bool once = true;
    sim::axDuringRead([&](int, const std::string&) {
        if (std::exchange(once, false)) sim::activate(browser);
    });
    sim::sendInput({.type = input::leftMouseDown, .x = 20, .y = 20});
    d.run(1);
    sim::axDuringRead(nullptr);
    auto clicks = d.of(d.lines(), "click");
    ASSERT_EQ(clicks.size(), 1u);
    EXPECT_EQ(clicks[0]["element"]["label"], "Keep");
}

TEST(Undecided, QuickSwitchesDecideTheLastApplication) {
    // Two applications in front one after the other before the first's window was read.
    Desk d;
    focusedWindow(editor.pid, "Draft");
    focusedWindow(pid, "Start");
    d.record();
    d.lines();
    sim::activate(browser);
    sim::activate(editor);
    d.run(1);
    auto out = d.lines();
    auto windows = d.of(out, "window");
    ASSERT_FALSE(windows.empty());
    EXPECT_EQ(windows.back()["window"], "Draft");
    EXPECT_EQ(windows.back()["app"], "Editor");
}

// The browser's window private, then another window in front that is not: one of the same
// application, or the editor's.
struct Leaving : Switch {
    Leaving() {
        focusedWindow(editor.pid, "Draft");
        answers();
        sim::axSet(window, "AXTitle", "Notes - Private Browsing");
        sim::axNotify(window, "AXTitleChanged");
        run(1);
        EXPECT_EQ(kindsOf(lines()), Kinds{"private"});
    }
    void leave(bool otherApp) {
        if (otherApp) {
            sim::activate(editor);
        } else {
            sim::axSet(window, "AXTitle", "Start");
            sim::axNotify(window, "AXTitleChanged");
        }
    }
};

TEST(Undecided, AFieldOfAPrivateWindowStaysUntoldInTheNextWindow) {
    // Typed into the private window, left within the value's settling time.
    for (bool otherApp : {false, true}) {
        SCOPED_TRACE(otherApp ? "another application" : "another window");
        Leaving s;
        sim::axNotify(s.field, "AXValueChanged");
        s.run(0.5);
        s.leave(otherApp);
        s.run(3);
        std::string out = s.all();
        EXPECT_NE(out.find("\"window\""), std::string::npos) << out;
        EXPECT_EQ(out.find("secret"), std::string::npos) << out;
    }
}

TEST(Undecided, ACopySeenAfterASwitchBelongsToNoWindow) {
    // The pasteboard is looked at twice a second: a copy made in the private window just before
    // it was left is seen with another window in front.
    for (bool otherApp : {false, true}) {
        SCOPED_TRACE(otherApp ? "another application" : "another window");
        Leaving s;
        sim::copyToPasteboard({"public.utf8-plain-text"}, "secret words");
        s.run(0.05);
        s.leave(otherApp);
        s.run(1);
        auto copies = s.of(s.lines(), "copy");
        ASSERT_EQ(copies.size(), 1u);
        EXPECT_EQ(copies[0], (json{{"kind", "copy"}, {"private", true}, {"t", copies[0]["t"]}}));
        // A copy made there a moment later is that window's.
        sim::copyToPasteboard({"public.utf8-plain-text"}, "draft words");
        s.run(1);
        copies = s.of(s.lines(), "copy");
        ASSERT_EQ(copies.size(), 1u);
        EXPECT_EQ(copies[0]["text"], "draft words");
        EXPECT_EQ(copies[0]["window"], otherApp ? "Draft" : "Start");
    }
}
