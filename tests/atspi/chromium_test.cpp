// The accessibility backend against Chromium (started with accessibility on, as the README tells a
// person to), on the virtual desktop this program is started on: one browser for every case.
#include "platform/ax.h"
#include "platform/input.h"
#include "platform/linux/shared/ax_mirror.h"
#include "tests/atspi/harness.h"

#include <algorithm>
#include <map>
#include <sstream>

namespace {

using namespace harness;

struct Browser : public ::testing::Test {
    static inline TestApp* browser = nullptr;
    static inline int pid = -1;
    static inline std::string site; // http://127.0.0.1:PORT
    static inline ax::ElementRef root;

    static void SetUpTestSuite() {
        browser = new TestApp({"/usr/bin/python3", std::getenv("ATSPI_BROWSER"),
                               std::getenv("ATSPI_PAGES"), "/form.html"});
        std::istringstream ready(browser->line(90000ms));
        std::string word, port;
        ready >> word >> port >> pid;
        ASSERT_EQ(word, "ready");
        site = "http://127.0.0.1:" + port;
        ASSERT_TRUE(pumpUntil(
            [] {
                root = ax::applicationElement(pid);
                return str(root, "AXRole") == "AXApplication";
            },
            60000ms));
        // The watcher's attribute step: web content is there only once a client asked.
        ASSERT_TRUE(ax::setAttribute(root, "AXEnhancedUserInterface", true));
    }
    static void TearDownTestSuite() {
        delete browser; // its standard input closes: the browser and the server stop
        browser = nullptr;
    }

