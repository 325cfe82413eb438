#include "platform/input.h"
#include "platform/linux/ax_track.h"

namespace input {

// X has no system-wide secure-entry flag: a password text holding the focus anywhere on the
// desktop stands for it, as the accessibility bus's focus events tell.
bool secureInputEnabled() {
    axtrack::start();
    return axtrack::passwordFocused();
}

} // namespace input
