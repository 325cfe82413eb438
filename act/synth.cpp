#include "act/synth.h"
#include "act/guard.h"
#include "act/keys.h"
#include "act/reply.h"

#include <memory>
#include <unicode/brkiter.h>
#include <unicode/unistr.h>
#include <vector>

namespace {

constexpr int afterMove = 30;  // before a click, drag or scroll
constexpr int afterClick = 30; // after each down/up pair, and after a drag's button-down
constexpr int dragStepPause = 12;
constexpr int dragSteps = 12;
constexpr int afterCharacter = 8;
// One key event carries at most this many UTF-16 units.
constexpr int32_t unitsPerKey = 16;

post::Mouse mouse(post::MouseType type, post::Button button, double x, double y, int state = 1) {
    return post::Mouse{type, button, x, y, state};
}

void typeUnits(const std::u16string& units) {
    postOrFail(post::Key{0, true, 0, units});
    postOrFail(post::Key{0, false, 0, units});
    post::pause(afterCharacter);
}

} // namespace

void postOrFail(const post::Event& event) {
    switch (post::post(event)) {
    case post::Result::Delivered:
        return;
    case post::Result::Refused:
        fail("macOS refused the input event.");
    case post::Result::Late:
        fail(lateSentence);
    case post::Result::Unread:
        fail(unreadSentence);
    }
}

void move(double x, double y) {
    guardFront();
    checkPoint(x, y);
    postOrFail(mouse(post::MouseType::Moved, post::Button::Left, x, y));
}

void click(post::Button button, int count, double x, double y) {
    guardFront();
    checkPoint(x, y);
    postOrFail(mouse(post::MouseType::Moved, post::Button::Left, x, y));
    post::pause(afterMove);
    bool left = button == post::Button::Left;
    for (int i = 1; i <= count; ++i) {
        guardFront();
        checkPoint(x, y);
        postOrFail(
            mouse(left ? post::MouseType::LeftDown : post::MouseType::RightDown, button, x, y, i));
        postOrFail(
            mouse(left ? post::MouseType::LeftUp : post::MouseType::RightUp, button, x, y, i));
        post::pause(afterClick);
    }
}

void drag(double x1, double y1, double x2, double y2) {
    guardFront();
    checkPoint(x1, y1);
    guardFront();
    checkPoint(x2, y2);
    postOrFail(mouse(post::MouseType::Moved, post::Button::Left, x1, y1));
    post::pause(afterMove);
    postOrFail(mouse(post::MouseType::LeftDown, post::Button::Left, x1, y1));
    post::pause(afterClick);
    for (int i = 1; i <= dragSteps; ++i) {
        double x = x1 + (x2 - x1) * i / dragSteps;
        double y = y1 + (y2 - y1) * i / dragSteps;
        postOrFail(mouse(post::MouseType::LeftDragged, post::Button::Left, x, y));
        post::pause(dragStepPause);
    }
    postOrFail(mouse(post::MouseType::LeftUp, post::Button::Left, x2, y2));
}

void scroll(double x, double y, int vertical, int horizontal) {
    guardFront();
    checkPoint(x, y);
    postOrFail(mouse(post::MouseType::Moved, post::Button::Left, x, y));
    post::pause(afterMove);
    postOrFail(post::Wheel{vertical, horizontal});
}

void typeText(const std::string& text) {
    guardFront();
    icu::UnicodeString units = icu::UnicodeString::fromUTF8(text);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> clusters(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) fail("macOS refused the input event.");
    clusters->setText(units);
    post::prepareText(std::u16string(units.getBuffer(), units.getBuffer() + units.length()));
    int32_t start = clusters->first();
    for (int32_t end = clusters->next(); end != icu::BreakIterator::DONE;
         start = end, end = clusters->next()) {
        guardFront();
        // A longer sequence goes out in several key events rather than losing its tail; a
        // cut never splits a surrogate pair.
        for (int32_t from = start; from < end;) {
            int32_t to = std::min(end, from + unitsPerKey);
            if (to < end && U16_IS_LEAD(units.charAt(to - 1))) --to;
            typeUnits(std::u16string(units.getBuffer() + from, units.getBuffer() + to));
            from = to;
        }
    }
    // "ok" says the text is in the app, not only on its way.
    if (!post::keysRead()) fail(unreadSentence);
}

void pressKey(const std::string& combination) {
    icu::UnicodeString lowered = icu::UnicodeString::fromUTF8(combination);
    lowered.toLower(icu::Locale::getRoot());
    std::string lower;
    lowered.toUTF8String(lower);
    std::vector<std::string> parts;
    for (std::size_t from = 0;;) {
        std::size_t plus = lower.find('+', from);
        parts.push_back(lower.substr(from, plus == std::string::npos ? plus : plus - from));
        if (plus == std::string::npos) break;
        from = plus + 1;
    }
    auto code = keyCode(parts.back());
    if (!code) fail("Unknown key.");
    guardFront();
    std::uint64_t flags = 0;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        auto mask = modifierMask(parts[i]);
        if (!mask) fail("Unknown modifier " + parts[i] + ".");
        flags |= *mask;
    }
    postOrFail(post::Key{*code, true, flags, {}});
    postOrFail(post::Key{*code, false, flags, {}});
}
