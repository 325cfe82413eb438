// The person's input on wlroots. No Wayland compositor hands another client the keys, clicks or
// scrolls of the whole desktop: they are read from the kernel's input devices where the person
// lets this process read them, and nothing that sees typed text stands in where not.
#include "platform/linux/shared/backend.h"
#include "platform/linux/wayland/wlroots/client.h"
#include "platform/linux/wayland/wlroots/evdev.h"
#include "platform/linux/wayland/wlroots/sway_ipc.h"
#include "platform/linux/wayland/wlroots/tree.h"

#include <atomic>
#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace input::wlroots {
namespace {

// A tap's state, shared with its reading thread; the last holder closes the devices.
struct Reader {
    std::atomic<bool> enabled{false};
    std::atomic<bool> live{true};
    std::function<void(const Event&)> callback;
    std::vector<int> fds;
    int wakeFd = -1;

    ~Reader() {
        for (int fd : fds)
            ::close(fd);
        if (wakeFd >= 0) ::close(wakeFd);
    }
};

// The seam's Tap type belongs to the X backend; a tap here is a Reader handed out under it, read
// back only by the functions below (the backend never changes while the process runs).
struct Owner {
    std::shared_ptr<Reader> reader;
    ~Owner() {
        if (!reader) return;
        reader->live = false;
        std::uint64_t one = 1;
        (void)!::write(reader->wakeFd, &one, sizeof one);
    }
};

Reader* readerOf(const TapRef& tap) {
    return reinterpret_cast<Reader*>(tap.get());
}

void listen(std::shared_ptr<Reader> r, bool withKeys) {
    evdev::Translator translate(withKeys);
    std::vector<pollfd> polls;
    for (int fd : r->fds)
        polls.push_back({fd, POLLIN, 0});
    polls.push_back({r->wakeFd, POLLIN, 0});
    while (r->live) {
        if (::poll(polls.data(), polls.size(), -1) < 0) continue;
        if (polls.back().revents) return;
        for (std::size_t i = 0; i + 1 < polls.size(); ++i) {
            if (!(polls[i].revents & POLLIN)) continue;
            input_event events[64];
            ssize_t n = ::read(polls[i].fd, events, sizeof events);
            for (ssize_t k = 0; n > 0 && k < n / ssize_t(sizeof(input_event)); ++k)
                if (auto e = translate.feed(events[k].type, events[k].code, events[k].value))
                    if (r->enabled && r->callback) r->callback(*e);
        }
    }
}

} // namespace

TapRef createTap(bool withKeys, std::function<void(const Event&)> callback) {
    auto r = std::make_shared<Reader>();
    for (const std::string& path : evdev::readableDevices()) {
        int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) r->fds.push_back(fd);
    }
    r->wakeFd = ::eventfd(0, EFD_CLOEXEC);
    if (r->fds.empty() || r->wakeFd < 0) return nullptr;
    r->callback = std::move(callback);
    auto owner = std::make_shared<Owner>();
    owner->reader = r;
    std::thread(listen, r, withKeys).detach();
    return TapRef(owner, reinterpret_cast<Tap*>(r.get()));
}
void enableTap(const TapRef& tap) {
    if (tap) readerOf(tap)->enabled = true;
}
void disableTap(const TapRef& tap) {
    if (tap) readerOf(tap)->enabled = false;
}
// Clicks need the pointer's place, which the compositor doesn't tell: no monitor either.
MonitorRef addMouseMonitor(std::function<void(const Event&)>) {
    return nullptr;
}
void removeMonitor(const MonitorRef&) {}

// Only the compositor knows where the pointer is, and it doesn't tell.
Point pointerLocation() {
    return {};
}

// The focused output, in layout coordinates.
std::optional<Rect> mainScreenFrame() {
    auto outputs = swayipc::ask(swayipc::getOutputs);
    if (!outputs) return std::nullopt;
    std::optional<Rect> first;
    for (auto& o : swaytree::activeOutputs(*outputs)) {
        Rect frame{o.rect.x, o.rect.y, o.rect.width, o.rect.height};
        if (o.focused) return frame;
        if (!first) first = frame;
    }
    return first;
}

} // namespace input::wlroots

namespace permissions::wlroots {

// Some kernel input device is readable (the person put this user in the `input` group).
bool listenAccess() {
    return !evdev::readableDevices().empty();
}

// Asked of the compositor once: whether it offers screencopy to this client.
bool screenAccess() {
    static const bool offered = [] {
        auto c = wl::connect();
        return c && c->screencopy && c->shm;
    }();
    return offered;
}

} // namespace permissions::wlroots
