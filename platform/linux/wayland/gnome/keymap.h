#pragma once
// What the seat's keyboard can type on GNOME: Mutter sends a key symbol only through a key that
// has it, so text is checked against the keymap before any of it goes.
#include <cstdint>
#include <optional>
#include <set>
#include <string>

namespace gnomekeys {

// Every symbol on some level of the keymap's first layout.
std::set<uint32_t> symbolsOf(const std::string& keymapText);

// The seat keyboard's symbols; nullopt when no compositor or keyboard answers.
std::optional<std::set<uint32_t>> typeable();

} // namespace gnomekeys
