// The wlroots backend's rules as plain functions: which backend a session gets, the window list
// read from sway's tree, the keymap act uploads, and what a clipboard offer may give.
#include "platform/linux/shared/backend.h"
#include "platform/linux/wayland/wlroots/evdev.h"
#include "platform/linux/wayland/wlroots/keymap.h"
#include "platform/linux/wayland/wlroots/selection.h"
#include "platform/linux/wayland/wlroots/tree.h"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <memory>
#include <set>
#include <xkbcommon/xkbcommon.h>

namespace {

TEST(Backend, WaylandWhenTheEnvironmentNamesASocketElseX) {
    using backend::Kind;
    EXPECT_EQ(backend::kindFor(nullptr, nullptr), Kind::x11);
    EXPECT_EQ(backend::kindFor("", ""), Kind::x11);
    EXPECT_EQ(backend::kindFor("wayland-1", nullptr), Kind::wlroots);
    EXPECT_EQ(backend::kindFor(nullptr, "7"), Kind::wlroots);
}

nlohmann::json view(int id, int pid, const char* appId, bool visible, bool focused = false) {
    return {{"id", id},
            {"pid", pid},
            {"app_id", appId},
            {"name", std::string(appId) + " window"},
            {"visible", visible},
            {"focused", focused},
            {"rect", {{"x", 10 * id}, {"y", 20}, {"width", 300}, {"height", 200}}},
            {"window_rect", {{"x", 2}, {"y", 3}, {"width", 296}, {"height", 190}}},
            {"geometry", {{"x", 24}, {"y", 16}, {"width", 296}, {"height", 190}}},
            {"nodes", nlohmann::json::array()},
            {"floating_nodes", nlohmann::json::array()}};
}

// One output; on its visible workspace two tiled views (the second focused last), a tabbed
// container whose background tab is hidden, and a floating view; a second workspace hidden.
nlohmann::json desktop(bool floatingFocused) {
    auto tabs = nlohmann::json{
        {"id", 30},
        {"nodes", {view(31, 31, "front-tab", true), view(32, 32, "back-tab", false)}},
        {"focus", {31, 32}}};
    auto shown = nlohmann::json{
        {"id", 3},
        {"type", "workspace"},
        {"nodes",
         {view(11, 11, "older", true), view(12, 12, "newer", true, !floatingFocused), tabs}},
        {"floating_nodes", {view(13, 13, "floating", true, floatingFocused)}},
        {"focus",
         floatingFocused ? nlohmann::json{13, 12, 11, 30} : nlohmann::json{12, 13, 11, 30}}};
    auto hidden = nlohmann::json{{"id", 4},
                                 {"type", "workspace"},
                                 {"nodes", {view(21, 21, "elsewhere", false)}},
                                 {"floating_nodes", nlohmann::json::array()}};
    return {{"id", 1},
            {"nodes", {{{"id", 2}, {"nodes", {shown, hidden}}, {"focus", {3, 4}}}}},
            {"focus", {2}}};
}

std::vector<unsigned long> ids(const std::vector<swaytree::View>& views) {
    std::vector<unsigned long> out;
    for (auto& v : views)
        out.push_back(v.id);
    return out;
}

TEST(SwayTree, VisibleViewsFloatingFirstThenByFocusHiddenLeftOut) {
    auto views = swaytree::visibleViews(desktop(false));
    EXPECT_EQ(ids(views), (std::vector<unsigned long>{13, 12, 11, 31}));
    EXPECT_TRUE(views[0].floating);
    EXPECT_FALSE(views[1].floating);
    // The content lies inside the container; the surface begins where the client's own
    // shadow margin does.
    const swaytree::View& v = views[1];
    EXPECT_EQ(v.pid, 12);
    EXPECT_EQ(v.appId, "newer");
    EXPECT_EQ(v.title, "newer window");
    EXPECT_DOUBLE_EQ(v.content.x, 122);
    EXPECT_DOUBLE_EQ(v.content.y, 23);
    EXPECT_DOUBLE_EQ(v.content.width, 296);
    EXPECT_DOUBLE_EQ(v.surfaceX, 122 - 24);
    EXPECT_DOUBLE_EQ(v.surfaceY, 23 - 16);
}

TEST(SwayTree, TheFocusedViewTiledOrFloating) {
    auto tiled = swaytree::focusedView(desktop(false));
    ASSERT_TRUE(tiled);
    EXPECT_EQ(tiled->id, 12u);
    EXPECT_FALSE(tiled->floating);
    auto floating = swaytree::focusedView(desktop(true));
    ASSERT_TRUE(floating);
    EXPECT_EQ(floating->id, 13u);
    EXPECT_TRUE(floating->floating);
    EXPECT_EQ(ids(swaytree::visibleViews(desktop(true))).front(), 13u);
}

TEST(SwayTree, NoFocusedViewOnAnEmptyWorkspaceAndNothingFromAMalformedTree) {
    auto empty = nlohmann::json{{"id", 1}, {"focused", true}, {"nodes", nlohmann::json::array()}};
    EXPECT_FALSE(swaytree::focusedView(empty));
    EXPECT_TRUE(swaytree::visibleViews(empty).empty());
    auto broken = desktop(false);
    broken["nodes"][0]["nodes"][0]["nodes"][0]["id"] = "eleven";
    broken["nodes"][0]["nodes"][0]["focus"] = {"x"};
    EXPECT_NO_THROW(swaytree::visibleViews(broken));
    EXPECT_FALSE(swaytree::visibleViews(nlohmann::json::array()).size());
    EXPECT_FALSE(swaytree::focusedView(nlohmann::json("tree")));
}

TEST(SwayOutputs, ActiveOnesWithTheirPlaceAndNoneFromAMalformedAnswer) {
    auto outputs = nlohmann::json::array(
        {{{"name", "HEADLESS-1"},
          {"active", true},
          {"focused", true},
          {"rect", {{"x", 0}, {"y", 0}, {"width", 1280}, {"height", 800}}}},
         {{"name", "OFF-1"}, {"active", false}, {"rect", {{"x", 1280}, {"y", 0}}}}});
    auto active = swaytree::activeOutputs(outputs);
    ASSERT_EQ(active.size(), 1u);
    EXPECT_EQ(active[0].name, "HEADLESS-1");
    EXPECT_TRUE(active[0].focused);
    EXPECT_DOUBLE_EQ(active[0].rect.width, 1280);
    outputs[0]["active"] = "yes";
    EXPECT_TRUE(swaytree::activeOutputs(outputs).empty());
    EXPECT_TRUE(swaytree::activeOutputs(nlohmann::json::object()).empty());
}

// What the compositor would make of a keymap: each key's one symbol.
struct Compiled {
    std::unique_ptr<xkb_context, decltype(&xkb_context_unref)> context{
        xkb_context_new(XKB_CONTEXT_NO_FLAGS), xkb_context_unref};
    std::unique_ptr<xkb_keymap, decltype(&xkb_keymap_unref)> keymap{nullptr, xkb_keymap_unref};
    std::unique_ptr<xkb_state, decltype(&xkb_state_unref)> state{nullptr, xkb_state_unref};

