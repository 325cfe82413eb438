#pragma once
// The person's keys and wheel from the kernel's input devices, for a session whose compositor
// gives them to no client: read only where the person has granted read access to the devices
// (the `input` group).
#include "platform/input.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace evdev {

// One device's events in, the host's events out. Key presses (and the kernel's repeats) carry
// the modifiers held; modifier and lock keys are no events of their own. Pointer buttons are left
// out: the compositor doesn't tell where the pointer is, and a click without its place would name
// the wrong element.
class Translator {
  public:
    explicit Translator(bool withKeys) : withKeys_(withKeys) {}
    std::optional<input::Event> feed(uint16_t type, uint16_t code, int32_t value);

  private:
    bool withKeys_;
    std::map<uint16_t, uint64_t> held_; // modifier keys down, and their masks
};

// The event devices below dir that this process may read.
std::vector<std::string> readableDevices(const std::string& dir = "/dev/input");

} // namespace evdev
