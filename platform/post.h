#pragma once
// Synthetic input for act, in the host's vocabulary: event types, virtual key codes, modifier
// masks and wheel lines. A backend maps them to its own input system.
#include <cstdint>
#include <string>
#include <variant>

namespace post {

// Mouse event types as the host's event system numbers them.
enum class MouseType {
    LeftDown = 1,
    LeftUp = 2,
    RightDown = 3,
    RightUp = 4,
    Moved = 5,
    LeftDragged = 6
};
enum class Button { Left = 0, Right = 1 };

struct Mouse {
    MouseType type = MouseType::Moved;
    Button button = Button::Left;
    double x = 0, y = 0; // global screen points
    int clickState = 1;
};

// One wheel event in lines: positive vertical scrolls up, positive horizontal scrolls left.
struct Wheel {
    int vertical = 0;
    int horizontal = 0;
};

struct Key {
    int keyCode = 0; // the host's virtual key code
    bool down = true;
    std::uint64_t flags = 0; // modifier mask
    std::u16string text;     // when not empty, the characters the key types (key code 0)
};

using Event = std::variant<Mouse, Wheel, Key>;

// Modifier masks.
constexpr std::uint64_t shiftMask = 0x20000;
constexpr std::uint64_t controlMask = 0x40000;
constexpr std::uint64_t alternateMask = 0x80000;
constexpr std::uint64_t commandMask = 0x100000;
constexpr std::uint64_t functionMask = 0x800000;

enum class Result {
    Delivered, // the window system has handed the event on
    Refused,   // it could not be made or sent; nothing of it was sent
    Late,      // sent, but not handed on within the bound (a device held frozen): may come later
    Unread,    // keys went out, but their receiver did not read them within the bound
};

// Sends one event and waits, bounded, until the window system has delivered it.
Result post(const Event& event);

// How long post waits for delivery before it answers Late.
constexpr int deliveryBoundMs = 2000;

// Announces the whole text about to be typed, so that everything it needs can be prepared at
// once. Optional; keys typed without it are prepared as they come.
void prepareText(const std::u16string& text);

// Waits, at most deliveryBoundMs, until the receiver of the text keys posted so far has read
// them; false when it has not said so by then (a busy or hung application).
bool keysRead();

// Blocks for ms milliseconds after everything posted so far has left the process.
void pause(int ms);

// Called once before the process answers: lets the receiver take what was sent, then undoes
// temporary changes the posting made (a borrowed key mapping).
void finish();

// Called, instead of ending the process abruptly, when the connection to the window system is
// lost; it must not return and must not post.
void whenConnectionLost(void (*handler)());

// Whether synthetic input can be posted at all.
bool inputTrusted();

} // namespace post
