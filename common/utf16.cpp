#include "common/utf16.h"

#include <unicode/utf8.h>

namespace utf16 {
namespace {

// Walks one code point; returns its length in bytes and sets cp (negative when invalid).
std::size_t step(std::string_view s, std::size_t i, UChar32& cp) {
    int32_t pos = static_cast<int32_t>(i);
    int32_t len = static_cast<int32_t>(s.size());
    U8_NEXT(reinterpret_cast<const uint8_t*>(s.data()), pos, len, cp);
    return static_cast<std::size_t>(pos) - i;
}

} // namespace

std::size_t count(std::string_view utf8) {
    std::size_t units = 0;
    for (std::size_t i = 0; i < utf8.size();) {
        UChar32 cp;
        i += step(utf8, i, cp);
        units += (cp > 0xFFFF) ? 2 : 1;
    }
    return units;
}

std::string cut(std::string_view utf8, std::size_t units) {
    std::size_t used = 0;
    std::size_t i = 0;
    while (i < utf8.size()) {
        UChar32 cp;
        std::size_t n = step(utf8, i, cp);
        std::size_t w = (cp > 0xFFFF) ? 2 : 1;
        if (used + w > units) break;
        used += w;
        i += n;
    }
    return std::string(utf8.substr(0, i));
}

std::string sanitize(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        UChar32 cp;
        std::size_t n = step(bytes, i, cp);
        if (cp < 0)
            out += "\xEF\xBF\xBD";
        else
            out.append(bytes.substr(i, n));
        i += n;
    }
    return out;
}

} // namespace utf16
