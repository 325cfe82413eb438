#include "watch/input/describe.h"
#include "common/utf16.h"

std::unique_ptr<icu::RegexPattern> sensitiveLabel;

void compileSensitiveLabel() {
    if (sensitiveLabel) return;
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError{};
    sensitiveLabel.reset(icu::RegexPattern::compile(
        icu::UnicodeString::fromUTF8("pass(word|code|phrase)?|\\bpin\\b|cvv|cvc|security code|"
                                     "\\bssn\\b|social security|one[- ]time code|"
                                     "verification code|2fa|otp"),
        UREGEX_CASE_INSENSITIVE, parseError, status));
    if (U_FAILURE(status)) sensitiveLabel.reset();
}

bool sensitiveText(const std::string& label) {
    if (!sensitiveLabel) return false;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> m(
        sensitiveLabel->matcher(icu::UnicodeString::fromUTF8(label), status));
    return U_SUCCESS(status) && m->find(status);
}

// Placeholders until element description lands; every caller already uses the final signatures.
std::optional<ax::Value> attr(const ax::ElementRef&, std::string_view) {
    return std::nullopt;
}
std::optional<std::string> str(const ax::ElementRef&, std::string_view) {
    return std::nullopt;
}
std::string labelOf(const ax::ElementRef&) {
    return "";
}
bool secureField(const ax::ElementRef&, const std::string&) {
    return false;
}
json describe(const ax::ElementRef&) {
    return json::object();
}
std::string clip(const std::optional<std::string>& text, std::size_t limit) {
    return text ? utf16::cut(*text, limit) : std::string();
}
