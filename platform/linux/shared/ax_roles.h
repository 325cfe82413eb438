#pragma once
// AT-SPI roles in the host's vocabulary.
#include <cstdint>
#include <string>
#include <string_view>

namespace axlinux {

// The AX role name of an AT-SPI role; multiLine tells a text area from a field.
std::string roleName(uint32_t atspiRole, bool multiLine);
// "AXSecureTextField" for a password text, else "".
std::string subroleName(uint32_t atspiRole);
// Roles whose value is their Text interface's text.
bool textValued(uint32_t atspiRole);
// Containers (paragraphs, sections, pages) whose own text is read when they declare the Text
// interface: the words between their children live only there.
bool textBearing(uint32_t atspiRole);
// A name as a person reads it: trimmed, and "" for a toolkit's class name standing in for a
// missing label ("GtkMenuButton", "QLineEdit").
std::string cleanName(std::string_view name);
// Frames and dialogs: what the host calls windows.
bool windowRole(uint32_t atspiRole);
bool passwordRole(uint32_t atspiRole);
bool menuItemRole(uint32_t atspiRole);

} // namespace axlinux
