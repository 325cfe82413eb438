#pragma once
// What an accessibility element is on this backend: an object on the accessibility bus.
#include "platform/ax.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace ax {

struct Element {
    std::string bus;  // the owning application's connection; "" when none was found
    std::string path; // object path on that connection
    int pid = -1;
    std::atomic<int> timeoutMs{250};
};

} // namespace ax

namespace axlinux {

constexpr const char* rootPath = "/org/a11y/atspi/accessible/root";
constexpr const char* nullPath = "/org/a11y/atspi/null";

ax::ElementRef makeElement(const std::string& bus, const std::string& path, int pid, int timeoutMs);

// What a node of the mirror knows, read under the mirror's lock. Each piece may be unknown.
struct Facts {
    uint32_t role = 0;
    uint64_t states = 0;
    std::string name, description;
    bool labelKnown = false; // placeholder, help and labelled-by below
    std::string placeholder, help;
    std::string labelledBy; // path on the same connection; "" when none
    bool textKnown = false;
    std::string text;
    bool childrenKnown = false;
    std::vector<std::string> children;
    std::string parent; // "" when not known
    // An interface is asked of an object only when it declares it: toolkits assert (and some
    // answer nonsense) when asked one they lack.
    bool ifacesKnown = false;
    bool hasText = false, hasDocument = false;
};

} // namespace axlinux
