#include "desk.h"
#include "watch/accessibility/observe.h"
#include "watch/core/state.h"

#include <gtest/gtest.h>

namespace {

// A browser window showing a page: window > group > web area with an address.
struct Page : Desk {
    ax::ElementRef window, web;
    explicit Page(const std::string& title, const std::string& url,
                  const json& config = {{"cmd", "config"}})
        : Desk(browser) {
        window = focusedWindow(555, title);
        auto group = sim::axAdd(window, element(555, "AXGroup"));
        web = sim::axAdd(group, element(555, "AXWebArea", {{"AXURL", url}}));
        record(config);
    }
    // The page or title changes and the browser says so; the read follows 0.3 s later.
    std::vector<json> change(const std::string& title, const std::string& url) {
        sim::axSet(window, "AXTitle", title);
        sim::axSet(web, "AXURL", url);
        sim::axNotify(window, "AXTitleChanged");
        run(0.3);
        return lines();
    }
};

std::vector<json> without(const std::vector<json>& all, const std::string& kind) {
    std::vector<json> out;
    for (auto& l : all)
        if (l.value("kind", "") != kind) out.push_back(l);
    return out;
}

} // namespace

TEST(Window, ReadsWithinTheDebounceBecomeOneWithTheLastReason) {
    Desk d;
    auto window = focusedWindow(321, "Doc");
    auto out = d.record().lines();
    ASSERT_EQ(d.of(out, "window").size(), 1u);
    EXPECT_EQ(d.of(out, "window")[0]["why"], "app");
    EXPECT_EQ(d.of(out, "window")[0]["window"], "Doc");

    // A title change may be a private page: read at once, not after the debounce.
    sim::axSet(window, "AXTitle", std::string(500, 't'));
    sim::axNotify(window, "AXTitleChanged");
    d.run();
    auto windows = d.of(d.lines(), "window");
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(windows[0]["why"], "AXTitleChanged");
    EXPECT_EQ(windows[0]["window"], std::string(300, 't')); // cut

    // Reads that only look again (focus, a value, a click) are debounced.
    sim::axSet(window, "AXTitle", "Doc 2");
    sim::axNotify(window, "AXFocusedUIElementChanged");
    d.run(0.1);
    sim::axNotify(window, "AXFocusedUIElementChanged");
    d.run(0.28);
    EXPECT_TRUE(d.of(d.lines(), "window").empty());
    d.run(0.02);
    windows = d.of(d.lines(), "window");
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(windows[0]["why"], "focus");
    EXPECT_EQ(windows[0]["window"], "Doc 2");
}

TEST(Window, PrivateWindowsSayOnceAndHideEverything) {
    Page p("Start", "https://start.example/");
    p.lines();
    p.frames.clear();
    for (std::string title :
         {"Secret - INCOGNITO", "x Private Browsing", "InPrivate tab", "News (Private)"}) {
        auto out = p.change(title, "https://news.example/a");
        ASSERT_EQ(out.size(), 1u) << title;
        EXPECT_EQ(out[0]["kind"], "private");
        EXPECT_EQ(out[0]["why"], "window");
        EXPECT_TRUE(currentPrivate);
        EXPECT_EQ(currentWindow, "");
        EXPECT_EQ(currentUrl, "");
        // Another tab of the same private window: nothing at all.
        EXPECT_EQ(p.change("Other " + title, "https://other.example/"), std::vector<json>{});
        p.run(10);
        EXPECT_TRUE(p.lines().empty());
        EXPECT_TRUE(p.frameReasons().empty());
        // Back to an ordinary window.
        EXPECT_EQ(kindsOf(without(p.change("Start", "https://start.example/"), "text")),
                  (Kinds{"window", "page"}));
        EXPECT_FALSE(currentPrivate);
        p.frames.clear();
    }
    // "(private)" counts only at the end.
    EXPECT_EQ(kindsOf(without(p.change("(private) notes", "https://start.example/"), "text")),
              Kinds{"window"});
}

TEST(Window, SkipHostsCoverSubdomainsInAnyCaseButNotLookalikes) {
    Page p("Start", "https://start.example/",
           {{"cmd", "config"}, {"skip_hosts", {"Bank.Example"}}});
    p.lines();
    auto out = p.change("Login", "https://www.BANK.example/login?next=1");
    ASSERT_EQ(kindsOf(out), Kinds{"private"});
    EXPECT_EQ(out[0]["why"], "site");
    // Leaving the private site for one whose title is unchanged still says "window".
    out = p.change("Login", "https://notbank.example/login");
    ASSERT_EQ(kindsOf(without(out, "text")), (Kinds{"window", "page"}));
    EXPECT_EQ(out[1]["url"], "notbank.example/login");
    EXPECT_EQ(kindsOf(p.change("Login", "https://bank.example/")), Kinds{"private"});
}

