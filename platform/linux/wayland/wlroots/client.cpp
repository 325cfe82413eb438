#include "platform/linux/wayland/wlroots/client.h"

#include <algorithm>
#include <cstring>

namespace wl {
namespace {

template <class T>
T* bind(wl_registry* registry, uint32_t name, const wl_interface* iface, uint32_t offered,
        uint32_t wanted) {
    return static_cast<T*>(wl_registry_bind(registry, name, iface, std::min(offered, wanted)));
}

void global(void* data, wl_registry* registry, uint32_t name, const char* iface, uint32_t version) {
    auto* c = static_cast<Connection*>(data);
    auto is = [&](const wl_interface& i) { return std::strcmp(iface, i.name) == 0; };
    if (is(wl_seat_interface) && !c->seat)
        c->seat = bind<wl_seat>(registry, name, &wl_seat_interface, version, 1);
    else if (is(wl_output_interface))
        c->outputs.emplace_back(name, version);
    else if (is(wl_shm_interface))
        c->shm = bind<wl_shm>(registry, name, &wl_shm_interface, version, 1);
    else if (is(zwlr_screencopy_manager_v1_interface)) {
        c->screencopyVersion = std::min(version, 3u);
        c->screencopy = bind<zwlr_screencopy_manager_v1>(
            registry, name, &zwlr_screencopy_manager_v1_interface, version, 3);
    } else if (is(zwp_virtual_keyboard_manager_v1_interface))
        c->keyboards = bind<zwp_virtual_keyboard_manager_v1>(
            registry, name, &zwp_virtual_keyboard_manager_v1_interface, version, 1);
    else if (is(zwlr_virtual_pointer_manager_v1_interface))
        c->pointers = bind<zwlr_virtual_pointer_manager_v1>(
            registry, name, &zwlr_virtual_pointer_manager_v1_interface, version, 1);
    else if (is(zwlr_data_control_manager_v1_interface))
        c->dataControl = bind<zwlr_data_control_manager_v1>(
            registry, name, &zwlr_data_control_manager_v1_interface, version, 1);
    else if (is(org_kde_kwin_idle_interface))
        c->kdeIdle =
            bind<org_kde_kwin_idle>(registry, name, &org_kde_kwin_idle_interface, version, 1);
    else if (is(ext_idle_notifier_v1_interface))
        c->idleNotifier =
            bind<ext_idle_notifier_v1>(registry, name, &ext_idle_notifier_v1_interface, version, 1);
}

void globalRemove(void*, wl_registry*, uint32_t) {}

const wl_registry_listener registryListener = {global, globalRemove};

} // namespace

Connection::~Connection() {
    if (!display) return;
    if (idleNotifier) ext_idle_notifier_v1_destroy(idleNotifier);
    if (kdeIdle) org_kde_kwin_idle_destroy(kdeIdle);
    if (dataControl) zwlr_data_control_manager_v1_destroy(dataControl);
    if (pointers) zwlr_virtual_pointer_manager_v1_destroy(pointers);
    if (keyboards) zwp_virtual_keyboard_manager_v1_destroy(keyboards);
    if (screencopy) zwlr_screencopy_manager_v1_destroy(screencopy);
    if (shm) wl_shm_destroy(shm);
    if (seat) wl_seat_destroy(seat);
    if (registry) wl_registry_destroy(registry);
    wl_display_disconnect(display);
}

bool Connection::roundtrip() {
    return wl_display_roundtrip(display) >= 0;
}

std::unique_ptr<Connection> connect() {
    auto c = std::make_unique<Connection>();
    c->display = wl_display_connect(nullptr);
    if (!c->display) return nullptr;
    c->registry = wl_display_get_registry(c->display);
    wl_registry_add_listener(c->registry, &registryListener, c.get());
    if (!c->roundtrip()) return nullptr;
    return c;
}

} // namespace wl
