#include "act/guard.h"
#include "act/reply.h"
#include "common/utf16.h"
#include "platform/system.h"
#include "platform/windows.h"
#include "platform/workspace.h"

#include <memory>
#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

namespace {

bool ordinary(const windows::Info& w) {
    return w.layer == 0 && w.alpha > 0 && w.bounds && w.bounds->width >= 2 && w.bounds->height >= 2;
}

bool removable(UChar32 c) {
    switch (u_charType(c)) {
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR:
    case U_UNASSIGNED:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
        return true;
    default:
        return false;
    }
}

bool trimmable(UChar32 c) {
    return c == '\t' || u_charType(c) == U_SPACE_SEPARATOR;
}

} // namespace

void guardFront() {
    if (only < 1) fail("Which app the input is for is missing.");
    // Every read below asks the window server itself, so there is nothing to catch up on first.
    auto front = workspace::frontApplication();
    if (!front || front->pid != only) fail("The app in front changed, so nothing was sent.");
    auto list = windows::onScreen();
    int firstOwner = -1;
    bool seenFirst = false, targetHasWindow = false;
    if (list) {
        for (const windows::Info& w : *list) {
            if (!ordinary(w)) continue;
            if (!seenFirst) {
                firstOwner = w.pid;
                seenFirst = true;
            }
            if (w.pid == only) {
                targetHasWindow = true;
                break;
            }
        }
    }
    if (firstOwner == only) return;
    refuseWindow(firstOwner, targetHasWindow, "The window in front is");
}

int ownerAt(double x, double y) {
    auto list = windows::onScreen();
    if (!list) return -1;
    for (const windows::Info& w : *list) {
        if (!w.bounds || w.alpha <= 0) continue;
        if (w.takesInputAt(x, y)) return w.pid;
    }
    return -1;
}

void refuseWindow(int owner, bool targetHasWindow, std::string_view prefix) {
    std::optional<workspace::App> app;
    if (owner >= 1) app = workspace::runningApplication(owner);
    if (app && (app->bundle.starts_with("com.apple.appkit.xpc.openAndSavePanelService") ||
                app->name.find("Open and Save Panel") != std::string::npos))
        fail("A system Open or Save panel is in front. macOS keeps these panels apart from the "
             "app, so Zephrin doesn't click or type in them; ask the person to choose the file "
             "there, then continue.");
    if (!targetHasWindow)
        fail("The app in front has no open window, so nothing was sent. Open a window in it (for "
             "example File \u203a New), take a screenshot and try again.");
    std::string name = plainName(app ? app->name : "");
    std::string description = owner == sys::parentProcessId() ? "Zephrin's own window"
                              : !name.empty()                 ? "a window of " + name
                                                              : "another app's window";
    fail(std::string(prefix) + " " + description +
         ", so nothing was sent. Take a screenshot and try again.");
}

void checkPoint(double x, double y) {
    int owner = ownerAt(x, y);
    if (owner != only) refuseWindow(owner, true, "That spot is on");
}

std::string plainName(std::string_view name) {
    icu::UnicodeString in = icu::UnicodeString::fromUTF8(utf16::sanitize(name));
    icu::UnicodeString kept;
    for (int32_t i = 0; i < in.length();) {
        UChar32 c = in.char32At(i);
        if (!removable(c)) kept.append(c);
        i += U16_LENGTH(c);
    }
    int32_t start = 0, end = kept.length();
    while (start < end && trimmable(kept.char32At(start)))
        start += U16_LENGTH(kept.char32At(start));
    while (end > start && trimmable(kept.char32At(end - 1)))
        end -= U16_LENGTH(kept.char32At(end - 1));
    icu::UnicodeString clean = kept.tempSubStringBetween(start, end);
    if (clean.length() > 80) {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> clusters(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        int32_t keep = 0;
        if (U_SUCCESS(status)) {
            clusters->setText(clean);
            for (int32_t b = clusters->next(); b != icu::BreakIterator::DONE && b <= 79;
                 b = clusters->next())
                keep = b;
        } else {
            keep = 79;
            if (U16_IS_LEAD(clean.charAt(78))) keep = 78;
        }
        clean.truncate(keep);
        clean.append(static_cast<UChar32>(0x2026));
    }
    std::string out;
    clean.toUTF8String(out);
    return out;
}
