#include "desk.h"
#include "platform/sim/desktop.h"
#include "watch/accessibility/notices.h"
#include "watch/accessibility/observe.h"
#include "watch/core/state.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace {

const workspace::App mail{400, "Mail", "com.example.mail"};
const workspace::App vault{401, "Vault", "com.secret.vault"};

const Kinds eight{"AXFocusedWindowChanged", "AXMainWindowChanged", "AXFocusedUIElementChanged",
                  "AXTitleChanged",         "AXWindowCreated",     "AXValueChanged",
                  "AXSelectedTextChanged",  "AXMenuItemSelected"};

// An editor whose focused window holds two text fields (kept out of the text walk's way by
// being siblings of the window rather than its children).
struct Fields : Desk {
    ax::ElementRef a, b;
    Fields() {
        focusedWindow(321, "Doc");
        a = element(321, "AXTextField", {{"AXTitle", "Name"}, {"AXValue", "Ann"}});
        b = element(321, "AXTextField", {{"AXTitle", "City"}, {"AXValue", "Oslo"}});
        record();
        lines();
        frames.clear();
    }
    std::vector<json> values() { return of(lines(), "value"); }
};

} // namespace

TEST(Observe, ReportsTheAppRegistersEightNotificationsAndReadsFocus) {
    Desk d;
    auto app = sim::axApp(321);
    sim::axSet(app, "AXFocusedUIElement", element(321, "AXButton", {{"AXTitle", "OK"}}));
    auto out = d.command({{"cmd", "config"}}).lines();
    EXPECT_EQ(kindsOf(out), (Kinds{"configured", "resumed", "app", "focus"}));
    EXPECT_EQ(out[3]["element"]["label"], "OK");
    EXPECT_EQ(sim::axRegistered(321), eight);
    EXPECT_EQ(observedPid, 321);

    // Config again while recording: observed anew, one set of registrations.
    EXPECT_EQ(d.command({{"cmd", "config"}}).kinds(), (Kinds{"configured", "app", "focus"}));
    EXPECT_EQ(sim::axRegistered(321), eight);
}

TEST(Observe, SkippedAppIsPrivateAndLeftAlone) {
    Desk d;
    d.record({{"cmd", "config"}, {"skip_bundles", {"com.secret.*"}}});
    d.lines();
    sim::activate(vault);
    d.run();
    auto priv = d.lines();
    ASSERT_EQ(priv.size(), 1u);
    priv[0].erase("t");
    EXPECT_EQ(priv[0], (json{{"kind", "private"}, {"why", "app"}}));
    EXPECT_TRUE(currentPrivate);
    EXPECT_EQ(currentApp, "Vault");
    EXPECT_EQ(currentBundle, "com.secret.vault");
    EXPECT_TRUE(sim::axRegistered(321).empty());
    EXPECT_TRUE(sim::axRegistered(401).empty());
    EXPECT_EQ(observedPid, 0);
    d.run(10);
    EXPECT_TRUE(d.lines().empty());

    sim::activate(mail);
    d.run();
    auto out = d.lines();
    ASSERT_EQ(kindsOf(out), Kinds{"app"});
    EXPECT_EQ(out[0]["app"], "Mail");
    EXPECT_FALSE(currentPrivate);

    // An activation while paused changes nothing.
    d.command({{"cmd", "pause"}});
    d.lines();
    sim::activate(vault);
    d.run(5);
    EXPECT_TRUE(d.lines().empty());
    EXPECT_EQ(currentApp, "Mail");
}

TEST(Observe, BrowserAttributeOncePerProcessAndPutBack) {
    Desk d(browser);
    d.record();
    d.run(5);
    sim::activate(editor);
    sim::activate(browser);
    d.run(5);
    EXPECT_EQ(sim::axSetLog(), Kinds{"555 AXEnhancedUserInterface true"});
    d.lines();
    auto out = d.command({{"cmd", "pause"}}).kinds();
    EXPECT_EQ(out, (Kinds{"restored", "paused"}));
    EXPECT_EQ(sim::axSetLog().back(), "555 AXEnhancedUserInterface false");
    d.command({{"cmd", "resume"}});
    EXPECT_EQ(sim::axSetLog().back(), "555 AXEnhancedUserInterface true");
}

