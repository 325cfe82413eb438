#include "watch/input/describe.h"
#include "common/utf16.h"

#include <cmath>

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

std::optional<ax::Value> attr(const ax::ElementRef& element, std::string_view name) {
    if (!element) return std::nullopt;
    return ax::copyAttribute(element, name);
}

std::optional<std::string> str(const ax::ElementRef& element, std::string_view name) {
    auto value = attr(element, name);
    if (!value) return std::nullopt;
    // Backends hand addresses and attributed text over as plain strings already.
    if (auto* s = std::get_if<std::string>(&*value)) return std::move(*s);
    return std::nullopt;
}

std::string labelOf(const ax::ElementRef& element) {
    auto label = [&]() -> std::string {
        for (const char* name : {"AXTitle", "AXDescription", "AXPlaceholderValue"})
            if (auto s = str(element, name); s && !s->empty()) return *s;
        if (auto title = attr(element, "AXTitleUIElement")) {
            if (auto* titleElement = std::get_if<ax::ElementRef>(&*title); titleElement) {
                // The title element's value counts even when empty; then its title isn't tried.
                auto s = str(*titleElement, "AXValue");
                if (!s) s = str(*titleElement, "AXTitle");
                if (s && !s->empty()) return *s;
            }
        }
        if (auto s = str(element, "AXHelp"); s && !s->empty()) return *s;
        return "";
    }();
    return utf16::cut(label, 200);
}

bool secureField(const ax::ElementRef& element, const std::string& label) {
    if (str(element, "AXSubrole") == "AXSecureTextField") return true;
    return !label.empty() && sensitiveText(label);
}

json describe(const ax::ElementRef& element) {
    if (!element) return json::object();
    std::string role = str(element, "AXRole").value_or("");
    std::string subrole = str(element, "AXSubrole").value_or("");
    std::string label = labelOf(element);
    ax::Point position;
    ax::Size size;
    if (auto v = attr(element, "AXPosition"))
        if (auto* p = std::get_if<ax::Point>(&*v)) position = *p;
    if (auto v = attr(element, "AXSize"))
        if (auto* s = std::get_if<ax::Size>(&*v)) size = *s;
    // Whole numbers, half away from zero; written as integers, which is how the host reads them.
    auto whole = [](double v) -> long long {
        return std::isfinite(v) && std::fabs(v) < 1e15 ? std::llround(v) : 0;
    };
    json record = {{"role", role},
                   {"label", label},
                   {"frame",
                    {{"x", whole(position.x)},
                     {"y", whole(position.y)},
                     {"w", whole(size.w)},
                     {"h", whole(size.h)}}}};
    if (!subrole.empty()) record["subrole"] = subrole;
    if (secureField(element, label)) record["secure"] = true;
    return record;
}

std::string clip(const std::optional<std::string>& text, std::size_t limit) {
    return text ? utf16::cut(*text, limit) : std::string();
}
