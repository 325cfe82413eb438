// act's input on GNOME through Mutter's remote-desktop session: keys go as key symbols (Mutter
// finds or makes each one's key, so no key of the person's keyboard is borrowed), and absolute
// pointer positions are given within a screen cast of the monitor tied to the session, the one
// thing Mutter measures them against. Each call returns once Mutter has handled the event.
#include "platform/linux/shared/backend.h"
#include "platform/linux/shared/keycodes.h"
#include "platform/linux/wayland/gnome/keymap.h"
#include "platform/linux/wayland/gnome/mutter.h"
#include "platform/linux/wayland/wlroots/keymap.h"

#include <algorithm>
#include <chrono>
#include <linux/input-event-codes.h>
#include <thread>
#include <unicode/utf16.h>
#include <xkbcommon/xkbcommon.h>

namespace post::gnome {
namespace {

constexpr const char* rd = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* rdSession = "org.gnome.Mutter.RemoteDesktop.Session";
constexpr const char* sc = "org.gnome.Mutter.ScreenCast";
constexpr int callMs = 2000;
constexpr int settleMs = 60;

struct Session {
    std::string path;   // the remote-desktop session
    std::string stream; // the monitor's screen-cast stream; "" when none could be made
    double x = 0, y = 0, width = 0, height = 0;
};
std::optional<Session> session;
bool tried = false;
std::vector<std::pair<bool, uint32_t>> held; // (button, code) still down, released in finish()
void (*lostHandler)() = nullptr;

std::string pathOf(const atspi::Variant& r) {
    if (!r) return {};
    const char* p = nullptr;
    g_variant_get(r.get(), "(&o)", &p);
    return p;
}

std::optional<std::string> sessionId(const std::string& path) {
    auto r = mutter::call(rd, path.c_str(), "org.freedesktop.DBus.Properties", "Get",
                          g_variant_new("(ss)", rdSession, "SessionId"), "(v)", callMs);
    if (!r) return std::nullopt;
    GVariant* v = nullptr;
    g_variant_get(r.get(), "(v)", &v);
    std::optional<std::string> id;
    if (g_variant_is_of_type(v, G_VARIANT_TYPE_STRING)) id = g_variant_get_string(v, nullptr);
    g_variant_unref(v);
    return id;
}

// A stream of the primary monitor, tied to the session; its place and size from its parameters.
void castMonitor(Session& s, const std::string& id) {
    GVariantBuilder props;
    g_variant_builder_init(&props, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&props, "{sv}", "remote-desktop-session-id",
                          g_variant_new_string(id.c_str()));
    std::string cast = pathOf(mutter::call(sc, "/org/gnome/Mutter/ScreenCast", sc, "CreateSession",
                                           g_variant_new("(a{sv})", &props), "(o)", callMs));
    if (cast.empty()) return;
    GVariantBuilder none;
    g_variant_builder_init(&none, G_VARIANT_TYPE("a{sv}"));
    std::string stream =
        pathOf(mutter::call(sc, cast.c_str(), "org.gnome.Mutter.ScreenCast.Session",
                            "RecordMonitor", g_variant_new("(sa{sv})", "", &none), "(o)", callMs));
    if (stream.empty()) return;
    auto r = mutter::call(sc, stream.c_str(), "org.freedesktop.DBus.Properties", "Get",
                          g_variant_new("(ss)", "org.gnome.Mutter.ScreenCast.Stream", "Parameters"),
                          "(v)", callMs);
    if (!r) return;
    GVariant* v = nullptr;
    g_variant_get(r.get(), "(v)", &v);
    int x = 0, y = 0, w = 0, h = 0;
    bool placed = g_variant_lookup(v, "position", "(ii)", &x, &y);
    bool sized = g_variant_lookup(v, "size", "(ii)", &w, &h);
    g_variant_unref(v);
    if (!placed || !sized || w <= 0 || h <= 0) return;
    s.stream = stream;
    s.x = x;
    s.y = y;
    s.width = w;
    s.height = h;
}

Session* ready() {
    if (tried) return session ? &*session : nullptr;
    tried = true;
    std::string path = pathOf(mutter::call(rd, "/org/gnome/Mutter/RemoteDesktop", rd,
                                           "CreateSession", nullptr, "(o)", callMs));
    if (path.empty()) return nullptr;
    Session s;
    s.path = path;
    if (auto id = sessionId(path)) castMonitor(s, *id);
    if (!mutter::call(rd, path.c_str(), rdSession, "Start", nullptr, nullptr, callMs))
        return nullptr;
    session = s;
    return &*session;
}

std::chrono::steady_clock::time_point lastSent;

// A call that fails after the session started means Mutter (or the bus) went away.
bool notify(const char* method, GVariant* params) {
    lastSent = std::chrono::steady_clock::now();
    if (mutter::call(rd, session->path.c_str(), rdSession, method, params, nullptr, callMs))
        return true;
    if (lostHandler) lostHandler();
    return false;
}

bool keysym(uint32_t sym, bool down) {
    if (!notify("NotifyKeyboardKeysym", g_variant_new("(ub)", sym, down))) return false;
    if (down)
        held.emplace_back(false, sym);
    else
        held.erase(std::remove(held.begin(), held.end(), std::make_pair(false, sym)), held.end());
    return true;
}

bool button(uint32_t code, bool down) {
    if (!notify("NotifyPointerButton", g_variant_new("(ib)", static_cast<int>(code), down)))
        return false;
    if (down)
        held.emplace_back(true, code);
    else
        held.erase(std::remove(held.begin(), held.end(), std::make_pair(true, code)), held.end());
    return true;
}

bool moveTo(double x, double y) {
    if (session->stream.empty()) return false;
    x -= session->x;
    y -= session->y;
    if (x < 0 || y < 0 || x >= session->width || y >= session->height) return false;
    return notify("NotifyPointerMotionAbsolute",
                  g_variant_new("(sdd)", session->stream.c_str(), x, y));
}

bool postMouse(const Mouse& m) {
    if (!moveTo(m.x, m.y)) return false;
    switch (m.type) {
    case MouseType::Moved:
    case MouseType::LeftDragged:
        return true;
    case MouseType::LeftDown:
    case MouseType::LeftUp:
    case MouseType::RightDown:
    case MouseType::RightUp:
        return button(m.button == Button::Right ? BTN_RIGHT : BTN_LEFT,
                      m.type == MouseType::LeftDown || m.type == MouseType::RightDown);
    }
    return false;
}

// Mutter's axes: 0 vertical, 1 horizontal; a positive step scrolls down (and right).
bool postWheel(const Wheel& w) {
    if (w.vertical && !notify("NotifyPointerAxisDiscrete", g_variant_new("(ui)", 0u, -w.vertical)))
        return false;
    if (w.horizontal &&
        !notify("NotifyPointerAxisDiscrete", g_variant_new("(ui)", 1u, -w.horizontal)))
        return false;
    return true;
}

std::vector<uint32_t> symbols(const std::u16string& text) {
    std::vector<uint32_t> out;
    for (std::size_t i = 0; i < text.size();) {
        UChar32 cp;
        U16_NEXT(text.data(), i, text.size(), cp);
        if (cp == '\n' && i >= 2 && text[i - 2] == u'\r') continue;
        out.push_back(vkeymap::keysymOf(static_cast<char32_t>(cp)));
    }
    return out;
}

uint32_t heldText = 0;
bool untypeable = false; // the announced text holds a character the keymap has no key for

// Every symbol but the last goes down and up at once; the last stays down until the key-up
// event, so the pair the caller posts is one press.
bool postText(const Key& k) {
    if (!k.down) {
        if (!heldText) return true;
        uint32_t sym = heldText;
        heldText = 0;
        return keysym(sym, false);
    }
    std::vector<uint32_t> syms = symbols(k.text);
    if (untypeable || syms.empty() || std::count(syms.begin(), syms.end(), XKB_KEY_NoSymbol))
        return false;
    for (std::size_t i = 0; i < syms.size(); ++i) {
        if (!keysym(syms[i], true)) return false;
        if (i + 1 < syms.size()) {
            if (!keysym(syms[i], false)) return false;
        } else {
            heldText = syms[i];
        }
    }
    return true;
}

std::vector<uint32_t> modifierSyms(std::uint64_t flags) {
    std::vector<uint32_t> syms;
    if (flags & controlMask) syms.push_back(XKB_KEY_Control_L);
    if (flags & alternateMask) syms.push_back(XKB_KEY_Alt_L);
    if (flags & shiftMask) syms.push_back(XKB_KEY_Shift_L);
    if (flags & commandMask) syms.push_back(XKB_KEY_Super_L);
    return syms;
}

bool postKey(const Key& k) {
    if (!k.text.empty()) return postText(k);
    uint32_t sym = XKB_KEY_NoSymbol;
    for (const keycodes::Place& p : keycodes::places())
        if (p.virtualCode == k.keyCode) sym = static_cast<uint32_t>(p.usSym);
    if (sym == XKB_KEY_NoSymbol) return false;
    std::vector<uint32_t> mods = modifierSyms(k.flags);
    if (k.down) {
        for (uint32_t m : mods)
            if (!keysym(m, true)) return false;
        return keysym(sym, true);
    }
    if (!keysym(sym, false)) return false;
    for (auto it = mods.rbegin(); it != mods.rend(); ++it)
        if (!keysym(*it, false)) return false;
    return true;
}

} // namespace

Result post(const Event& event) {
    if (!ready()) return Result::Refused;
    bool ok = false;
    if (auto* m = std::get_if<Mouse>(&event))
        ok = postMouse(*m);
    else if (auto* w = std::get_if<Wheel>(&event))
        ok = postWheel(*w);
    else
        ok = postKey(std::get<Key>(event));
    return ok ? Result::Delivered : Result::Refused;
}

// Mutter drops a symbol its keymap has no key for, and answers as if it had typed it: a text
// with one is refused whole, before any of it goes. An unreadable keymap is as bad.
void prepareText(const std::u16string& text) {
    static const std::optional<std::set<uint32_t>> keys = gnomekeys::typeable();
    untypeable = !keys;
    for (uint32_t sym : symbols(text))
        if (keys && !keys->count(sym)) untypeable = true;
}

// Mutter has handled every key once its call returned; when the application reads them,
// Wayland doesn't tell.
bool keysRead() {
    return session && mutter::present(rd);
}

void pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void finish() {
    if (!session) return;
    while (!held.empty()) {
        auto [isButton, code] = held.back();
        if (!(isButton ? button(code, false) : keysym(code, false))) break;
    }
    held.clear();
    // Mutter hands an event to the application at its next frame, and drops what is still queued
    // for a device that is gone by then: the session's devices outlive the last event by a few
    // frames (a wheel step, the last thing a scroll sends, was lost under load).
    std::this_thread::sleep_until(lastSent + std::chrono::milliseconds(settleMs));
    mutter::call(rd, session->path.c_str(), rdSession, "Stop", nullptr, nullptr, callMs);
    session.reset();
    tried = false;
}

void whenConnectionLost(void (*handler)()) {
    lostHandler = handler;
}

bool inputTrusted() {
    return mutter::present(rd);
}

} // namespace post::gnome
