#include "platform/system.h"

#include <fstream>
#include <glib.h>
#include <unistd.h>

namespace sys {

std::string versionString() {
    // PRETTY_NAME is what the system shows people; /usr/lib/os-release is the fallback location.
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
        std::ifstream in(path);
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
            std::string value = line.substr(12);
            gchar* unquoted = g_shell_unquote(value.c_str(), nullptr);
            if (!unquoted) return value;
            std::string result(unquoted);
            g_free(unquoted);
            return result;
        }
    }
    return "";
}

int processId() {
    return static_cast<int>(::getpid());
}
int parentProcessId() {
    return static_cast<int>(::getppid());
}

} // namespace sys