TEST(Observe, ElectronAttributeAndPreviousValue) {
    const workspace::App slack{600, "Chat", "com.example.chat"};
    const workspace::App both{601, "Opera Chat", "com.Opera.chat"};
    Desk d(slack);
    sim::setElectronApp(600, true);
    sim::setElectronApp(601, true);
    sim::axSet(sim::axApp(600), "AXManualAccessibility", true); // on already
    d.record();
    sim::activate(both);
    d.run();
    EXPECT_EQ(sim::axSetLog(),
              (Kinds{"600 AXManualAccessibility true", "601 AXEnhancedUserInterface true"}));
    d.command({{"cmd", "pause"}});
    auto log = sim::axSetLog();
    std::sort(log.begin() + 2, log.end());
    EXPECT_EQ(Kinds(log.begin() + 2, log.end()),
              (Kinds{"600 AXManualAccessibility true", "601 AXEnhancedUserInterface false"}));
}

TEST(Observe, RefusedAttributeIsTriedAgainNextTime) {
    Desk d(browser);
    sim::axRefuseSet(sim::axApp(555), "AXEnhancedUserInterface");
    int tries = 0;
    sim::axDuringRead(
        [&](int, const std::string& name) { tries += name == "AXEnhancedUserInterface"; });
    d.record();
    sim::activate(editor);
    sim::activate(browser);
    d.run();
    EXPECT_EQ(tries, 4); // a read and a set, at each activation
    EXPECT_TRUE(restoreAttrs.empty());
}

TEST(Notices, ValueIsReadOnceAfterTypingSettles) {
    Fields d;
    for (int i = 0; i < 10; ++i) {
        sim::axSet(d.a, "AXValue", "Ann" + std::string(i, 'e'));
        sim::axNotify(d.a, i % 2 ? "AXSelectedTextChanged" : "AXValueChanged");
        d.run(1.0);
    }
    EXPECT_TRUE(d.values().empty());
    d.run(0.49);
    EXPECT_TRUE(d.values().empty());
    d.run(0.02);
    auto v = d.values();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0]["value"], "Ann" + std::string(9, 'e'));
    EXPECT_EQ(v[0]["element"]["label"], "Name");
    EXPECT_EQ(v[0]["window"], "Doc");
    EXPECT_EQ(d.frameReasons(), Kinds{"value"});
    EXPECT_NEAR(lastContentChangeAt, sim::clock() - 0.01, 1e-6);
}

TEST(Notices, AnotherFieldFlushesThePendingOne) {
    Fields d;
    sim::axNotify(d.a, "AXValueChanged");
    d.run(0.5);
    sim::axNotify(d.b, "AXValueChanged");
    d.run();
    auto v = d.values();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0]["value"], "Ann");
    sim::axNotify(d.b, "AXValueChanged");
    d.run(1.49);
    EXPECT_TRUE(d.values().empty());
    d.run(0.01);
    v = d.values();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0]["value"], "Oslo");
    // The settled value leads to a window read 0.3 s later.
    int reads = 0;
    sim::axDuringRead([&](int, const std::string& name) { reads += name == "AXFocusedWindow"; });
    d.run(0.3);
    EXPECT_EQ(reads, 1);
}

TEST(Notices, SecretsAreNeverRead) {
    Fields d;
    auto pass =
        element(321, "AXTextField", {{"AXSubrole", "AXSecureTextField"}, {"AXValue", "hunter2"}});
    auto pin = element(321, "AXTextField", {{"AXTitle", "Card PIN"}, {"AXValue", "1234"}});
    double before = lastContentChangeAt;
    for (auto& field : {pass, pin}) {
        sim::axNotify(field, "AXValueChanged");
        d.run(1.5);
        auto v = d.values();
        ASSERT_EQ(v.size(), 1u);
        EXPECT_EQ(v[0]["secure"], true);
        EXPECT_FALSE(v[0].contains("value"));
        EXPECT_EQ(v[0]["element"]["secure"], true);
    }
    EXPECT_EQ(sim::output().find("hunter2"), std::string::npos);
    EXPECT_EQ(sim::output().find("1234"), std::string::npos);
    EXPECT_TRUE(d.frameReasons().empty());
    EXPECT_EQ(lastContentChangeAt, before);
}

