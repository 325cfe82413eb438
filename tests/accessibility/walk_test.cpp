#include "desk.h"
#include "watch/accessibility/walk.h"
#include "watch/frames/keep.h"

#include <gtest/gtest.h>

namespace {

// An editor whose window the test fills before recording starts.
struct Walked : Desk {
    ax::ElementRef window = focusedWindow(321, "Doc");
    json walk() {
        record();
        auto texts = of(lines(), "text");
        return texts.size() == 1 ? texts[0] : json();
    }
    // Reads the window again (past the throttle) and returns what the walk sent.
    std::vector<json> again() {
        run(3.0);
        lines();
        sim::axNotify(window, "AXTitleChanged");
        run(0.3);
        return of(lines(), "text");
    }
};

std::size_t lineCount(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

} // namespace

TEST(Walk, HashIsFnvStyleWithItsOwnStart) {
    EXPECT_EQ(textHash(""), "14650fb0739d0383");
    EXPECT_EQ(textHash("hello\n"), "b7cbe5cf7d4d4791");
}

TEST(Walk, AWindowWithoutTextAsksForAFrame) {
    Walked w;
    w.frames.clear();
    auto text = w.walk();
    EXPECT_EQ(text["hash"], "14650fb0739d0383");
    EXPECT_EQ(text["text"], "");
    EXPECT_EQ(text["readable"], 0);
    EXPECT_EQ(text["partial"], false);
    EXPECT_EQ(text["outline"], (json{{"headings", json::array()},
                                     {"buttons", json::array()},
                                     {"fields", json::array()},
                                     {"columns", json::array()}}));
    EXPECT_EQ(w.frameReasons(), (Kinds{"window", "no_text"}));
    // The same text again: nothing, and no frame.
    EXPECT_TRUE(w.again().empty());
    EXPECT_TRUE(w.frameReasons().empty());
}

TEST(Walk, StopsAfterSixThousandElementsAndSaysPartial) {
    Walked w;
    for (int i = 0; i < 10000; ++i)
        addText(w.window, 321, "t");
    auto text = w.walk();
    EXPECT_EQ(lineCount(text["text"]), 5999u); // the window is the first of 6000
    EXPECT_EQ(text["partial"], true);
}

TEST(Walk, SlowApplicationEndsTheWalkOnTimeWithWhatItHas) {
    Walked w;
    for (int i = 0; i < 200; ++i)
        addText(w.window, 321, "t");
    sim::axSlowness(321, 0.002);
    auto text = w.walk();
    EXPECT_EQ(text["partial"], true);
    std::size_t lines = lineCount(text["text"]);
    EXPECT_GT(lines, 5u);
    EXPECT_LT(lines, 200u);
}

TEST(Walk, TextIsCutNearItsLimitWithoutBeingPartial) {
    Walked w;
    for (int i = 0; i < 5; ++i)
        addText(w.window, 321, std::string(100000, 'x'));
    auto text = w.walk();
    EXPECT_EQ(text["text"].get<std::string>().size(), 400001u); // the last line feed goes over
    EXPECT_EQ(text["partial"], false);
}

TEST(Walk, LoginFormListsLabelsButNeverSecrets) {
    Walked w;
    sim::axAdd(w.window, element(321, "AXTextField", {{"AXTitle", "User"}, {"AXValue", "ann"}}));
    auto pass = sim::axAdd(w.window, element(321, "AXTextField",
                                             {{"AXSubrole", "AXSecureTextField"},
                                              {"AXTitle", "Password"},
                                              {"AXValue", "hunter2"}}));
    addText(pass, 321, "hunter2");
    sim::axAdd(w.window,
               element(321, "AXTextField", {{"AXTitle", "One time code"}, {"AXValue", "987654"}}));
    sim::axAdd(w.window, element(321, "AXButton", {{"AXTitle", "Sign in"}}));
    auto text = w.walk();
    EXPECT_EQ(text["text"], "ann\n");
    EXPECT_EQ(text["readable"], 1);
    EXPECT_EQ(text["outline"]["fields"], (json{"User", "Password", "One time code"}));
    EXPECT_EQ(text["outline"]["buttons"], json{"Sign in"});
    EXPECT_EQ(sim::output().find("hunter2"), std::string::npos);
    EXPECT_EQ(sim::output().find("987654"), std::string::npos);
}

TEST(Walk, OutlineListsAreCountedAndCut) {
    Walked w;
    for (int i = 0; i < 100; ++i)
        sim::axAdd(w.window, element(321, "AXLink",
                                     {{"AXTitle", std::to_string(i) + std::string(100, 'l')}}));
    for (int i = 0; i < 70; ++i)
        sim::axAdd(w.window, element(321, "AXColumnHeader", {{"AXValue", std::string(70, 'c')}}));
    sim::axAdd(w.window, element(321, "AXHeading", {{"AXValue", "Results"}}));
    auto text = w.walk();
    auto& buttons = text["outline"]["buttons"];
    ASSERT_EQ(buttons.size(), 80u);
    EXPECT_EQ(buttons[0], "0" + std::string(79, 'l'));
    EXPECT_EQ(buttons[79].get<std::string>().substr(0, 2), "79");
    EXPECT_EQ(text["outline"]["columns"].size(), 60u);
    EXPECT_EQ(text["outline"]["columns"][0], std::string(60, 'c'));
    EXPECT_EQ(text["outline"]["headings"], json{"Results"});
    EXPECT_TRUE(text["text"].get<std::string>().ends_with("\nResults\n"));
}

TEST(Walk, ChangesAreSentPerWindowKey) {
    Walked w;
    addText(w.window, 321, "same");
    w.walk();
    // Another window with the same text sends its own event.
    auto other = focusedWindow(321, "Other");
    addText(other, 321, "same");
    sim::axNotify(other, "AXFocusedWindowChanged");
    w.run(0.3);
    auto texts = w.of(w.lines(), "text");
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0]["window"], "Other");
    // A text that goes from A to B and back to A is sent each time.
    auto piece = addText(other, 321, "B");
    EXPECT_EQ(w.again().size(), 1u);
    sim::axSet(piece, "AXValue", std::nullopt);
    EXPECT_EQ(w.again().size(), 1u);
}

