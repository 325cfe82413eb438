// act's input on wlroots: a virtual pointer, and a virtual keyboard whose keymap holds exactly
// the symbols act presses. The compositor delivers both as it does a real device's input.
#include "platform/linux/shared/backend.h"
#include "platform/linux/shared/keycodes.h"
#include "platform/linux/wayland/wlroots/client.h"
#include "platform/linux/wayland/wlroots/keymap.h"
#include "platform/linux/wayland/wlroots/sway_ipc.h"
#include "platform/linux/wayland/wlroots/tree.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <linux/input-event-codes.h>
#include <sys/mman.h>
#include <thread>
#include <unicode/utf16.h>
#include <unistd.h>
#include <xkbcommon/xkbcommon.h>

namespace post::wlroots {
namespace {

std::unique_ptr<wl::Connection> conn;
zwlr_virtual_pointer_v1* pointer = nullptr;
zwp_virtual_keyboard_v1* keyboard = nullptr;
vkeymap::Keymap keymap;
std::vector<uint32_t> upcoming; // the symbols the announced text needs
std::vector<uint32_t> held;     // evdev codes down, released in finish()
bool posted = false;
void (*lostHandler)() = nullptr;

wl::Connection* connection() {
    static bool tried = false;
    if (!tried) {
        tried = true;
        conn = wl::connect();
    }
    return conn.get();
}

uint32_t now() {
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// Waits until the compositor has handled everything sent: then it has handed the input on.
bool delivered() {
    if (conn->roundtrip()) return true;
    if (lostHandler) {
        conn.reset();
        lostHandler();
    }
    return false;
}

// The output layout's box, where absolute pointer positions are measured.
struct Box {
    double x = 0, y = 0, width = 0, height = 0;
};
std::optional<Box> layout() {
    auto outputs = swayipc::ask(swayipc::getOutputs);
    if (!outputs) return std::nullopt;
    double left = 1e9, top = 1e9, right = -1e9, bottom = -1e9;
    for (auto& o : swaytree::activeOutputs(*outputs)) {
        left = std::min(left, o.rect.x);
        top = std::min(top, o.rect.y);
        right = std::max(right, o.rect.x + o.rect.width);
        bottom = std::max(bottom, o.rect.y + o.rect.height);
    }
    if (right <= left || bottom <= top) return std::nullopt;
    return Box{left, top, right - left, bottom - top};
}

bool moveTo(double x, double y) {
    static const std::optional<Box> box = layout();
    if (!box || x < box->x || y < box->y || x >= box->x + box->width || y >= box->y + box->height)
        return false;
    zwlr_virtual_pointer_v1_motion_absolute(
        pointer, now(), static_cast<uint32_t>(std::lround(x - box->x)),
        static_cast<uint32_t>(std::lround(y - box->y)), static_cast<uint32_t>(box->width),
        static_cast<uint32_t>(box->height));
    zwlr_virtual_pointer_v1_frame(pointer);
    return true;
}

void button(uint32_t code, bool down) {
    zwlr_virtual_pointer_v1_button(pointer, now(), code,
                                   down ? WL_POINTER_BUTTON_STATE_PRESSED
                                        : WL_POINTER_BUTTON_STATE_RELEASED);
    zwlr_virtual_pointer_v1_frame(pointer);
    if (down)
        held.push_back(code);
    else
        held.erase(std::remove(held.begin(), held.end(), code), held.end());
}

bool postMouse(const Mouse& m) {
    if (!pointer) return false;
    if (!moveTo(m.x, m.y)) return false;
    switch (m.type) {
    case MouseType::Moved:
    case MouseType::LeftDragged:
        break;
    case MouseType::LeftDown:
    case MouseType::LeftUp:
    case MouseType::RightDown:
    case MouseType::RightUp:
        button(m.button == Button::Right ? BTN_RIGHT : BTN_LEFT,
               m.type == MouseType::LeftDown || m.type == MouseType::RightDown);
        break;
    }
    return delivered();
}

// One wheel line as a mouse wheel reports it: one discrete step of 15 units.
void wheel(uint32_t axis, int lines) {
    zwlr_virtual_pointer_v1_axis_source(pointer, WL_POINTER_AXIS_SOURCE_WHEEL);
    zwlr_virtual_pointer_v1_axis_discrete(pointer, now(), axis, wl_fixed_from_int(15 * lines),
                                          lines);
    zwlr_virtual_pointer_v1_frame(pointer);
}

bool postWheel(const Wheel& w) {
    if (!pointer) return false;
    // Positive lines scroll up (and left); a Wayland axis grows down (and right).
    if (w.vertical) wheel(WL_POINTER_AXIS_VERTICAL_SCROLL, -w.vertical);
    if (w.horizontal) wheel(WL_POINTER_AXIS_HORIZONTAL_SCROLL, -w.horizontal);
    return delivered();
}

// The real modifiers' masks in every XKB keymap (Shift, Control, Mod1, Mod4).
uint32_t modifierMask(uint32_t code) {
    switch (code) {
    case vkeymap::shiftKey:
        return 1u << 0;
    case vkeymap::controlKey:
        return 1u << 2;
    case vkeymap::altKey:
        return 1u << 3;
    case vkeymap::superKey:
        return 1u << 6;
    default:
        return 0;
    }
}

uint32_t depressed = 0;

// A virtual keyboard's keys don't change its modifier state: it is sent alongside.
void key(uint32_t code, bool down) {
    zwp_virtual_keyboard_v1_key(keyboard, now(), code,
                                down ? WL_KEYBOARD_KEY_STATE_PRESSED
                                     : WL_KEYBOARD_KEY_STATE_RELEASED);
    if (down)
        held.push_back(code);
    else
        held.erase(std::remove(held.begin(), held.end(), code), held.end());
    if (uint32_t mask = modifierMask(code)) {
        depressed = down ? depressed | mask : depressed & ~mask;
        zwp_virtual_keyboard_v1_modifiers(keyboard, depressed, 0, 0, 0);
    }
}

// The compositor hands the focused application a keyboard's keymap when that keyboard is next
// used, and GTK drops a key that arrives before it has taken a new keymap in: a lone modifier
// makes the handover, and the keys wait until the application has had time to take it.
constexpr int keymapTakeMs = 150;

bool handOver() {
    key(vkeymap::shiftKey, true);
    key(vkeymap::shiftKey, false);
    if (!conn->roundtrip()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(keymapTakeMs));
    return true;
}

bool upload(const std::vector<uint32_t>& syms) {
    keymap = vkeymap::build(syms);
    int fd = memfd_create("act-keymap", MFD_CLOEXEC);
    if (fd < 0) return false;
    std::size_t size = keymap.text.size() + 1;
    bool ok = ftruncate(fd, static_cast<off_t>(size)) == 0;
    if (ok) {
        void* at = mmap(nullptr, size, PROT_WRITE, MAP_SHARED, fd, 0);
        ok = at != MAP_FAILED;
        if (ok) {
            std::copy_n(keymap.text.c_str(), size, static_cast<char*>(at));
            munmap(at, size);
        }
    }
    if (ok)
        zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                       static_cast<uint32_t>(size));
    ::close(fd);
    return ok && handOver();
}

// The key of a symbol, uploading a keymap that holds it (and what is still to come) when the
// current one doesn't.
uint32_t codeFor(uint32_t sym) {
    if (uint32_t code = keymap.codeOf(sym)) return code;
    std::vector<uint32_t> syms{sym};
    for (uint32_t s : upcoming)
        if (s != sym) syms.push_back(s);
    // Keys still down keep their symbols.
    for (uint32_t c : held)
        for (std::size_t i = 0; i < keymap.keysyms.size(); ++i)
            if (keymap.codeOf(keymap.keysyms[i]) == c) syms.insert(syms.begin(), keymap.keysyms[i]);
    if (!upload(syms)) return 0;
    return keymap.codeOf(sym);
}

std::vector<char32_t> characters(const std::u16string& text) {
    std::vector<char32_t> out;
    for (std::size_t i = 0; i < text.size();) {
        UChar32 cp;
        U16_NEXT(text.data(), i, text.size(), cp);
        if (cp == '\n' && !out.empty() && out.back() == U'\r') continue;
        out.push_back(static_cast<char32_t>(cp));
    }
    return out;
}

uint32_t heldTextCode = 0;

// Every key but the last goes down and up at once; the last stays down until the key-up
// event, so the pair the caller posts is one press.
bool postText(const Key& k) {
    if (!k.down) {
        if (!heldTextCode) return true;
        key(heldTextCode, false);
        heldTextCode = 0;
        return delivered();
    }
    std::vector<char32_t> chars = characters(k.text);
    for (std::size_t i = 0; i < chars.size(); ++i) {
        uint32_t code = codeFor(vkeymap::keysymOf(chars[i]));
        if (!code) return false;
        key(code, true);
        if (i + 1 < chars.size())
            key(code, false);
        else
            heldTextCode = code;
    }
    return !chars.empty() && delivered();
}

// Made at the first key only: a new keyboard's keymap is handed over with a wait.
bool keyboardReady() {
    if (keyboard) return true;
    if (!conn->keyboards) return false;
    keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(conn->keyboards, conn->seat);
    // A virtual keyboard takes no key before its first keymap.
    return keyboard && upload(upcoming);
}

std::vector<uint32_t> modifierKeys(std::uint64_t flags) {
    std::vector<uint32_t> keys;
    if (flags & controlMask) keys.push_back(vkeymap::controlKey);
    if (flags & alternateMask) keys.push_back(vkeymap::altKey);
    if (flags & shiftMask) keys.push_back(vkeymap::shiftKey);
    if (flags & commandMask) keys.push_back(vkeymap::superKey);
    return keys;
}

bool postKey(const Key& k) {
    if (!keyboardReady()) return false;
    if (!k.text.empty()) return postText(k);
    uint32_t sym = XKB_KEY_NoSymbol;
    for (const keycodes::Place& p : keycodes::places())
        if (p.virtualCode == k.keyCode) sym = static_cast<uint32_t>(p.usSym);
    uint32_t code = sym == XKB_KEY_NoSymbol ? 0 : codeFor(sym);
    if (!code) return false;
    std::vector<uint32_t> mods = modifierKeys(k.flags);
    if (k.down) {
        for (uint32_t m : mods)
            key(m, true);
        key(code, true);
    } else {
        key(code, false);
        for (auto it = mods.rbegin(); it != mods.rend(); ++it)
            key(*it, false);
    }
    return delivered();
}

bool ready() {
    wl::Connection* c = connection();
    if (!c || !c->seat) return false;
    if (!pointer && c->pointers)
        pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(c->pointers, c->seat);
    return true;
}

} // namespace

Result post(const Event& event) {
    if (!ready()) return Result::Refused;
    posted = true;
    bool ok = false;
    if (auto* m = std::get_if<Mouse>(&event))
        ok = postMouse(*m);
    else if (auto* w = std::get_if<Wheel>(&event))
        ok = postWheel(*w);
    else
        ok = postKey(std::get<Key>(event));
    return ok ? Result::Delivered : Result::Refused;
}

void prepareText(const std::u16string& text) {
    upcoming.clear();
    for (char32_t cp : characters(text))
        if (uint32_t sym = vkeymap::keysymOf(cp)) upcoming.push_back(sym);
}

// The compositor has handed every key on once a roundtrip returns; when the application reads
// them, Wayland doesn't tell.
bool keysRead() {
    return conn && conn->roundtrip();
}

void pause(int ms) {
    if (conn) wl_display_flush(conn->display);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void finish() {
    if (!posted || !conn) return;
    while (!held.empty()) {
        uint32_t code = held.back();
        if (code >= BTN_MISC)
            button(code, false);
        else
            key(code, false);
    }
    if (pointer) zwlr_virtual_pointer_v1_destroy(pointer);
    if (keyboard) zwp_virtual_keyboard_v1_destroy(keyboard);
    pointer = nullptr;
    keyboard = nullptr;
    conn->roundtrip();
    posted = false;
}

void whenConnectionLost(void (*handler)()) {
    lostHandler = handler;
}

bool inputTrusted() {
    wl::Connection* c = connection();
    return c && c->seat && c->pointers && c->keyboards;
}

} // namespace post::wlroots
