#include "common/utf16.h"
#include "desk.h"
#include "watch/input/describe.h"

#include <gtest/gtest.h>

namespace {

struct Describe : ::testing::Test {
    void SetUp() override {
        sim::axReset();
        compileSensitiveLabel();
    }
    ax::ElementRef field(Attributes more = {}) {
        return element(7, "AXTextField", std::move(more));
    }
};

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

} // namespace

TEST_F(Describe, NullElementGivesNothing) {
    EXPECT_EQ(describe(nullptr), json::object());
    EXPECT_FALSE(str(nullptr, "AXRole"));
    EXPECT_FALSE(attr(nullptr, "AXRole"));
    EXPECT_EQ(labelOf(nullptr), "");
    EXPECT_EQ(sim::axRequests(), 0);
}

TEST_F(Describe, LabelSourcesInOrderNeverTheFieldsOwnValue) {
    EXPECT_EQ(labelOf(element(7, "AXButton", {{"AXTitle", ""}, {"AXDescription", "Close"}})),
              "Close");
    EXPECT_EQ(labelOf(field({{"AXDescription", "D"}, {"AXPlaceholderValue", "P"}})), "D");
    EXPECT_EQ(labelOf(field({{"AXPlaceholderValue", "Search"}, {"AXHelp", "H"}})), "Search");
    EXPECT_EQ(labelOf(field({{"AXValue", "typed secret"}})), "");

    auto title = element(7, "AXStaticText", {{"AXValue", "Email"}, {"AXTitle", "T"}});
    EXPECT_EQ(labelOf(field({{"AXTitleUIElement", title}, {"AXHelp", "H"}})), "Email");
    // An empty value on the title element stands: its title isn't tried, the help is.
    sim::axSet(title, "AXValue", std::string());
    EXPECT_EQ(labelOf(field({{"AXTitleUIElement", title}, {"AXHelp", "Help"}})), "Help");
    sim::axSet(title, "AXValue", std::nullopt);
    EXPECT_EQ(labelOf(field({{"AXTitleUIElement", title}})), "T");
    // A title "element" of another type is ignored.
    EXPECT_EQ(labelOf(field({{"AXTitleUIElement", std::string("x")}, {"AXHelp", "Help"}})), "Help");
}

TEST_F(Describe, LabelIsCutAt200UnitsKeepingPairsWhole) {
    EXPECT_EQ(utf16::count(labelOf(field({{"AXTitle", repeat("a", 250)}}))), 200u);
    std::string emoji = "\xF0\x9F\x98\x80"; // two UTF-16 units
    std::string cut = labelOf(field({{"AXTitle", repeat("a", 199) + emoji}}));
    EXPECT_EQ(cut, repeat("a", 199));
    EXPECT_EQ(clip(repeat("b", 19) + emoji, 20), repeat("b", 19));
    EXPECT_EQ(clip(std::nullopt, 5), "");
}

TEST_F(Describe, SecureBySubroleOrSensitiveLabel) {
    EXPECT_TRUE(secureField(field({{"AXSubrole", "AXSecureTextField"}}), "Name"));
    for (const char* label :
         {"Password", "PIN", "One time code", "one-time code", "Verification Code", "cvv",
          "Compass", "Bypass", "Passenger", "Hotpot", "Your SSN", "2FA token"})
        EXPECT_TRUE(secureField(field(), label)) << label;
    for (const char* label : {"Pinned items", "Spin", "", "Email", "Username"})
        EXPECT_FALSE(secureField(field(), label)) << label;
    // The search runs over the cut label.
    auto long_ = field({{"AXTitle", repeat("x", 200) + " password"}});
    EXPECT_FALSE(describe(long_).contains("secure"));
}

TEST_F(Describe, RecordShapeAndRounding) {
    auto e = element(7, "AXTextField",
                     {{"AXSubrole", "AXSecureTextField"},
                      {"AXTitle", "Login"},
                      {"AXPosition", ax::Point{10.5, -3.5}},
                      {"AXSize", ax::Size{2.5, 1.49}}});
    EXPECT_EQ(describe(e), (json{{"role", "AXTextField"},
                                 {"subrole", "AXSecureTextField"},
                                 {"label", "Login"},
                                 {"frame", {{"x", 11}, {"y", -4}, {"w", 3}, {"h", 1}}},
                                 {"secure", true}}));
    // No size: w and h are 0; no subrole and no role: "subrole" absent, "role" "".
    auto bare = sim::axElement(7, {{"AXPosition", ax::Point{-2.5, 4}}});
    EXPECT_EQ(
        describe(bare),
        (json{{"role", ""}, {"label", ""}, {"frame", {{"x", -3}, {"y", 4}, {"w", 0}, {"h", 0}}}}));
    // A number isn't text.
    EXPECT_FALSE(str(element(7, "AXCheckBox", {{"AXValue", 1.0}}), "AXValue"));
    // An element that is gone reads as absent everywhere.
    sim::axDestroy(e);
    EXPECT_EQ(describe(e)["role"], "");
}
