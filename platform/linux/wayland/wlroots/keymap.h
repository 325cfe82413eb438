#pragma once
// The keymap act's virtual keyboard uploads: one key per symbol it will press, so that no key of
// the person's keyboard is borrowed and every character has a key of its own.
#include <cstdint>
#include <string>
#include <vector>

namespace vkeymap {

// The modifier keys every keymap holds, at fixed evdev codes.
inline constexpr uint32_t shiftKey = 42, controlKey = 29, altKey = 56, superKey = 125;

struct Keymap {
    std::string text;              // XKB_KEYMAP_FORMAT_TEXT_V1
    std::vector<uint32_t> keysyms; // what each key types, in order of their evdev codes
    // The evdev code of a symbol's key; 0 when the keymap has none.
    uint32_t codeOf(uint32_t keysym) const;
};

// The most symbols one keymap holds; a text needing more is typed with several.
inline constexpr std::size_t capacity = 200;

// A keymap holding the modifiers and each distinct symbol (at most capacity of them; keysyms
// that XKB can't name are left out).
Keymap build(const std::vector<uint32_t>& keysyms);

// The symbol a code point types: control characters as the keys that type them (tab, return,
// backspace, escape); 0 when there is none.
uint32_t keysymOf(char32_t cp);

} // namespace vkeymap
