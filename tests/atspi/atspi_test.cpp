// The accessibility backend against a real GTK3 window, on the virtual desktop this program is
// started on (scripts/desktop.py run -- atspi_test). xdotool plays the person's hands.
#include "platform/ax.h"
#include "platform/input.h"
#include "platform/linux/shared/ax_mirror.h"
#include "platform/notices.h"
#include "platform/workspace.h"
#include "tests/atspi/harness.h"

#include <gio/gio.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>
#include <string>

namespace {

using namespace harness;

// The plain field first, then the password field.
std::vector<ax::ElementRef> textFields(const ax::ElementRef& window) {
    std::vector<ax::ElementRef> fields;
    std::function<void(const ax::ElementRef&)> collect = [&](const ax::ElementRef& e) {
        if (str(e, "AXRole") == "AXTextField") fields.push_back(e);
        for (auto& c : children(e))
            collect(c);
    };
    collect(window);
    std::sort(fields.begin(), fields.end(),
              [](auto& a, auto& b) { return str(a, "AXSubrole") < str(b, "AXSubrole"); });
    return fields;
}

class Desktop : public ::testing::Test {
  protected:
    static inline TestApp* app = nullptr;
    static inline ax::ElementRef root, window;
    static void SetUpTestSuite() {
        app = new TestApp("atspiapp");
        ASSERT_EQ(app->line(20000ms), "ready");
        pumpUntil([] {
            root = ax::applicationElement(app->pid);
            return root && str(root, "AXRole") == "AXApplication";
        });
        pumpUntil([] {
            auto w = ax::copyAttribute(root, "AXFocusedWindow");
            if (w) window = std::get<ax::ElementRef>(*w);
            return window != nullptr;
        });
    }
    static void TearDownTestSuite() {
        delete app;
        app = nullptr;
    }
};

TEST_F(Desktop, DescribesTheWidgets) {
    ASSERT_TRUE(window);
    EXPECT_EQ(str(window, "AXRole"), "AXWindow");
    EXPECT_EQ(str(window, "AXTitle"), "atspiapp");
    EXPECT_EQ(ax::processOf(window), app->pid);

    auto fields = textFields(window);
    ASSERT_EQ(fields.size(), 2u);
    auto entry = fields[0], secret = fields[1];
    EXPECT_EQ(str(entry, "AXSubrole"), "<absent>");
    EXPECT_EQ(str(secret, "AXSubrole"), "AXSecureTextField");
    EXPECT_EQ(str(entry, "AXPlaceholderValue"), "you@example.org");
    for (auto& [field, text] : {std::pair{entry, "Email"}, std::pair{secret, "Password"}}) {
        auto label = ax::copyAttribute(field, "AXTitleUIElement");
        ASSERT_TRUE(label);
        EXPECT_EQ(str(std::get<ax::ElementRef>(*label), "AXValue"), text);
    }

    auto check = find(window, "AXCheckBox", "Remember me");
    ASSERT_TRUE(check);
    EXPECT_EQ(str(check, "AXValue"), "<absent>"); // not a text value
    auto button = find(window, "AXButton", "Sign in");
    ASSERT_TRUE(button);
    // GTK shows a tooltip as the description when there is none.
    EXPECT_EQ(str(button, "AXDescription"), "Signs you in");
    EXPECT_TRUE(find(window, "AXMenuItem", "Open Recent"));
    EXPECT_EQ(str(find(window, "AXStaticText", "r3c7"), "AXValue"), "r3c7");

    auto [x, y] = centre(button);
    ASSERT_GT(x, 0);
    auto at = ax::elementAtPosition(root, x, y);
    EXPECT_TRUE(ax::sameElement(at, button)) << str(at, "AXRole") << " " << str(at, "AXTitle");
    EXPECT_FALSE(ax::elementAtPosition(root, 1279, 799)); // the bare desktop

    // Only objects with a Document interface are asked for one's attributes (ATK complains).
    EXPECT_EQ(str(window, "AXDocument"), "<absent>");
    EXPECT_EQ(str(window, "AXURL"), "<absent>");
    pumpFor(200ms);
    EXPECT_EQ(app->errors().find("ATK_IS"), std::string::npos) << app->errors();

    // The browser switch: asking is one call; nothing can switch it off; it reads as absent.
    EXPECT_TRUE(ax::setAttribute(root, "AXEnhancedUserInterface", true));
    EXPECT_FALSE(ax::setAttribute(root, "AXEnhancedUserInterface", false));
    EXPECT_FALSE(ax::copyAttribute(root, "AXEnhancedUserInterface"));

    // A process that isn't on the bus reads as absent; so does a null element.
    auto none = ax::applicationElement(1);
    EXPECT_FALSE(ax::copyAttribute(none, "AXRole"));
    EXPECT_FALSE(ax::copyAttribute(nullptr, "AXRole"));
}

TEST_F(Desktop, NotificationsFromRealActions) {
    std::multimap<std::string, ax::ElementRef> seen;
    auto observer = ax::createObserver(
        app->pid, [&](const ax::ElementRef& e, const std::string& n) { seen.emplace(n, e); });
    ASSERT_TRUE(observer);
    for (const char* n : {"AXFocusedWindowChanged", "AXMainWindowChanged",
                          "AXFocusedUIElementChanged", "AXTitleChanged", "AXWindowCreated",
                          "AXValueChanged", "AXSelectedTextChanged", "AXMenuItemSelected"})
        EXPECT_TRUE(ax::addNotification(observer, root, n));
    ax::attachObserver(observer);
    auto has = [&](const char* n) { return [&, n] { return seen.count(n) > 0; }; };

    auto entry = textFields(window).at(0);
    clickOn(textFields(window).at(1));
    pumpFor(300ms);
    seen.clear();
    clickOn(entry);
    EXPECT_TRUE(pumpUntil(has("AXFocusedUIElementChanged")));
    auto focused = ax::copyAttribute(root, "AXFocusedUIElement");
    ASSERT_TRUE(focused);
    EXPECT_TRUE(ax::sameElement(std::get<ax::ElementRef>(*focused), entry));
    EXPECT_FALSE(input::secureInputEnabled());

    xdo("type --delay 20 abc");
    EXPECT_TRUE(pumpUntil(has("AXValueChanged")));
    EXPECT_TRUE(pumpUntil(has("AXSelectedTextChanged")));
    EXPECT_TRUE(pumpUntil([&] { return str(entry, "AXValue") == "abc"; })) << str(entry, "AXValue");

    seen.clear();
    clickOn(find(window, "AXCheckBox", "Remember me"));
    EXPECT_TRUE(pumpUntil(has("AXValueChanged")));

    app->send("title Renamed");
    EXPECT_TRUE(pumpUntil(has("AXTitleChanged")));
    EXPECT_EQ(str(window, "AXTitle"), "Renamed");

    // Choosing a menu item.
    seen.clear();
    clickOn(find(window, "AXMenu", "File"));
    pumpFor(500ms);
    xdo("key Down");
    pumpFor(300ms);
    xdo("key Return");
    EXPECT_EQ(app->line(), "activated");
    EXPECT_TRUE(pumpUntil(has("AXMenuItemSelected")));
    if (seen.count("AXMenuItemSelected")) {
        EXPECT_EQ(str(seen.find("AXMenuItemSelected")->second, "AXTitle"), "Open Recent");
    }

    // Secure input follows a password text's focus anywhere.
    auto fields = textFields(window);
    ASSERT_EQ(fields.size(), 2u);
    clickOn(fields[1]);
    EXPECT_TRUE(pumpUntil([] { return input::secureInputEnabled(); }));
    clickOn(fields[0]);
    EXPECT_TRUE(pumpUntil([] { return !input::secureInputEnabled(); }));

    // Another app in front, then this one again: its window is activated.
    std::vector<std::optional<workspace::App>> fronts;
    notices::onActivate([&](const std::optional<workspace::App>& a) { fronts.push_back(a); });
    TestApp other("otherapp", 1);
    ASSERT_EQ(other.line(20000ms), "ready");
    EXPECT_TRUE(pumpUntil(
        [&] { return !fronts.empty() && fronts.back() && fronts.back()->pid == other.pid; }));
    // A hung application reads as absent (each call gives up after its timeout).
    auto otherRoot = ax::applicationElement(other.pid);
    ASSERT_TRUE(ax::copyAttribute(otherRoot, "AXChildren"));
    kill(other.pid, SIGSTOP);
    EXPECT_FALSE(ax::copyAttribute(otherRoot, "AXChildren"));
    EXPECT_FALSE(ax::copyAttribute(otherRoot, "AXFocusedWindow"));
    kill(other.pid, SIGCONT);

    seen.clear();
    ASSERT_EQ(write(other.in, "quit\n", 5), 5); // the window manager activates ours again
    EXPECT_TRUE(pumpUntil([&] { return fronts.back() && fronts.back()->pid == app->pid; }));
    EXPECT_TRUE(pumpUntil(has("AXFocusedWindowChanged")));
    EXPECT_TRUE(seen.count("AXMainWindowChanged"));
    for (auto& [n, e] : seen)
        EXPECT_EQ(ax::processOf(e), app->pid) << n;

    // Detached: nothing more arrives.
    ax::detachObserver(observer);
    seen.clear();
    app->send("title Again");
    pumpFor(500ms);
    EXPECT_TRUE(seen.empty());
    app->send("title Renamed");
}

TEST_F(Desktop, MirrorFollowsEveryKindOfChange) {
    auto observer = ax::createObserver(app->pid, [](const ax::ElementRef&, const std::string&) {});
    ASSERT_TRUE(observer);
    auto settle = [&] { return mirrorAgrees([&] { return window; }); };
    EXPECT_TRUE(settle());
    app->send("label 2 3 changed text");
    EXPECT_TRUE(settle());
    EXPECT_TRUE(find(window, "AXStaticText", "changed text"));
    app->send("add a new label");
    EXPECT_TRUE(settle());
    EXPECT_TRUE(find(window, "AXStaticText", "a new label"));
    app->send("remove");
    EXPECT_TRUE(settle());
    EXPECT_FALSE(find(window, "AXStaticText", "a new label"));
    // ATK keeps a first description quiet (nothing tells of it); later ones are told.
    app->send("describe first words");
    app->send("describe keeps you signed in");
    EXPECT_TRUE(settle());
    app->send("entry typed by the app");
    EXPECT_TRUE(settle());
    app->send("title Mirrored");
    EXPECT_TRUE(settle());
    EXPECT_EQ(str(window, "AXTitle"), "Mirrored");
    app->send("enable 0");
    EXPECT_TRUE(settle());
    app->send("enable 1");
    EXPECT_TRUE(settle());
    ax::detachObserver(observer);

    // Built object by object, as for a toolkit without the Cache.
    axmirror::forget(window->bus);
    axmirror::setCacheUse(false);
    pumpFor(100ms);
    observer = ax::createObserver(app->pid, [](const ax::ElementRef&, const std::string&) {});
    EXPECT_TRUE(pumpUntil([&] {
        auto s = axmirror::stats(window->bus);
        return s.nodes > 200 && s.pending == 0 && s.complete == s.nodes;
    }));
    EXPECT_TRUE(settle());
    app->send("label 4 4 after rebuild");
    EXPECT_TRUE(settle());
    axmirror::setCacheUse(true);
    ax::detachObserver(observer);
}

// Electron is known by resources/app.asar beside the executable.
TEST(Workspace, ElectronByItsInstallFolder) {
    char dir[] = "/tmp/electron-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    std::string d = dir;
    ASSERT_EQ(std::system(("mkdir -p " + d + "/resources && cp /bin/sleep " + d + "/app && touch " +
                           d + "/resources/app.asar")
                              .c_str()),
              0);
    std::string exe = d + "/app";
    const char* argv[] = {exe.c_str(), "30", nullptr};
    GPid pid = 0;
    ASSERT_TRUE(g_spawn_async(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_DO_NOT_REAP_CHILD,
                              nullptr, nullptr, &pid, nullptr));
    workspace::App app;
    app.pid = pid;
    EXPECT_TRUE(workspace::electronApp(app));
    app.pid = getpid();
    EXPECT_FALSE(workspace::electronApp(app));
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    std::system(("rm -rf " + d).c_str());
}

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
