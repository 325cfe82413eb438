#include "watch/core/process.h"
#include "platform/loop.h"
#include "platform/permissions.h"
#include "platform/system.h"
#include "watch/accessibility/observe.h"
#include "watch/accessibility/window.h"
#include "watch/core/emit.h"
#include "watch/core/notices.h"
#include "watch/core/reader.h"
#include "watch/core/state.h"
#include "watch/frames/imagejobs.h"
#include "watch/input/describe.h"
#include "watch/input/keys.h"
#include "watch/input/pasteboard.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

json probe() {
    return {{"kind", "probe"},
            {"version", "1"},
            {"ax", permissions::accessibilityTrusted() ? 1 : 0},
            {"listen", permissions::listenAccess()},
            {"screen", permissions::screenAccess()},
            {"macos", sys::versionString()},
            {"pid", sys::processId()}};
}

void finish() {
    if (!paused.load()) {
        paused.store(true);
        stopInput();
        tearDownObservation();
        restoreAll();
    }
    // Every image request is answered, and before "stopped", which no line follows.
    settleImageRequests(5.0);
    emitLast({{"kind", "stopped"}});
    loop::sync(outQueue, [] { loop::flushStdout(); });
    loop::exitProcess(0);
}

namespace {

void installReader() {
    auto reader = std::make_shared<LineReader>();
    loop::readStdin([reader](std::string_view chunk) {
        if (chunk.empty()) {
            loop::onMain([] { finish(); });
            return;
        }
        feedInput(*reader, chunk,
                  [](json cmd) { loop::onMain([cmd = std::move(cmd)] { handleCommand(cmd); }); });
    });
}

// A host may start us with a standard descriptor closed. The first descriptor opened would then
// take its number, and the standard-input reader or the output writer would act on whatever that
// is (GLib's wake-up descriptor, a bus socket). /dev/null stands in for each one closed.
void keepStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

void printLine(const json& record) {
    loop::writeStdout(jsonline::dump(record) + "\n");
    loop::flushStdout();
}

} // namespace

int startWatch(int argc, char** argv) {
    keepStandardDescriptors();
    makeQueues();
    compileSensitiveLabel();
    skipBundles.clear();
    skipHosts.clear();
    framesDir.clear();
    resetWindowMemory();
    restoreAttrs.clear();

    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        printLine({{"kind", "version"}, {"version", "1"}});
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--probe") == 0) {
        printLine(probe());
        return 0;
    }

    ::umask(077);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGTERM, SIG_IGN);
    std::signal(SIGINT, SIG_IGN);
    loop::onSignal(SIGTERM, [] { finish(); });
    loop::onSignal(SIGINT, [] { finish(); });

    rememberPasteboardCount();
    installReader();
    startNotices();
    watchActivations();
    loop::repeating(0.5, [] { checkPasteboard(); });
    loop::repeating(5.0, [] { checkIdle(); });

    emit(probe());
    return -1;
}
