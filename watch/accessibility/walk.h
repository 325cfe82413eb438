#pragma once
// The bounded walk over a window's readable text.
#include "platform/ax.h"
#include "watch/accessibility/gate.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct WalkBudget {
    double deadline = 0;     // seconds since 1970
    std::uint64_t count = 0; // elements visited
};

// The collected text, with its length in UTF-16 code units kept alongside.
struct WalkText {
    std::string text;
    std::size_t units = 0;
    bool page = false;     // a web area was walked
    bool pageText = false; // ... and something of it was read
};

struct Outline {
    std::vector<std::string> headings, buttons, fields, columns;
};

// The FNV-style hash of the text's UTF-8 bytes as sixteen lower-case hexadecimal digits.
std::string textHash(std::string_view text);

// Appends the element's text and outline entries, then its children's, depth first. axQueue.
void walkText(const ax::ElementRef& element, int depth, WalkBudget& budget, WalkText& text,
              Outline& outline);

// Walks the window on the accessibility queue, reads app's front window again, and hands both to
// the main thread, which reports the text as "text" when it changed for the window key, if pid is
// still the observed app's and the second read shows the window decided at epoch.
void walkWindow(ax::ElementRef window, ax::ElementRef app, Hosts hosts, std::uint64_t epoch,
                int pid, std::string key);
