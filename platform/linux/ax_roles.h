#pragma once
// AT-SPI roles in the host's vocabulary.
#include <cstdint>
#include <string>

namespace axlinux {

// The AX role name of an AT-SPI role; multiLine tells a text area from a field.
std::string roleName(uint32_t atspiRole, bool multiLine);
// "AXSecureTextField" for a password text, else "".
std::string subroleName(uint32_t atspiRole);
// Roles whose value is their Text interface's text.
bool textValued(uint32_t atspiRole);
// Frames and dialogs: what the host calls windows.
bool windowRole(uint32_t atspiRole);
bool passwordRole(uint32_t atspiRole);
bool menuItemRole(uint32_t atspiRole);

} // namespace axlinux
