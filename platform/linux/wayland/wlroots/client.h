#pragma once
// A connection to the Wayland compositor with the globals this backend uses bound. Each user
// (a capture, act's input, the idle and clipboard watchers) holds one of its own, so no two
// threads share a queue.
#include "ext-idle-notify-v1-client.h"
#include "idle-client.h"
#include "virtual-keyboard-unstable-v1-client.h"
#include "wlr-data-control-unstable-v1-client.h"
#include "wlr-screencopy-unstable-v1-client.h"
#include "wlr-virtual-pointer-unstable-v1-client.h"

#include <memory>
#include <utility>
#include <vector>
#include <wayland-client.h>

namespace wl {

struct Connection {
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_seat* seat = nullptr;
    wl_shm* shm = nullptr;
    zwlr_screencopy_manager_v1* screencopy = nullptr;
    zwp_virtual_keyboard_manager_v1* keyboards = nullptr;
    zwlr_virtual_pointer_manager_v1* pointers = nullptr;
    zwlr_data_control_manager_v1* dataControl = nullptr;
    org_kde_kwin_idle* kdeIdle = nullptr;
    ext_idle_notifier_v1* idleNotifier = nullptr;
    uint32_t screencopyVersion = 0;
    std::vector<std::pair<uint32_t, uint32_t>> outputs; // wl_output globals: name, version

    ~Connection();
    // Sends what is queued and waits until the compositor has handled it; false when the
    // connection failed.
    bool roundtrip();
};

// nullptr when no compositor answers.
std::unique_ptr<Connection> connect();

} // namespace wl
