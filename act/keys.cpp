#include "act/keys.h"
#include "platform/post.h"

#include <array>
#include <utility>

namespace {

constexpr std::array<std::pair<std::string_view, int>, 76> keys{{
    {"a", 0},
    {"s", 1},
    {"d", 2},
    {"f", 3},
    {"h", 4},
    {"g", 5},
    {"z", 6},
    {"x", 7},
    {"c", 8},
    {"v", 9},
    {"b", 11},
    {"q", 12},
    {"w", 13},
    {"e", 14},
    {"r", 15},
    {"y", 16},
    {"t", 17},
    {"o", 31},
    {"u", 32},
    {"i", 34},
    {"p", 35},
    {"l", 37},
    {"j", 38},
    {"k", 40},
    {"n", 45},
    {"m", 46},
    {"1", 18},
    {"2", 19},
    {"3", 20},
    {"4", 21},
    {"6", 22},
    {"5", 23},
    {"9", 25},
    {"7", 26},
    {"8", 28},
    {"0", 29},
    {"equal", 24},
    {"minus", 27},
    {"rightbracket", 30},
    {"leftbracket", 33},
    {"quote", 39},
    {"semicolon", 41},
    {"backslash", 42},
    {"comma", 43},
    {"slash", 44},
    {"period", 47},
    {"grave", 50},
    {"return", 36},
    {"enter", 36},
    {"tab", 48},
    {"space", 49},
    {"delete", 51},
    {"backspace", 51},
    {"esc", 53},
    {"escape", 53},
    {"forwarddelete", 117},
    {"f1", 122},
    {"f2", 120},
    {"f3", 99},
    {"f4", 118},
    {"f5", 96},
    {"f6", 97},
    {"f7", 98},
    {"f8", 100},
    {"f9", 101},
    {"f10", 109},
    {"f11", 103},
    {"f12", 111},
    {"home", 115},
    {"pageup", 116},
    {"end", 119},
    {"pagedown", 121},
    {"left", 123},
    {"right", 124},
    {"down", 125},
    {"up", 126},
}};

constexpr std::array<std::pair<std::string_view, std::uint64_t>, 9> modifiers{{
    {"shift", post::shiftMask},
    {"ctrl", post::controlMask},
    {"control", post::controlMask},
    {"alt", post::alternateMask},
    {"opt", post::alternateMask},
    {"option", post::alternateMask},
    {"cmd", post::commandMask},
    {"command", post::commandMask},
    {"fn", post::functionMask},
}};

} // namespace

std::optional<int> keyCode(std::string_view name) {
    for (const auto& [n, code] : keys)
        if (n == name) return code;
    return std::nullopt;
}

std::optional<std::uint64_t> modifierMask(std::string_view name) {
    for (const auto& [n, mask] : modifiers)
        if (n == name) return mask;
    return std::nullopt;
}