TEST(Notices, ACopyOutOfASecretFieldIsConcealed) {
    Fields d;
    auto pin = element(321, "AXTextField", {{"AXTitle", "Card PIN"}, {"AXValue", "1234"}});
    sim::axSet(sim::axApp(321), "AXFocusedUIElement", pin);
    sim::copyToPasteboard({"public.utf8-plain-text"}, "1234");
    d.run(1);
    auto copies = d.of(d.lines(), "copy");
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(copies[0]["concealed"], true);
    EXPECT_FALSE(copies[0].contains("text"));
    EXPECT_EQ(sim::output().find("1234"), std::string::npos);
    EXPECT_TRUE(d.frameReasons().empty());
}

TEST(Notices, LongTextIsCutAndNonTextValuesAreEmpty) {
    Fields d;
    sim::axSet(d.a, "AXValue", std::string(5000, 'x'));
    auto box = element(321, "AXCheckBox", {{"AXTitle", "Agree"}, {"AXValue", 1.0}});
    sim::axNotify(d.a, "AXValueChanged");
    sim::axNotify(box, "AXValueChanged");
    d.run(1.5);
    auto v = d.values();
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0]["value"], std::string(4000, 'x'));
    EXPECT_EQ(v[1]["value"], "");
}

TEST(Notices, MenuLabelIsCutAndSentEvenWhilePrivate) {
    Fields d;
    auto item = element(321, "AXMenuItem", {{"AXTitle", std::string(200, 'm')}});
    currentPrivate = true;
    sim::axNotify(item, "AXMenuItemSelected");
    d.run();
    auto out = d.lines();
    ASSERT_EQ(kindsOf(out), Kinds{"menu"});
    EXPECT_EQ(out[0]["element"], (json{{"role", "AXMenuItem"}, {"label", std::string(120, 'm')}}));
}

TEST(Notices, ReadsThatReturnAfterPauseOrPrivacyAreDropped) {
    Fields d;
    // Paused while the value is being read.
    sim::axDuringRead([&](int, const std::string& name) {
        if (name == "AXValue") sim::feedStdin("{\"cmd\":\"pause\"}\n");
    });
    sim::axNotify(d.a, "AXValueChanged");
    d.run(1.5);
    EXPECT_EQ(d.kinds(), (Kinds{"restored", "paused"}));

    // Private by the time the focus read returns.
    d.command({{"cmd", "resume"}});
    d.run(1);
    d.lines();
    sim::axSet(sim::axApp(321), "AXFocusedUIElement", d.b);
    sim::axDuringRead([&](int, const std::string& name) {
        if (name == "AXFocusedUIElement") loop::onMain([] { currentPrivate = true; });
    });
    sim::axNotify(d.b, "AXFocusedUIElementChanged");
    d.run();
    EXPECT_TRUE(d.lines().empty());

    // Private before: no read is even started.
    sim::axDuringRead(nullptr);
    long requests = sim::axRequests();
    sim::axNotify(d.b, "AXFocusedUIElementChanged");
    d.run();
    EXPECT_EQ(sim::axRequests(), requests);
}

TEST(Notices, FocusOfAnAppThatDoesNotAnswerIsNotReported) {
    Fields d;
    sim::axSet(sim::axApp(321), "AXFocusedUIElement", d.b);
    sim::axNotify(d.b, "AXFocusedUIElementChanged");
    d.run();
    EXPECT_EQ(d.kinds(), Kinds{"focus"});
    sim::axSlowness(321, 0.3);
    double before = sim::clock();
    sim::axNotify(d.b, "AXFocusedUIElementChanged");
    d.run();
    EXPECT_TRUE(d.lines().empty());
    // The focus read and the window check after it, each cut at the messaging timeout.
    EXPECT_NEAR(sim::clock() - before, 0.5, 1e-6);
}