    explicit Compiled(const std::string& text) {
        keymap.reset(xkb_keymap_new_from_string(
            context.get(), text.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS));
        if (keymap) state.reset(xkb_state_new(keymap.get()));
    }
    xkb_keysym_t symOf(uint32_t evdevCode) const {
        return xkb_state_key_get_one_sym(state.get(), evdevCode + 8);
    }
};

TEST(Keymap, EachSymbolOnAKeyOfItsOwnWhateverModifiersAreHeld) {
    std::vector<uint32_t> syms;
    for (char32_t cp : {U'a', U'A', U'€', U'日', U'😀', U'\n', U'\t', U'a', char32_t(0x07)})
        syms.push_back(vkeymap::keysymOf(cp));
    auto map = vkeymap::build(syms);
    EXPECT_EQ(map.keysyms.size(), 7u); // the repeated "a" and the bell have no key of their own
    Compiled xkb(map.text);
    ASSERT_TRUE(xkb.state) << map.text;
    std::set<uint32_t> codes;
    for (uint32_t sym : map.keysyms) {
        uint32_t code = map.codeOf(sym);
        ASSERT_NE(code, 0u);
        codes.insert(code);
        EXPECT_EQ(xkb.symOf(code), sym) << std::hex << sym;
    }
    EXPECT_EQ(codes.size(), map.keysyms.size());
    EXPECT_EQ(xkb.symOf(vkeymap::shiftKey), XKB_KEY_Shift_L);
    EXPECT_EQ(xkb.symOf(vkeymap::controlKey), XKB_KEY_Control_L);
    // Shift held: "a" stays "a" (act says which case it wants by the symbol itself).
    xkb_state_update_key(xkb.state.get(), vkeymap::shiftKey + 8, XKB_KEY_DOWN);
    EXPECT_EQ(xkb.symOf(map.codeOf(XKB_KEY_a)), uint32_t(XKB_KEY_a));
    EXPECT_TRUE(xkb_state_mod_name_is_active(xkb.state.get(), XKB_MOD_NAME_SHIFT,
                                             XKB_STATE_MODS_DEPRESSED));
    EXPECT_EQ(map.codeOf(XKB_KEY_b), 0u);
}

TEST(Keymap, AtMostCapacitySymbolsNoneOnAModifierKey) {
    std::vector<uint32_t> syms;
    for (char32_t cp = 0x4e00; cp < 0x4e00 + 300; ++cp)
        syms.push_back(vkeymap::keysymOf(cp));
    auto map = vkeymap::build(syms);
    ASSERT_EQ(map.keysyms.size(), vkeymap::capacity);
    Compiled xkb(map.text);
    ASSERT_TRUE(xkb.state);
    for (uint32_t sym : map.keysyms) {
        uint32_t code = map.codeOf(sym);
        EXPECT_NE(code, vkeymap::shiftKey);
        EXPECT_NE(code, vkeymap::superKey);
        EXPECT_EQ(xkb.symOf(code), sym);
    }
}

TEST(Selection, APasswordManagersMarkOrALongListIsNeverRead) {
    auto plain = selection::classify({"text/plain;charset=utf-8", "UTF8_STRING", "TEXT"}, false);
    EXPECT_FALSE(plain.concealed);
    EXPECT_EQ(plain.textType, "text/plain;charset=utf-8");
    EXPECT_EQ(plain.types, (std::vector<std::string>{"UTF8_STRING"}));

    auto marked = selection::classify({"UTF8_STRING", "x-kde-passwordManagerHint"}, false);
    EXPECT_TRUE(marked.concealed);
    EXPECT_EQ(marked.types,
              (std::vector<std::string>{"org.nspasteboard.ConcealedType", "UTF8_STRING"}));

    EXPECT_TRUE(selection::classify({"UTF8_STRING"}, true).concealed);
    auto image = selection::classify({"image/png"}, false);
    EXPECT_TRUE(image.types.empty());
    EXPECT_TRUE(image.textType.empty());
}

// A recorded session of a keyboard and a mouse, as the kernel reports it.
TEST(Evdev, KeysWithTheirModifiersAndWheelsNothingElse) {
    evdev::Translator t(true);
    auto key = [&](uint16_t code, int32_t value) { return t.feed(EV_KEY, code, value); };
    EXPECT_FALSE(key(KEY_LEFTCTRL, 1));
    EXPECT_FALSE(t.feed(EV_SYN, SYN_REPORT, 0));
    auto s = key(KEY_S, 1);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->type, input::keyDown);
    EXPECT_EQ(s->keyCode, 1); // the host's code of the S position
    EXPECT_EQ(s->flags, input::maskControl);
    auto repeat = key(KEY_S, 2); // held: the kernel repeats it
    ASSERT_TRUE(repeat);
    EXPECT_EQ(repeat->keyCode, 1);
    EXPECT_FALSE(key(KEY_S, 0));
    EXPECT_FALSE(key(KEY_LEFTCTRL, 0));
    auto a = key(KEY_A, 1);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->flags, 0u);
    EXPECT_EQ(key(KEY_F13, 1)->keyCode, 0xFFFF); // counted, with a code no table names
    EXPECT_FALSE(key(KEY_CAPSLOCK, 1));
    EXPECT_FALSE(key(BTN_LEFT, 1)); // no place to tell: no click
    EXPECT_FALSE(t.feed(EV_REL, REL_X, 5));
    EXPECT_FALSE(key(KEY_RIGHTSHIFT, 1));
    auto wheel = t.feed(EV_REL, REL_WHEEL, -1);
    ASSERT_TRUE(wheel);
    EXPECT_EQ(wheel->type, input::scrollWheel);
    EXPECT_EQ(wheel->flags, input::maskShift);
    EXPECT_FALSE(t.feed(EV_REL, REL_WHEEL, 0));

    evdev::Translator mouseOnly(false);
    EXPECT_FALSE(mouseOnly.feed(EV_KEY, KEY_A, 1));
    EXPECT_TRUE(mouseOnly.feed(EV_REL, REL_HWHEEL, 1));
}

} // namespace
