#include "platform/input.h"

namespace input {

// X has no system-wide secure-entry flag; the accessibility backend stands in for it by
// watching for a focused password text. Until it does, nothing reads as secure.
bool secureInputEnabled() {
    return false;
}

} // namespace input
