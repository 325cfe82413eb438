#pragma once
// The host's virtual key codes at their key positions, shared by the listener and the poster:
// the X key code on evdev-numbered servers, and the keysym on a US layout for servers numbered
// otherwise.
#include <X11/X.h>
#include <span>

namespace keycodes {

struct Place {
    int virtualCode;
    int xCode;
    KeySym usSym;
};

std::span<const Place> places();

// The virtual key code of an X key code whose first keysym is sym; -1 when the key has none.
int virtualCodeOf(int xCode, KeySym sym);

} // namespace keycodes
