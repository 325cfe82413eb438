#include "desk.h"

#include <gtest/gtest.h>

namespace {

struct Page : Desk {
    ax::ElementRef window = focusedWindow(321, "Doc");
    json walk() {
        record();
        auto texts = of(lines(), "text");
        return texts.size() == 1 ? texts[0] : json();
    }
    ax::ElementRef group(const ax::ElementRef& parent, const std::string& role, Attributes more) {
        return sim::axAdd(parent, element(321, role, std::move(more)));
    }
};

} // namespace

// Paragraphs of a page or a document hold the words between their links (or all of them) in
// their own text: read ahead of their children's, never twice.
TEST(Reading, ContainersGiveTheWordsTheirChildrenDontCarry) {
    Page p;
    auto page = p.group(p.window, "AXWebArea", {{"AXValue", std::string(" \n ")}});
    auto para = p.group(page, "AXGroup", {{"AXValue", std::string("Read the  first")}});
    p.group(para, "AXLink", {{"AXTitle", std::string("guide")}});
    // Its words are all in its children: told once, by them.
    auto twice = p.group(page, "AXGroup", {{"AXValue", std::string("Hello world")}});
    addText(twice, 321, "Hello");
    addText(twice, 321, "world");
    // A document body made of paragraphs without children.
    p.group(page, "AXGroup", {{"AXValue", std::string("Second paragraph")}});
    EXPECT_EQ(p.walk()["text"], "Read the first\nguide\nHello\nworld\nSecond paragraph\n");
}

// Nothing that isn't on screen is read or listed: an unselected page, a widget never shown.
TEST(Reading, HiddenElementsAreLeftOutWithEverythingBelowThem) {
    Page p;
    auto shown = p.group(p.window, "AXGroup", {{"AXHidden", false}});
    addText(shown, 321, "On screen");
    auto tab = p.group(p.window, "AXGroup", {{"AXHidden", true}});
    addText(tab, 321, "Other tab");
    p.group(tab, "AXButton", {{"AXTitle", std::string("Hidden button")}});
    p.group(tab, "AXHeading", {{"AXTitle", std::string("Hidden heading")}});
    p.group(p.window, "AXTextField", {{"AXHidden", true}, {"AXTitle", std::string("Secret")}});
    auto text = p.walk();
    EXPECT_EQ(text["text"], "On screen\n");
    EXPECT_EQ(text["outline"]["buttons"], json::array());
    EXPECT_EQ(text["outline"]["headings"], json::array());
    EXPECT_EQ(text["outline"]["fields"], json::array());
}
