#pragma once
// Cuts standard input into lines and parses each into a command.
#include "common/jsonline.h"

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

// The longest unfinished line the reader holds before it gives the line up.
inline constexpr std::size_t maxUnfinishedLine = 0x400000;

struct LineReader {
    std::string buffer;
    // After a line was given up for its size, everything up to and including its line feed is
    // thrown away, so the tail of a huge line can never run as a command of its own.
    bool discarding = false;
};

// Feeds one chunk; calls onCommand with every complete line that parses as a JSON object.
// Empty lines, arrays, scalars and text that is not JSON are dropped.
void feedInput(LineReader& reader, std::string_view chunk,
               const std::function<void(json)>& onCommand);
