#include "platform/linux/wayland/wlroots/keymap.h"

#include <algorithm>
#include <xkbcommon/xkbcommon.h>

namespace vkeymap {
namespace {

// evdev codes for the symbols' keys: the lowest ones that are no modifier (xkb adds 8).
std::vector<uint32_t> freeCodes(std::size_t n) {
    std::vector<uint32_t> codes;
    for (uint32_t code = 1; codes.size() < n && code < 248; ++code)
        if (code != shiftKey && code != controlKey && code != altKey && code != superKey)
            codes.push_back(code);
    return codes;
}

} // namespace

uint32_t Keymap::codeOf(uint32_t keysym) const {
    auto at = std::find(keysyms.begin(), keysyms.end(), keysym);
    if (at == keysyms.end()) return 0;
    return freeCodes(keysyms.size())[static_cast<std::size_t>(at - keysyms.begin())];
}

Keymap build(const std::vector<uint32_t>& wanted) {
    Keymap map;
    for (uint32_t sym : wanted) {
        if (map.keysyms.size() == capacity) break;
        char name[64];
        if (sym == XKB_KEY_NoSymbol || xkb_keysym_get_name(sym, name, sizeof name) <= 0) continue;
        if (std::find(map.keysyms.begin(), map.keysyms.end(), sym) == map.keysyms.end())
            map.keysyms.push_back(sym);
    }
    std::vector<uint32_t> codes = freeCodes(map.keysyms.size());
    std::string keycodes, symbols;
    for (std::size_t i = 0; i < map.keysyms.size(); ++i) {
        char name[64];
        xkb_keysym_get_name(map.keysyms[i], name, sizeof name);
        std::string key = "<K" + std::to_string(codes[i]) + ">";
        keycodes += "    " + key + " = " + std::to_string(codes[i] + 8) + ";\n";
        // One level: the key types its symbol whatever modifiers are held.
        symbols += "    key " + key + " { type = \"ONE_LEVEL\", [ " + name + " ] };\n";
    }
    map.text = "xkb_keymap {\n"
               "  xkb_keycodes \"act\" {\n    minimum = 8;\n    maximum = 255;\n"
               "    <LFSH> = 50;\n    <LCTL> = 37;\n    <LALT> = 64;\n    <LWIN> = 133;\n" +
               keycodes +
               "  };\n"
               "  xkb_types \"act\" { include \"complete\" };\n"
               "  xkb_compatibility \"act\" { include \"complete\" };\n"
               "  xkb_symbols \"act\" {\n"
               "    key <LFSH> { [ Shift_L ] };\n    key <LCTL> { [ Control_L ] };\n"
               "    key <LALT> { [ Alt_L ] };\n    key <LWIN> { [ Super_L ] };\n"
               "    modifier_map Shift { <LFSH> };\n    modifier_map Control { <LCTL> };\n"
               "    modifier_map Mod1 { <LALT> };\n    modifier_map Mod4 { <LWIN> };\n" +
               symbols + "  };\n};\n";
    return map;
}

uint32_t keysymOf(char32_t cp) {
    switch (cp) {
    case U'\t':
        return XKB_KEY_Tab;
    case U'\n':
    case U'\r':
        return XKB_KEY_Return;
    case 0x08:
    case 0x7f:
        return XKB_KEY_BackSpace;
    case 0x1b:
        return XKB_KEY_Escape;
    default:
        if (cp < 0x20 || (cp >= 0x80 && cp < 0xa0)) return XKB_KEY_NoSymbol;
        return xkb_utf32_to_keysym(cp);
    }
}

} // namespace vkeymap
