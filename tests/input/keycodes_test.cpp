// gtest first: X's headers define macros (None) that its templates use as names.
#include <gtest/gtest.h>
#include <set>

#include "platform/linux/shared/keycodes.h"

#include <X11/keysym.h>

TEST(KeyCodes, OnePlacePerKeyBothWays) {
    std::set<int> virtualCodes, xCodes;
    for (auto& p : keycodes::places()) {
        EXPECT_TRUE(virtualCodes.insert(p.virtualCode).second) << p.virtualCode;
        EXPECT_TRUE(xCodes.insert(p.xCode).second) << p.xCode;
        EXPECT_EQ(keycodes::virtualCodeOf(p.xCode, NoSymbol), p.virtualCode);
    }
}

TEST(KeyCodes, ByPositionThenByUsKeysym) {
    EXPECT_EQ(keycodes::virtualCodeOf(38, XK_q), 0) << "the ANSI A position is a on any layout";
    EXPECT_EQ(keycodes::virtualCodeOf(104, XK_KP_Enter), 76);
    EXPECT_EQ(keycodes::virtualCodeOf(36, XK_Return), 36);
    EXPECT_EQ(keycodes::virtualCodeOf(250, XK_s), 1) << "a server numbered otherwise";
    EXPECT_EQ(keycodes::virtualCodeOf(250, XK_Katakana), -1);
    EXPECT_EQ(keycodes::virtualCodeOf(250, NoSymbol), -1);
}
