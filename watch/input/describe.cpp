#include "watch/input/describe.h"

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
