#include "platform/linux/shared/ax_roles.h"

#include <atspi/atspi-constants.h>

#include <algorithm>
#include <cctype>
#include <unordered_map>

namespace axlinux {
namespace {

struct RoleInfo {
    const char* name;
    bool text = false;    // value is the Text interface's text
    bool bearing = false; // a container that may hold text of its own (paragraphs, pages)
};

// The one table. Roles without a counterpart on the host keep a clear AX-style name.
const std::unordered_map<uint32_t, RoleInfo>& table() {
    // Never destroyed: the event thread reads it until the process is gone.
    static const auto& t = *new std::unordered_map<uint32_t, RoleInfo>{
        {ATSPI_ROLE_PUSH_BUTTON, {"AXButton"}},
        {ATSPI_ROLE_TOGGLE_BUTTON, {"AXCheckBox"}},
        {ATSPI_ROLE_CHECK_BOX, {"AXCheckBox"}},
        {ATSPI_ROLE_RADIO_BUTTON, {"AXRadioButton"}},
        {ATSPI_ROLE_ENTRY, {"AXTextField", true}},
        {ATSPI_ROLE_TEXT, {"AXTextField", true}},
        {ATSPI_ROLE_PASSWORD_TEXT, {"AXTextField", true}},
        {ATSPI_ROLE_EDITBAR, {"AXTextField", true}},
        {ATSPI_ROLE_SPIN_BUTTON, {"AXIncrementor", true}},
        {ATSPI_ROLE_COMBO_BOX, {"AXComboBox", true}},
        {ATSPI_ROLE_LABEL, {"AXStaticText", true}},
        {ATSPI_ROLE_STATIC, {"AXStaticText", true}},
        {ATSPI_ROLE_CAPTION, {"AXStaticText", true}},
        {ATSPI_ROLE_ACCELERATOR_LABEL, {"AXStaticText", true}},
        {ATSPI_ROLE_PARAGRAPH, {"AXGroup", false, true}},
        {ATSPI_ROLE_HEADING, {"AXHeading", true}},
        {ATSPI_ROLE_LINK, {"AXLink", true}},
        {ATSPI_ROLE_TABLE_CELL, {"AXCell", true}},
        {ATSPI_ROLE_COLUMN_HEADER, {"AXColumnHeader", true}},
        {ATSPI_ROLE_ROW_HEADER, {"AXRowHeader", true}},
        {ATSPI_ROLE_TABLE, {"AXTable"}},
        {ATSPI_ROLE_TREE_TABLE, {"AXOutline"}},
        {ATSPI_ROLE_TREE, {"AXOutline"}},
        {ATSPI_ROLE_TABLE_ROW, {"AXRow"}},
        {ATSPI_ROLE_TREE_ITEM, {"AXRow"}},
        {ATSPI_ROLE_LIST, {"AXList"}},
        {ATSPI_ROLE_LIST_BOX, {"AXList"}},
        {ATSPI_ROLE_LIST_ITEM, {"AXGroup", false, true}},
        {ATSPI_ROLE_MENU_ITEM, {"AXMenuItem"}},
        {ATSPI_ROLE_CHECK_MENU_ITEM, {"AXMenuItem"}},
        {ATSPI_ROLE_RADIO_MENU_ITEM, {"AXMenuItem"}},
        {ATSPI_ROLE_TEAROFF_MENU_ITEM, {"AXMenuItem"}},
        {ATSPI_ROLE_MENU, {"AXMenu"}},
        {ATSPI_ROLE_POPUP_MENU, {"AXMenu"}},
        {ATSPI_ROLE_MENU_BAR, {"AXMenuBar"}},
        {ATSPI_ROLE_FRAME, {"AXWindow"}},
        {ATSPI_ROLE_DIALOG, {"AXWindow"}},
        {ATSPI_ROLE_FILE_CHOOSER, {"AXWindow"}},
        {ATSPI_ROLE_ALERT, {"AXWindow"}},
        {ATSPI_ROLE_WINDOW, {"AXWindow"}},
        {ATSPI_ROLE_DOCUMENT_WEB, {"AXWebArea", false, true}},
        // Firefox's own window is a document frame: the page is the "document web" inside it.
        {ATSPI_ROLE_DOCUMENT_FRAME, {"AXGroup", false, true}},
        {ATSPI_ROLE_DOCUMENT_TEXT, {"AXTextArea", true}},
        {ATSPI_ROLE_DOCUMENT_EMAIL, {"AXTextArea", true}},
        {ATSPI_ROLE_TERMINAL, {"AXTextArea", true}},
        {ATSPI_ROLE_APPLICATION, {"AXApplication"}},
        {ATSPI_ROLE_IMAGE, {"AXImage"}},
        {ATSPI_ROLE_ICON, {"AXImage"}},
        {ATSPI_ROLE_SLIDER, {"AXSlider"}},
        {ATSPI_ROLE_SCROLL_BAR, {"AXScrollBar"}},
        {ATSPI_ROLE_SCROLL_PANE, {"AXScrollArea"}},
        {ATSPI_ROLE_PROGRESS_BAR, {"AXProgressIndicator"}},
        {ATSPI_ROLE_LEVEL_BAR, {"AXLevelIndicator"}},
        {ATSPI_ROLE_PAGE_TAB_LIST, {"AXTabGroup"}},
        {ATSPI_ROLE_PAGE_TAB, {"AXRadioButton"}},
        {ATSPI_ROLE_TOOL_BAR, {"AXToolbar"}},
        {ATSPI_ROLE_SEPARATOR, {"AXSplitter"}},
        {ATSPI_ROLE_SPLIT_PANE, {"AXSplitGroup"}},
        {ATSPI_ROLE_TOOL_TIP, {"AXHelpTag"}},
        {ATSPI_ROLE_STATUS_BAR, {"AXGroup"}},
        {ATSPI_ROLE_PANEL, {"AXGroup", false, true}},
        {ATSPI_ROLE_FILLER, {"AXGroup"}},
        {ATSPI_ROLE_SECTION, {"AXGroup", false, true}},
        {ATSPI_ROLE_FORM, {"AXGroup", false, true}},
        {ATSPI_ROLE_ARTICLE, {"AXGroup", false, true}},
        {ATSPI_ROLE_LANDMARK, {"AXGroup", false, true}},
        {ATSPI_ROLE_BLOCK_QUOTE, {"AXGroup", false, true}},
        {ATSPI_ROLE_GROUPING, {"AXGroup"}},
        {ATSPI_ROLE_VIEWPORT, {"AXGroup"}},
        {ATSPI_ROLE_ROOT_PANE, {"AXGroup"}},
        {ATSPI_ROLE_LAYERED_PANE, {"AXGroup"}},
        {ATSPI_ROLE_CANVAS, {"AXGroup"}},
        {ATSPI_ROLE_DRAWING_AREA, {"AXGroup"}},
        {ATSPI_ROLE_COLOR_CHOOSER, {"AXColorWell"}},
        {ATSPI_ROLE_DESCRIPTION_LIST, {"AXList"}},
        {ATSPI_ROLE_DESCRIPTION_TERM, {"AXGroup", false, true}},
        {ATSPI_ROLE_DESCRIPTION_VALUE, {"AXGroup", false, true}},
        {ATSPI_ROLE_IMAGE_MAP, {"AXImage"}},
        {ATSPI_ROLE_MATH, {"AXGroup"}},
        {ATSPI_ROLE_FOOTER, {"AXGroup", false, true}},
        {ATSPI_ROLE_HEADER, {"AXGroup", false, true}},
    };
    return t;
}

} // namespace

std::string roleName(uint32_t atspiRole, bool multiLine) {
    if ((atspiRole == ATSPI_ROLE_TEXT || atspiRole == ATSPI_ROLE_ENTRY) && multiLine)
        return "AXTextArea";
    auto it = table().find(atspiRole);
    return it != table().end() ? it->second.name : "AXUnknown";
}

std::string subroleName(uint32_t atspiRole) {
    return atspiRole == ATSPI_ROLE_PASSWORD_TEXT ? "AXSecureTextField" : "";
}

bool textValued(uint32_t atspiRole) {
    auto it = table().find(atspiRole);
    return it != table().end() && it->second.text;
}

bool textBearing(uint32_t atspiRole) {
    auto it = table().find(atspiRole);
    return it != table().end() && it->second.bearing;
}

// Toolkits pad menu labels to line up their accelerators, and some name a widget that has no
// label by its class ("GtkMenuButton"), which is no label at all.
std::string cleanName(std::string_view name) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!name.empty() && blank(name.front()))
        name.remove_prefix(1);
    while (!name.empty() && blank(name.back()))
        name.remove_suffix(1);
    for (std::string_view prefix : {"Gtk", "Gdk", "Q"})
        if (name.size() > prefix.size() + 1 && name.starts_with(prefix) &&
            std::isupper(static_cast<unsigned char>(name[prefix.size()])) &&
            std::islower(static_cast<unsigned char>(name[prefix.size() + 1])) &&
            std::all_of(name.begin(), name.end(),
                        [](char c) { return std::isalnum(static_cast<unsigned char>(c)); }))
            return "";
    return std::string(name);
}

bool windowRole(uint32_t atspiRole) {
    return atspiRole == ATSPI_ROLE_FRAME || atspiRole == ATSPI_ROLE_DIALOG ||
           atspiRole == ATSPI_ROLE_FILE_CHOOSER || atspiRole == ATSPI_ROLE_ALERT ||
           atspiRole == ATSPI_ROLE_WINDOW;
}

bool passwordRole(uint32_t atspiRole) {
    return atspiRole == ATSPI_ROLE_PASSWORD_TEXT;
}

bool menuItemRole(uint32_t atspiRole) {
    return atspiRole == ATSPI_ROLE_MENU_ITEM || atspiRole == ATSPI_ROLE_CHECK_MENU_ITEM ||
           atspiRole == ATSPI_ROLE_RADIO_MENU_ITEM || atspiRole == ATSPI_ROLE_TEAROFF_MENU_ITEM;
}

} // namespace axlinux