    static ax::ElementRef window() {
        auto w = ax::copyAttribute(root, "AXFocusedWindow");
        return w ? std::get<ax::ElementRef>(*w) : nullptr;
    }
    static ax::ElementRef page() { return findRole(window(), "AXWebArea"); }
    static std::string url() { return str(page(), "AXURL"); }
};

TEST_F(Browser, ReadsThePage) {
    ASSERT_TRUE(pumpUntil([] { return url() == site + "/form.html"; }, 10000ms)) << url();
    EXPECT_EQ(str(window(), "AXRole"), "AXWindow");
    EXPECT_EQ(str(window(), "AXTitle"), "Sign in page - Chromium");
    auto web = page();
    EXPECT_EQ(str(web, "AXTitle"), "Sign in page");
    // The watcher looks for the page depth first, within 12 levels and 400 elements.
    int budget = 400;
    std::function<ax::ElementRef(const ax::ElementRef&, int)> depthFirst =
        [&](const ax::ElementRef& e, int depth) -> ax::ElementRef {
        if (!e || depth >= 13 || budget <= 0) return nullptr;
        --budget;
        if (str(e, "AXRole") == "AXWebArea") return e;
        for (auto& c : children(e))
            if (auto f = depthFirst(c, depth + 1)) return f;
        return nullptr;
    };
    EXPECT_TRUE(ax::sameElement(depthFirst(window(), 0), web)) << budget;
    EXPECT_EQ(ax::processOf(web), pid);
    // Only a document has an address.
    EXPECT_EQ(str(window(), "AXURL"), "<absent>");

    EXPECT_TRUE(find(web, "AXHeading", "Welcome back"));
    EXPECT_TRUE(find(web, "AXLink", "Read the terms"));
    EXPECT_TRUE(find(web, "AXStaticText", "Please sign in to continue."));
    auto user = find(web, "AXTextField", "User name");
    ASSERT_TRUE(user);
    EXPECT_EQ(str(user, "AXSubrole"), "<absent>");
    EXPECT_EQ(str(user, "AXPlaceholderValue"), "you@example.org");
    auto pass = find(web, "AXTextField", "Password");
    ASSERT_TRUE(pass);
    EXPECT_EQ(str(pass, "AXSubrole"), "AXSecureTextField");
    auto button = find(web, "AXButton", "Show more");
    ASSERT_TRUE(button);

    auto [x, y] = centre(button);
    ASSERT_GT(x, 0);
    EXPECT_TRUE(ax::sameElement(ax::elementAtPosition(root, x, y), button));
    std::tie(x, y) = centre(find(web, "AXHeading", "Welcome back"));
    auto at = ax::elementAtPosition(root, x, y);
    EXPECT_TRUE(str(at, "AXRole") == "AXHeading" || str(at, "AXRole") == "AXStaticText")
        << str(at, "AXRole");
}

TEST_F(Browser, NotificationsAndTheMirror) {
    std::multimap<std::string, ax::ElementRef> seen;
    auto observer = ax::createObserver(
        pid, [&](const ax::ElementRef& e, const std::string& n) { seen.emplace(n, e); });
    ASSERT_TRUE(observer);
    for (const char* n : {"AXFocusedWindowChanged", "AXMainWindowChanged",
                          "AXFocusedUIElementChanged", "AXTitleChanged", "AXWindowCreated",
                          "AXValueChanged", "AXSelectedTextChanged", "AXMenuItemSelected"})
        EXPECT_TRUE(ax::addNotification(observer, root, n));
    ax::attachObserver(observer);
    auto has = [&](const char* n) { return [&, n] { return seen.count(n) > 0; }; };
    ASSERT_TRUE(pumpUntil([] { return url() == site + "/form.html"; }, 10000ms));
    EXPECT_TRUE(mirrorAgrees(page));

    auto user = find(page(), "AXTextField", "User name");
    auto pass = find(page(), "AXTextField", "Password");
    ASSERT_TRUE(user && pass);
    clickOn(user);
    EXPECT_TRUE(pumpUntil([&] {
        auto [from, to] = seen.equal_range("AXFocusedUIElementChanged");
        return std::any_of(from, to, [&](auto& n) { return ax::sameElement(n.second, user); });
    }));
    auto focused = ax::copyAttribute(root, "AXFocusedUIElement");
    ASSERT_TRUE(focused);
    EXPECT_TRUE(ax::sameElement(std::get<ax::ElementRef>(*focused), user));
    xdo("type --delay 30 abc");
    EXPECT_TRUE(pumpUntil(has("AXValueChanged")));
    EXPECT_TRUE(pumpUntil(has("AXSelectedTextChanged")));
    EXPECT_TRUE(pumpUntil([&] { return str(user, "AXValue") == "abc"; }));

    clickOn(pass);
    EXPECT_TRUE(pumpUntil([] { return input::secureInputEnabled(); }));
    xdo("type --delay 30 xyz");
    clickOn(user);
    EXPECT_TRUE(pumpUntil([] { return !input::secureInputEnabled(); }));

    // A change of the page's content and title: the page's text is no value.
    seen.clear();
    clickOn(find(page(), "AXButton", "Show more"));
    EXPECT_TRUE(pumpUntil(has("AXTitleChanged")));
    pumpFor(300ms);
    EXPECT_FALSE(seen.count("AXValueChanged"));
    EXPECT_TRUE(pumpUntil([] { return str(window(), "AXTitle") == "More shown - Chromium"; }));
    EXPECT_TRUE(mirrorAgrees(page));
    EXPECT_TRUE(find(page(), "AXStaticText", "shown 20 more"));
    EXPECT_TRUE(find(page(), "AXStaticText", "added item 19"));

    // Another page: a new document, read whole.
    clickOn(find(page(), "AXLink", "Read the terms"));
    bool moved = pumpUntil([] { return url() == site + "/second.html"; }, 10000ms);
    axmirror::setEnabled(false);
    std::string live = url();
    axmirror::setEnabled(true);
    EXPECT_TRUE(moved) << "mirrored: " << url() << ", live: " << live;
    EXPECT_TRUE(mirrorAgrees(page));
    EXPECT_TRUE(find(page(), "AXStaticText", "First rule of the second page."));
    EXPECT_EQ(str(window(), "AXTitle"), "Terms - Chromium");

    // A menu item chosen in the browser's own menu (a window of its own); the item is torn down
    // at once, but its title still reads.
    seen.clear();
    clickOn(find(window(), "AXButton", "Chromium"));
    pumpFor(800ms);
    xdo("key Down");
    pumpFor(300ms);
    xdo("key Return");
    EXPECT_TRUE(pumpUntil(has("AXMenuItemSelected")));
    if (auto it = seen.find("AXMenuItemSelected"); it != seen.end()) {
        EXPECT_TRUE(str(it->second, "AXTitle").starts_with("New tab"))
            << str(it->second, "AXTitle");
    }
    EXPECT_EQ(seen.count("AXMenuItemSelected"), 1u);
    for (auto& [n, e] : seen)
        EXPECT_EQ(ax::processOf(e), pid) << n;
    ax::detachObserver(observer);
}

// An incognito window tells so only in its accessible frame's name.
TEST_F(Browser, IncognitoWindowTitle) {
    std::multimap<std::string, ax::ElementRef> seen;
    auto observer = ax::createObserver(
        pid, [&](const ax::ElementRef& e, const std::string& n) { seen.emplace(n, e); });
    for (const char* n : {"AXFocusedWindowChanged", "AXMainWindowChanged", "AXWindowCreated"})
        ax::addNotification(observer, root, n);
    ax::attachObserver(observer);
    browser->send("incognito /second.html", 30000ms);
    // Chromium sends no window:create, only window:activate.
    EXPECT_TRUE(pumpUntil([&] { return seen.count("AXFocusedWindowChanged") > 0; }));
    if (auto it = seen.find("AXFocusedWindowChanged"); it != seen.end()) {
        EXPECT_EQ(str(it->second, "AXRole"), "AXWindow");
    }
    EXPECT_TRUE(pumpUntil(
        [] {
            std::string t = str(window(), "AXTitle");
            return t.ends_with("(Incognito)");
        },
        15000ms))
        << str(window(), "AXTitle");
    ax::detachObserver(observer);
}

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
