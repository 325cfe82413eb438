#include "platform/post.h"
#include "platform/sim/act_desktop.h"

#include <cstdio>
#include <unicode/unistr.h>

namespace {

std::vector<std::string> log;
int posts = 0;
int failAt = 0;
int lateAt = 0;
bool trusted = true;
bool keysIgnored = false;
std::function<void(int)> hook;

std::string point(double x, double y) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g,%g", x, y);
    return buf;
}

std::string describe(const post::Event& event) {
    using namespace post;
    if (auto* m = std::get_if<Mouse>(&event)) {
        const char* kind = "";
        switch (m->type) {
        case MouseType::Moved:
            kind = "move";
            break;
        case MouseType::LeftDragged:
            kind = "drag";
            break;
        case MouseType::LeftDown:
        case MouseType::RightDown:
            kind = "down";
            break;
        case MouseType::LeftUp:
        case MouseType::RightUp:
            kind = "up";
            break;
        }
        return std::string(kind) + " " + point(m->x, m->y) + " " +
               (m->button == Button::Left ? "left" : "right") + " type " +
               std::to_string(static_cast<int>(m->type)) + " state " +
               std::to_string(m->clickState);
    }
    if (auto* w = std::get_if<Wheel>(&event))
        return "wheel " + std::to_string(w->vertical) + "," + std::to_string(w->horizontal);
    const Key& k = std::get<Key>(event);
    if (!k.text.empty()) {
        std::string utf8;
        icu::UnicodeString(k.text.data(), static_cast<int32_t>(k.text.size())).toUTF8String(utf8);
        char flags[32];
        std::snprintf(flags, sizeof flags, "%llx", static_cast<unsigned long long>(k.flags));
        return "text \"" + utf8 + "\" " + (k.down ? "down" : "up") + " code " +
               std::to_string(k.keyCode) + " flags 0x" + flags;
    }
    char flags[32];
    std::snprintf(flags, sizeof flags, "%llx", static_cast<unsigned long long>(k.flags));
    return "key " + std::to_string(k.keyCode) + (k.down ? " down" : " up") + " flags 0x" + flags;
}

} // namespace

namespace sim {
void setInputTrusted(bool t) {
    trusted = t;
}
void failPostAt(int nth) {
    failAt = nth > 0 ? nth : 0;
}
void delayDeliveryAt(int nth) {
    lateAt = nth > 0 ? nth : 0;
}
void ignoreKeys(bool ignored) {
    keysIgnored = ignored;
}
void onPosted(std::function<void(int)> h) {
    hook = std::move(h);
}
std::vector<std::string> postedLog() {
    return log;
}
void resetPosting() {
    log.clear();
    posts = 0;
}
} // namespace sim

namespace post {

Result post(const Event& event) {
    if (failAt && posts + 1 == failAt) return Result::Refused;
    ++posts;
    log.push_back(describe(event));
    if (hook) hook(posts);
    return lateAt == posts ? Result::Late : Result::Delivered;
}

void prepareText(const std::u16string&) {}

bool keysRead() {
    return !keysIgnored;
}

void pause(int ms) {
    log.push_back("pause " + std::to_string(ms));
}

void finish() {
    if (posts) log.push_back("finish");
}

void whenConnectionLost(void (*)()) {}

bool inputTrusted() {
    return trusted;
}

} // namespace post
