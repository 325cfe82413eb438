#include "platform/linux/shared/ax_roles.h"

#include <atspi/atspi-constants.h>
#include <gtest/gtest.h>

using axlinux::cleanName;

TEST(LinuxNames, MenuLabelsLoseTheirPaddingAndClassNamesAreNoLabels) {
    EXPECT_EQ(cleanName("About      "), "About");
    EXPECT_EQ(cleanName("\t Save as…  \n"), "Save as…");
    EXPECT_EQ(cleanName("GtkMenuButton"), "");
    EXPECT_EQ(cleanName("GtkImage"), "");
    EXPECT_EQ(cleanName("QLineEdit"), "");
    // Words that only look like it stay.
    EXPECT_EQ(cleanName("Gtk settings"), "Gtk settings");
    EXPECT_EQ(cleanName("QWERTY"), "QWERTY");
    EXPECT_EQ(cleanName("Quit"), "Quit");
    EXPECT_EQ(cleanName("Gtk"), "Gtk");
    EXPECT_EQ(cleanName(""), "");
}

TEST(LinuxNames, ParagraphsPagesAndTerminalsCarryText) {
    for (auto role : {ATSPI_ROLE_PARAGRAPH, ATSPI_ROLE_SECTION, ATSPI_ROLE_DOCUMENT_WEB})
        EXPECT_TRUE(axlinux::textBearing(role)) << role;
    EXPECT_FALSE(axlinux::textBearing(ATSPI_ROLE_PUSH_BUTTON));
    EXPECT_EQ(axlinux::roleName(ATSPI_ROLE_TERMINAL, false), "AXTextArea");
    EXPECT_TRUE(axlinux::textValued(ATSPI_ROLE_TERMINAL));
}
