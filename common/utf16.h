#pragma once
// Every length limit in the helpers counts UTF-16 code units, as the host does.
#include <cstddef>
#include <string>
#include <string_view>

namespace utf16 {

// Number of UTF-16 code units the UTF-8 text would take. Invalid bytes count as U+FFFD (one unit).
std::size_t count(std::string_view utf8);

// The longest prefix of at most `units` UTF-16 code units; never splits a surrogate pair
// or a UTF-8 sequence.
std::string cut(std::string_view utf8, std::size_t units);

// Replaces every byte sequence that is not valid UTF-8 with U+FFFD.
std::string sanitize(std::string_view bytes);

} // namespace utf16
