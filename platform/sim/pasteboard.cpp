#include "platform/pasteboard.h"
#include "platform/loop.h"
#include "platform/sim/desktop.h"

namespace {
long count = 0;
double at = 0;
std::vector<std::string> currentTypes;
std::optional<std::string> currentText;
} // namespace

namespace sim {
void copyToPasteboard(std::vector<std::string> types, std::optional<std::string> text) {
    ++count;
    at = loop::now();
    currentTypes = std::move(types);
    currentText = std::move(text);
}
} // namespace sim

namespace pasteboard {

long changeCount() {
    return count;
}

double changedAt() {
    return at;
}

std::vector<std::string> types() {
    return currentTypes;
}

std::optional<std::string> plainText() {
    return currentText;
}

} // namespace pasteboard
