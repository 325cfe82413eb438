#include "act/act.h"
#include "act/guard.h"
#include "act/reply.h"
#include "act/synth.h"
#include "platform/post.h"
#include "platform/workspace.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <unicode/utf8.h>

namespace {

// A trailing "--pid" N pair names the target; it counts only as the last two of four or more words.
void readTarget() {
    if (argc_ < 4 || argv_[static_cast<std::size_t>(argc_ - 2)] != "--pid") return;
    const char* word = argv_[static_cast<std::size_t>(argc_ - 1)].c_str();
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(word, &end, 10);
    if (end == word || *end != '\0' || errno == ERANGE || value < 1 || value > INT_MAX)
        fail("Invalid pid.");
    only = static_cast<int>(value);
    argc_ -= 2;
}

bool validUtf8(const std::string& s) {
    for (int32_t i = 0, n = static_cast<int32_t>(s.size()); i < n;) {
        UChar32 c;
        U8_NEXT(reinterpret_cast<const uint8_t*>(s.data()), i, n, c);
        if (c < 0) return false;
    }
    return true;
}

// Control characters that are keys: tab, the line breaks, backspace and delete (both delete
// backwards, as the Delete key on macOS types U+007F), escape. Toolkits drop the others, so a
// text holding them is refused before anything is typed rather than typed with holes.
bool onlyKeyControls(const std::string& s) {
    for (int32_t i = 0, n = static_cast<int32_t>(s.size()); i < n;) {
        UChar32 c;
        U8_NEXT(reinterpret_cast<const uint8_t*>(s.data()), i, n, c);
        bool control = c < 0x20 || (c >= 0x7f && c <= 0x9f);
        if (control && c != '\t' && c != '\n' && c != '\r' && c != '\b' && c != 0x1b && c != 0x7f)
            return false;
    }
    return true;
}

// The leading integer of the word, read like atoi but without its overflow: values too
// large for an int saturate instead of wrapping into range.
long leadingInteger(const std::string& word) {
    return std::strtol(word.c_str(), nullptr, 10);
}

const std::string& word(int position) {
    return argv_[static_cast<std::size_t>(position)];
}

json appReply(const std::optional<workspace::App>& app, int pid) {
    return {{"ok", true},
            {"pid", pid},
            {"name", app ? app->name : ""},
            {"bundle_id", app ? app->bundle : ""}};
}

[[noreturn]] void ok() {
    reply({{"ok", true}}, 0);
}

[[noreturn]] void scrollAction() {
    double x = number(2), y = number(3);
    if (argc_ < 6) fail("Invalid scroll.");
    long amount = leadingInteger(word(5));
    if (amount < 1 || amount > 50) fail("Invalid scroll amount.");
    int n = static_cast<int>(amount);
    const std::string& direction = word(4);
    int vertical = 0, horizontal = 0;
    if (direction == "up")
        vertical = n;
    else if (direction == "down")
        vertical = -n;
    else if (direction == "left")
        horizontal = n;
    else if (direction == "right")
        horizontal = -n;
    else
        fail("Invalid scroll direction.");
    scroll(x, y, vertical, horizontal);
    ok();
}

} // namespace

void runAct(int argc, char** argv) {
    post::whenConnectionLost([] {
        answerWithoutPosting({{"ok", false}, {"error", "macOS refused the input event."}}, 2);
    });
    argv_.assign(argv, argv + argc);
    argc_ = argc;
    only = 0;
    readTarget();
    if (argc_ <= 1) fail("No action.");
    const std::string& action = word(1);

    if (action == "trusted") reply({{"ok", true}, {"trusted", post::inputTrusted()}}, 0);
    if (action == "frontmost") {
        auto app = workspace::frontApplication();
        if (!app) reply({{"ok", true}, {"name", nullptr}, {"bundle_id", nullptr}}, 0);
        reply({{"ok", true}, {"name", app->name}, {"bundle_id", app->bundle}, {"pid", app->pid}},
              0);
    }
    if (action == "window-at") {
        double x = number(2), y = number(3);
        int pid = ownerAt(x, y);
        std::optional<workspace::App> app;
        if (pid >= 1) app = workspace::runningApplication(pid);
        reply(appReply(app, pid), 0);
    }
    if (action == "move") {
        double x = number(2), y = number(3);
        move(x, y);
        ok();
    }
    if (action == "click" || action == "double_click" || action == "right_click") {
        double x = number(2), y = number(3);
        click(action == "right_click" ? post::Button::Right : post::Button::Left,
              action == "double_click" ? 2 : 1, x, y);
        ok();
    }
    if (action == "drag") {
        double x1 = number(2), y1 = number(3), x2 = number(4), y2 = number(5);
        drag(x1, y1, x2, y2);
        ok();
    }
    if (action == "scroll") scrollAction();
    if (action == "type") {
        if (argc_ < 3 || word(2).empty()) fail("Nothing to type.");
        if (!validUtf8(word(2))) fail("Text must be UTF-8.");
        if (!onlyKeyControls(word(2)))
            fail("Text may hold no control characters but tab, line feed, carriage return, "
                 "backspace, delete and escape.");
        typeText(word(2));
        ok();
    }
    if (action == "key") {
        if (argc_ < 3) fail("No keys.");
        pressKey(word(2));
        ok();
    }
    fail("Unknown action.");
}
