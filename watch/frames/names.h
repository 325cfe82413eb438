#pragma once
// Finding personal names in text.
#include <string>
#include <string_view>
#include <vector>

// The personal names in text, each exactly as written, distinct, in order of first appearance.
// Only the first 200,000 UTF-16 code units are read.
std::vector<std::string> personalNames(std::string_view text);
