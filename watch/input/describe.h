#pragma once
// Describing accessibility elements; labels that read like secret prompts hide values.
#include <memory>
#include <string>
#include <unicode/regex.h>

extern std::unique_ptr<icu::RegexPattern> sensitiveLabel;

void compileSensitiveLabel();

// True when the label reads like a password, PIN or code prompt.
bool sensitiveText(const std::string& label);
