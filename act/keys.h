#pragma once
// Key and modifier names, lower case, as the host writes them in a combination.
#include <cstdint>
#include <optional>
#include <string_view>

// The virtual key code of a key name.
std::optional<int> keyCode(std::string_view name);

// The flag mask of a modifier name.
std::optional<std::uint64_t> modifierMask(std::string_view name);
