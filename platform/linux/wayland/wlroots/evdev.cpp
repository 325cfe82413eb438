#include "platform/linux/wayland/wlroots/evdev.h"
#include "platform/linux/shared/keycodes.h"

#include <X11/X.h>
#include <dirent.h>
#include <linux/input-event-codes.h>
#include <unistd.h>

namespace evdev {
namespace {

uint64_t maskOf(uint16_t code) {
    switch (code) {
    case KEY_LEFTSHIFT:
    case KEY_RIGHTSHIFT:
        return input::maskShift;
    case KEY_LEFTCTRL:
    case KEY_RIGHTCTRL:
        return input::maskControl;
    case KEY_LEFTALT:
    case KEY_RIGHTALT:
        return input::maskAlternate;
    case KEY_LEFTMETA:
    case KEY_RIGHTMETA:
        return input::maskCommand;
    default:
        return 0;
    }
}

bool lockKey(uint16_t code) {
    return code == KEY_CAPSLOCK || code == KEY_NUMLOCK || code == KEY_SCROLLLOCK;
}

} // namespace

std::optional<input::Event> Translator::feed(uint16_t type, uint16_t code, int32_t value) {
    uint64_t flags = 0;
    for (auto& [key, mask] : held_)
        flags |= mask;
    if (type == EV_REL && (code == REL_WHEEL || code == REL_HWHEEL) && value != 0)
        return input::Event{.type = input::scrollWheel, .flags = flags};
    if (type != EV_KEY || code >= BTN_MISC) return std::nullopt;
    if (uint64_t mask = maskOf(code)) {
        if (value)
            held_[code] = mask;
        else
            held_.erase(code);
        return std::nullopt;
    }
    if (!withKeys_ || value == 0 || lockKey(code) || code > KEY_MAX) return std::nullopt;
    // The X key code of a key is its evdev code plus 8; keys without a place still count.
    int virtualCode = keycodes::virtualCodeOf(code + 8, NoSymbol);
    return input::Event{
        .type = input::keyDown, .flags = flags, .keyCode = virtualCode >= 0 ? virtualCode : 0xFFFF};
}

std::vector<std::string> readableDevices(const std::string& dir) {
    std::vector<std::string> found;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return found;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (!name.starts_with("event")) continue;
        std::string path = dir + "/" + name;
        if (::access(path.c_str(), R_OK) == 0) found.push_back(path);
    }
    ::closedir(d);
    return found;
}

} // namespace evdev
