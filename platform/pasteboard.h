#pragma once
// The general pasteboard (on X11: the CLIPBOARD selection).
#include <optional>
#include <string>
#include <vector>

namespace pasteboard {

// Grows by at least one with every change of the pasteboard's owner or content.
long changeCount();

// When the last change was noticed, on loop::now()'s clock; 0 before any.
double changedAt();

// Type identifiers of the current content. The two markers of data not to be recorded are
// reported as "org.nspasteboard.ConcealedType" and "org.nspasteboard.TransientType" whatever
// the backend calls them.
std::vector<std::string> types();

// The content as plain text, if it has a text form.
std::optional<std::string> plainText();

} // namespace pasteboard