TEST(Walk, QuietFrameOnlyWhenNoFrameWasKeptForAMinute) {
    Walked w;
    auto piece = addText(w.window, 321, "a");
    lastFrameAt = sim::clock() - 10;
    w.walk();
    EXPECT_EQ(w.frameReasons(), Kinds{"window"});
    sim::axSet(piece, "AXValue", "b");
    lastFrameAt = sim::clock() + 3.3 - 61.5;
    EXPECT_EQ(w.again().size(), 1u);
    EXPECT_EQ(w.frameReasons(), Kinds{"quiet"});
}

TEST(Walk, ResultAfterPauseIsDropped) {
    Walked w;
    addText(w.window, 321, "text");
    sim::axDuringRead([](int, const std::string& name) {
        if (name == "AXValue") sim::feedStdin("{\"cmd\":\"pause\"}\n");
    });
    w.record();
    EXPECT_TRUE(w.of(w.lines(), "text").empty());
}

TEST(Walk, WindowMemoryKeepsTheMostRecentKeys) {
    RecentMap<int> recent(3);
    for (int i = 0; i < 3; ++i)
        recent.put(std::to_string(i), i);
    EXPECT_EQ(recent.find("0"), 0); // used: now the most recent
    recent.put("3", 3);
    EXPECT_FALSE(recent.find("1"));
    EXPECT_EQ(recent.find("0"), 0);
    EXPECT_EQ(recent.size(), 3u);
    EXPECT_EQ(lastTextHash.capacity, rememberedWindows);
    EXPECT_EQ(lastWalkAt.capacity, rememberedWindows);
}

TEST(Walk, APageStillLoadingIsReadAgainUntilItShowsText) {
    // The browser fills its document after the title changed, and tells nothing when it is done.
    Walked w;
    auto web = sim::axAdd(w.window, element(321, "AXWebArea", {{"AXURL", "https://a.example/"}}));
    EXPECT_EQ(w.walk()["text"], "");
    addText(web, 321, "loaded words");
    w.run(5);
    auto texts = w.of(w.lines(), "text");
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0]["text"], "loaded words\n");
    // Once read, nothing more is asked of it.
    w.run(10);
    EXPECT_TRUE(w.of(w.lines(), "text").empty());
}
