#pragma once
// Facts about this process and the system.
#include <string>

namespace sys {

// The system's version string for display; "" when unknown.
std::string versionString();
int processId();
int parentProcessId();

} // namespace sys
