#pragma once
// Describing accessibility elements; labels that read like secret prompts hide values.
#include "common/jsonline.h"
#include "platform/ax.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unicode/regex.h>

extern std::unique_ptr<icu::RegexPattern> sensitiveLabel;

void compileSensitiveLabel();

// True when the label reads like a password, PIN or code prompt.
bool sensitiveText(const std::string& label);

// One attribute's raw value; nullopt for a null element, a failed read or a null value.
std::optional<ax::Value> attr(const ax::ElementRef& element, std::string_view name);
// One attribute as text; nullopt when it is not text.
std::optional<std::string> str(const ax::ElementRef& element, std::string_view name);
// The human-readable label, "" when none; at most 200 UTF-16 code units.
std::string labelOf(const ax::ElementRef& element);
// True for a secure text field or a label that reads like a secret prompt.
bool secureField(const ax::ElementRef& element, const std::string& label);
// {"role","subrole"?,"label","frame","secure"?}; {} for a null element. Blocks: axQueue only.
json describe(const ax::ElementRef& element);
// The first `limit` UTF-16 code units of text ("" for none); a surrogate pair is kept whole.
std::string clip(const std::optional<std::string>& text, std::size_t limit);
