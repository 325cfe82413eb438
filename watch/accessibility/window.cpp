#include "watch/accessibility/window.h"
#include "watch/core/state.h"

loop::TimerRef windowTimer;
loop::TimerRef walkTimer;
std::map<std::string, std::string> lastTextHash;
std::map<std::string, double> lastWalkAt;

void resetWindowMemory() {
    lastTextHash.clear();
    lastWalkAt.clear();
}

bool skippedBundle(const std::string& bundle) {
    if (bundle.empty()) return false;
    for (const std::string& entry : skipBundles) {
        if (!entry.empty() && entry.back() == '*') {
            std::string_view prefix(entry.data(), entry.size() - 1);
            if (prefix.empty() || bundle.starts_with(prefix)) return true;
        } else if (bundle == entry) {
            return true;
        }
    }
    return false;
}

// Placeholder until the window read lands.
void readWindow(const std::string&) {}
