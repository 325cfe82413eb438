#pragma once
// A copy of an observed application's accessibility tree, built when the application is observed
// and kept current from its change events, so that reads of it need no round trip.
#include "platform/linux/shared/ax_element.h"

#include <functional>
#include <optional>
#include <string>

namespace axmirror {

// Starts mirroring the application on this connection (a few at most are kept; the oldest go).
void mirror(const std::string& bus, int pid);

// Runs read with the node's facts under the mirror's lock; false when the node isn't mirrored
// (the caller then asks the application).
bool withFacts(const std::string& bus, const std::string& path,
               const std::function<void(const axlinux::Facts&)>& read);

// The mirrored object of the application that says it has the focus, below a window when given;
// "" when none does (or the application isn't mirrored).
std::string focusedPath(const std::string& bus, const std::string& within = "");

// Reads skip the mirror while off (for comparing it with the live tree); on by default.
void setEnabled(bool on);

// For tests and benchmarks: build without the toolkit's Cache (as for toolkits that lack it), and
// drop an application's mirror.
void setCacheUse(bool on);
void forget(const std::string& bus);

// Counts for tests and benchmarks: nodes mirrored, and how many have every piece known.
struct Stats {
    size_t nodes = 0, complete = 0, pending = 0, bytes = 0;
};
Stats stats(const std::string& bus);

} // namespace axmirror
