#pragma once
// The three permissions the host asks about. Only tested, never requested.

namespace permissions {

bool accessibilityTrusted(); // the accessibility bus answers
bool listenAccess();         // input events can be listened to
bool screenAccess();         // window pictures can be taken

} // namespace permissions
