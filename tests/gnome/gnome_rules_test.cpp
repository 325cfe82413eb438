// The GNOME backend's rules as plain functions: which sessions it takes, where the active frame
// may take pointer input, and what the seat's keymap can type.
#include "platform/linux/shared/backend.h"
#include "platform/linux/wayland/gnome/keymap.h"
#include "platform/linux/wayland/gnome/mutter.h"

#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon.h>

namespace {

TEST(GnomeBackend, WaylandSessionsOfMutterOnly) {
    using backend::Kind;
    EXPECT_EQ(backend::kindFor("wayland-0", nullptr, "GNOME", false), Kind::gnome);
    EXPECT_EQ(backend::kindFor("wayland-0", nullptr, "ubuntu:GNOME", false), Kind::gnome);
    EXPECT_EQ(backend::kindFor(nullptr, "5", nullptr, true), Kind::gnome);
    // A name that merely contains it, or another desktop, is not GNOME's.
    EXPECT_EQ(backend::kindFor("wayland-0", nullptr, "GNOME-Flashback-ish:sway", false),
              Kind::wlroots);
    EXPECT_EQ(backend::kindFor("wayland-0", nullptr, "sway", false), Kind::wlroots);
    // X sessions stay X, whatever the desktop.
    EXPECT_EQ(backend::kindFor(nullptr, nullptr, "GNOME", true), Kind::x11);
}

TEST(GnomeBackend, TheActiveFrameTakesPointerInputOnlyWhereItSurelyLies) {
    mutter::Frame f{":1.4", "/org/a11y/atspi/accessible/1", "Notes", "Notes", 42, std::nullopt};
    std::pair<double, double> monitor{1280, 800};

    // Its size unknown, or smaller than the monitor: somewhere on it, nowhere for sure.
    auto w = mutter::windowOf(f, monitor);
    EXPECT_EQ(w.pid, 42);
    EXPECT_EQ(w.title, "Notes");
    ASSERT_TRUE(w.bounds);
    EXPECT_FALSE(w.takesInputAt(640, 400));
    f.size = std::make_pair(1279.0, 800.0);
    EXPECT_FALSE(mutter::windowOf(f, monitor).takesInputAt(640, 400));

    // Filling the monitor, it can only lie on all of it.
    f.size = std::make_pair(1280.0, 800.0);
    w = mutter::windowOf(f, monitor);
    EXPECT_TRUE(w.takesInputAt(0, 0));
    EXPECT_TRUE(w.takesInputAt(1279, 799));
    EXPECT_FALSE(w.takesInputAt(1280, 400));

    // No monitor known: no place at all, so act's guard finds no window to act in.
    EXPECT_FALSE(mutter::windowOf(f, std::nullopt).bounds);

    // The same frame keeps its number; another gets its own.
    EXPECT_EQ(mutter::windowOf(f, monitor).number, w.number);
    mutter::Frame g = f;
    g.path = "/org/a11y/atspi/accessible/2";
    EXPECT_NE(mutter::windowOf(g, monitor).number, w.number);
}

TEST(GnomeBackend, KeymapSymbolsOnEveryLevelOfTheFirstLayout) {
    xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    xkb_rule_names names{"evdev", "pc105", "us,de", "", ""};
    xkb_keymap* map = xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
    ASSERT_NE(map, nullptr);
    char* text = xkb_keymap_get_as_string(map, XKB_KEYMAP_FORMAT_TEXT_V1);
    auto syms = gnomekeys::symbolsOf(text);
    free(text);
    xkb_keymap_unref(map);
    xkb_context_unref(context);

    for (uint32_t s : {XKB_KEY_a, XKB_KEY_A, XKB_KEY_exclam, XKB_KEY_Tab, XKB_KEY_Return,
                       XKB_KEY_Control_L, XKB_KEY_Shift_L})
        EXPECT_TRUE(syms.count(s)) << s;
    // The second layout's umlaut is not typed: Mutter looks in the current group only.
    EXPECT_FALSE(syms.count(XKB_KEY_adiaeresis));
    EXPECT_FALSE(syms.count(XKB_KEY_eacute));
    EXPECT_TRUE(gnomekeys::symbolsOf("not a keymap").empty());
}

} // namespace