TEST(Window, SkipListIsTakenWholeWhenTheReadStarts) {
    Page p("Start", "https://start.example/");
    p.lines();
    // The host replaces the skip list while a read is under way: that read keeps the old one.
    bool fed = false;
    sim::axDuringRead([&](int, const std::string& name) {
        if (name == "AXURL" && !std::exchange(fed, true))
            sim::feedStdin("{\"cmd\":\"config\",\"skip_hosts\":[\"news.example\"]}\n");
    });
    auto out = p.change("News", "https://news.example/");
    sim::axDuringRead(nullptr);
    // The config's own read, with the new list, decides; the earlier read's result is stale.
    EXPECT_EQ(kindsOf(out), (Kinds{"configured", "app", "private"}));
    p.run(0.3);
    EXPECT_TRUE(p.lines().empty());
}

TEST(Window, PageTextRules) {
    EXPECT_EQ(pageText("file:///Users/ann/Documents/Report%20final.txt"), "file:Report final.txt");
    EXPECT_EQ(pageText("file:///"), "file:");
    EXPECT_EQ(pageText("https://h.example?q=1#frag"), "h.example/");
    EXPECT_EQ(pageText("https://user:pw@Host.example:8443/a/b%20c?x=1#y"), "Host.example/a/b c");
    EXPECT_EQ(pageText("about:blank"), "");
    EXPECT_EQ(pageText("not a url"), "");
    EXPECT_EQ(pageText(""), "");
    EXPECT_TRUE(privateHost("www.bank.example/x", {"bank.example"}));
    EXPECT_FALSE(privateHost("mybank.example/x", {"bank.example"}));
    EXPECT_FALSE(privateHost("", {""}));
}

TEST(Window, WindowBeforePageEachAskingForAFrame) {
    Page p("Start", "https://start.example/");
    auto out = p.lines();
    EXPECT_EQ(kindsOf(without(out, "text")),
              (Kinds{"configured", "resumed", "app", "window", "page"}));
    EXPECT_EQ(out[4]["url"], "start.example/");
    EXPECT_EQ(out[4]["window"], "Start");
    EXPECT_EQ(p.frameReasons(), (Kinds{"window", "page", "no_text"}));
    // A page that changes to "" says nothing of its own.
    EXPECT_EQ(kindsOf(without(p.change("Start 2", "about:blank"), "text")), Kinds{"window"});
}

TEST(Window, SameWindowIsWalkedAtMostOnceInThreeSecondsThenLater) {
    Desk d;
    auto window = focusedWindow(321, "Doc");
    auto text = addText(window, 321, "one");
    d.record();
    ASSERT_EQ(d.of(d.lines(), "text").size(), 1u);
    double start = sim::clock();
    sim::axSet(text, "AXValue", "two");
    d.run(1.0);
    sim::axNotify(window, "AXTitleChanged"); // read at once, at +1.0: throttled
    d.run(0.3);
    EXPECT_TRUE(d.lines().empty());
    d.run(2.98);
    EXPECT_TRUE(d.lines().empty());
    d.run(0.02); // "later": 3.3 s after the throttled read
    auto out = d.lines();
    ASSERT_EQ(kindsOf(out), Kinds{"text"});
    EXPECT_EQ(out[0]["text"], "two\n");
    EXPECT_NEAR(sim::clock() - start, 4.3, 0.011);
}

TEST(Window, WebAreaIsSearchedTwelveLevelsAndFourHundredElements) {
    Desk d(browser);
    auto window = focusedWindow(555, "Deep", {{"AXDocument", "file:///tmp/fallback.html"}});
    auto at = window;
    for (int depth = 1; depth < 13; ++depth)
        at = sim::axAdd(at, element(555, "AXGroup"));
    auto web = sim::axAdd(at, element(555, "AXWebArea", {{"AXURL", "https://deep.example/"}}));
    d.record();
    EXPECT_EQ(currentUrl, "file:fallback.html"); // at depth 13

    // Moved up to depth 12, but after 400 other elements.
    sim::axSet(at, "AXChildren", std::nullopt);
    auto crowd = sim::axAdd(window, element(555, "AXGroup"));
    for (int i = 0; i < 386; ++i) // with the window and the 12 groups above: 400
        sim::axAdd(crowd, element(555, "AXGroup"));
    sim::axAdd(window, web);
    sim::axNotify(window, "AXTitleChanged");
    d.run(0.3);
    EXPECT_EQ(currentUrl, "file:fallback.html");
    // One fewer in the crowd and it is found.
    sim::axSet(crowd, "AXChildren", std::nullopt);
    for (int i = 0; i < 385; ++i)
        sim::axAdd(crowd, element(555, "AXGroup"));
    sim::axNotify(window, "AXTitleChanged");
    d.run(0.3);
    EXPECT_EQ(currentUrl, "deep.example/");
}

TEST(Window, ReadOfAnAppThatLeftTheFrontIsDropped) {
    Desk d;
    focusedWindow(321, "Editor doc");
    addText(focusedWindow(400, "Inbox"), 400, "mail");
    sim::axDuringRead([](int pid, const std::string& name) {
        if (pid == 321 && name == "AXTitle")
            sim::activate(workspace::App{400, "Mail", "com.example.mail"});
    });
    auto out = d.record().lines();
    ASSERT_EQ(kindsOf(out), (Kinds{"configured", "resumed", "app", "app", "window", "text"}));
    EXPECT_EQ(out[4]["window"], "Inbox");
    EXPECT_EQ(out[5]["app"], "Mail");
}
