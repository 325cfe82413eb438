// The symbols the seat's keyboard types, read from the keymap the compositor hands every client.
// Mutter types a key symbol only when its keymap holds one; any other it drops without a word.
#include "platform/linux/wayland/gnome/keymap.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

namespace gnomekeys {
namespace {

struct Reading {
    wl_seat* seat = nullptr;
    wl_keyboard* keyboard = nullptr;
    std::optional<std::set<uint32_t>> symbols;
};

void keymap(void* data, wl_keyboard*, uint32_t format, int fd, uint32_t size) {
    auto* r = static_cast<Reading*>(data);
    if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1 && size > 0) {
        void* at = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (at != MAP_FAILED) {
            r->symbols = symbolsOf(std::string(static_cast<const char*>(at),
                                               strnlen(static_cast<const char*>(at), size)));
            munmap(at, size);
        }
    }
    ::close(fd);
}
void enter(void*, wl_keyboard*, uint32_t, wl_surface*, wl_array*) {}
void leave(void*, wl_keyboard*, uint32_t, wl_surface*) {}
void key(void*, wl_keyboard*, uint32_t, uint32_t, uint32_t, uint32_t) {}
void modifiers(void*, wl_keyboard*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {}
void repeat(void*, wl_keyboard*, int32_t, int32_t) {}
const wl_keyboard_listener keyboardListener = {keymap, enter, leave, key, modifiers, repeat};

void capabilities(void* data, wl_seat* seat, uint32_t caps) {
    auto* r = static_cast<Reading*>(data);
    if ((caps & WL_SEAT_CAPABILITY_KEYBOARD) && !r->keyboard) {
        r->keyboard = wl_seat_get_keyboard(seat);
        wl_keyboard_add_listener(r->keyboard, &keyboardListener, r);
    }
}
void seatName(void*, wl_seat*, const char*) {}
const wl_seat_listener seatListener = {capabilities, seatName};

void global(void* data, wl_registry* registry, uint32_t name, const char* iface, uint32_t version) {
    auto* r = static_cast<Reading*>(data);
    if (r->seat || std::string_view(iface) != wl_seat_interface.name) return;
    r->seat = static_cast<wl_seat*>(
        wl_registry_bind(registry, name, &wl_seat_interface, std::min<uint32_t>(version, 5)));
    wl_seat_add_listener(r->seat, &seatListener, r);
}
void globalRemove(void*, wl_registry*, uint32_t) {}
const wl_registry_listener registryListener = {global, globalRemove};

} // namespace

std::set<uint32_t> symbolsOf(const std::string& keymapText) {
    std::set<uint32_t> out;
    xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
    if (!context) return out;
    xkb_keymap* map = xkb_keymap_new_from_string(
        context, keymapText.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (map) {
        for (xkb_keycode_t k = xkb_keymap_min_keycode(map); k <= xkb_keymap_max_keycode(map); ++k)
            for (xkb_level_index_t l = 0; l < xkb_keymap_num_levels_for_key(map, k, 0); ++l) {
                const xkb_keysym_t* syms = nullptr;
                int n = xkb_keymap_key_get_syms_by_level(map, k, 0, l, &syms);
                for (int i = 0; i < n; ++i)
                    out.insert(syms[i]);
            }
        xkb_keymap_unref(map);
    }
    xkb_context_unref(context);
    return out;
}

std::optional<std::set<uint32_t>> typeable() {
    wl_display* display = wl_display_connect(nullptr);
    if (!display) return std::nullopt;
    Reading r;
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, &r);
    // The seat, then its capabilities, then the keyboard's keymap: one round trip each.
    for (int i = 0; i < 3 && !r.symbols; ++i)
        if (wl_display_roundtrip(display) < 0) break;
    if (r.keyboard) wl_keyboard_destroy(r.keyboard);
    if (r.seat) wl_seat_destroy(r.seat);
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    return r.symbols;
}

} // namespace gnomekeys
