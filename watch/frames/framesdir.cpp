#include "watch/frames/framesdir.h"
#include "watch/core/state.h"

#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

int dirFd = -1;
std::string openedFor;
bool known = false;

void openNow() {
    if (!framesDir.empty()) dirFd = ::open(framesDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

} // namespace

void framesDirChanged() {
    if (dirFd >= 0) ::close(dirFd);
    dirFd = -1;
    openedFor = framesDir;
    known = true;
    openNow();
}

int framesDirFd() {
    if (!known || openedFor != framesDir)
        framesDirChanged();
    else if (dirFd < 0)
        openNow();
    return dirFd;
}
