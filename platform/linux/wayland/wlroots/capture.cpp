// Window pictures on wlroots: screencopy of the window's rectangle on its output, so what
// covers the window shows in its picture (the compositor keeps no pixels of covered parts).
#include "platform/linux/shared/backend.h"
#include "platform/linux/wayland/wlroots/client.h"
#include "platform/linux/wayland/wlroots/sway_ipc.h"
#include "platform/linux/wayland/wlroots/tree.h"
#include "platform/loop.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

namespace capture::wlroots {
namespace {

struct Output {
    wl_output* output = nullptr;
    std::string name;
};

struct Frame {
    uint32_t format = 0, width = 0, height = 0, stride = 0;
    bool offered = false, bufferDone = false, ready = false, failed = false, yInvert = false;
};

void onBuffer(void* data, zwlr_screencopy_frame_v1*, uint32_t format, uint32_t width,
              uint32_t height, uint32_t stride) {
    auto* f = static_cast<Frame*>(data);
    // Only the shared-memory formats whose bytes read as BGRA, or RGBA, are taken.
    if (format != WL_SHM_FORMAT_XRGB8888 && format != WL_SHM_FORMAT_ARGB8888 &&
        format != WL_SHM_FORMAT_XBGR8888 && format != WL_SHM_FORMAT_ABGR8888)
        return;
    if (f->offered && (f->format == WL_SHM_FORMAT_XRGB8888 || f->format == WL_SHM_FORMAT_ARGB8888))
        return;
    *f = Frame{format, width, height, stride, true, f->bufferDone, false, false, f->yInvert};
}
void onFlags(void* data, zwlr_screencopy_frame_v1*, uint32_t flags) {
    static_cast<Frame*>(data)->yInvert = flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT;
}
void onReady(void* data, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {
    static_cast<Frame*>(data)->ready = true;
}
void onFailed(void* data, zwlr_screencopy_frame_v1*) {
    static_cast<Frame*>(data)->failed = true;
}
void onDamage(void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t, uint32_t) {}
void onDmabuf(void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {}
void onBufferDone(void* data, zwlr_screencopy_frame_v1*) {
    static_cast<Frame*>(data)->bufferDone = true;
}
const zwlr_screencopy_frame_v1_listener frameListener = {onBuffer, onFlags,  onReady,     onFailed,
                                                         onDamage, onDmabuf, onBufferDone};

void outputGeometry(void*, wl_output*, int32_t, int32_t, int32_t, int32_t, int32_t, const char*,
                    const char*, int32_t) {}
void outputMode(void*, wl_output*, uint32_t, int32_t, int32_t, int32_t) {}
void outputDone(void*, wl_output*) {}
void outputScale(void*, wl_output*, int32_t) {}
void outputName(void* data, wl_output*, const char* name) {
    static_cast<Output*>(data)->name = name;
}
void outputDescription(void*, wl_output*, const char*) {}
const wl_output_listener outputListener = {outputGeometry, outputMode, outputDone,
                                           outputScale,    outputName, outputDescription};

// The outputs of a fresh connection, with the names the compositor gives them.
std::vector<std::unique_ptr<Output>> outputsOf(wl::Connection& c) {
    std::vector<std::unique_ptr<Output>> outputs;
    for (auto& [name, version] : c.outputs) {
        auto o = std::make_unique<Output>();
        o->output = static_cast<wl_output*>(
            wl_registry_bind(c.registry, name, &wl_output_interface, std::min(version, 4u)));
        wl_output_add_listener(o->output, &outputListener, o.get());
        outputs.push_back(std::move(o));
    }
    c.roundtrip();
    return outputs;
}

struct Placed {
    std::string output;
    windows::Rect outputRect;
};

// The output a rectangle lies on most, from sway.
std::optional<Placed> outputUnder(const windows::Rect& r) {
    auto outputs = swayipc::ask(swayipc::getOutputs);
    if (!outputs) return std::nullopt;
    std::optional<Placed> best;
    double most = 0;
    for (auto& o : swaytree::activeOutputs(*outputs)) {
        const windows::Rect& out = o.rect;
        double w = std::min(r.x + r.width, out.x + out.width) - std::max(r.x, out.x);
        double h = std::min(r.y + r.height, out.y + out.height) - std::max(r.y, out.y);
        if (w > 0 && h > 0 && w * h > most) {
            most = w * h;
            best = Placed{o.name, out};
        }
    }
    return best;
}

std::shared_ptr<Picture> copy(wl::Connection& c, wl_output* output, const windows::Rect& region,
                              Failure& failure) {
    failure = Failure::failed;
    Frame f;
    auto* frame = zwlr_screencopy_manager_v1_capture_output_region(
        c.screencopy, 0, output, static_cast<int32_t>(std::lround(region.x)),
        static_cast<int32_t>(std::lround(region.y)),
        static_cast<int32_t>(std::lround(region.width)),
        static_cast<int32_t>(std::lround(region.height)));
    zwlr_screencopy_frame_v1_add_listener(frame, &frameListener, &f);
    // Version 3 lists every buffer type before buffer_done; earlier ones offer one.
    while (!f.failed && !(f.offered && (f.bufferDone || c.screencopyVersion < 3)))
        if (wl_display_dispatch(c.display) < 0) break;
    std::shared_ptr<Picture> picture;
    std::size_t size = std::size_t(f.stride) * f.height;
    int fd = f.offered && !f.failed && size > 0 ? memfd_create("frame", MFD_CLOEXEC) : -1;
    void* pixels = MAP_FAILED;
    if (fd >= 0 && ftruncate(fd, static_cast<off_t>(size)) == 0)
        pixels = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (pixels != MAP_FAILED) {
        wl_shm_pool* pool = wl_shm_create_pool(c.shm, fd, static_cast<int32_t>(size));
        wl_buffer* buffer = wl_shm_pool_create_buffer(pool, 0, static_cast<int32_t>(f.width),
                                                      static_cast<int32_t>(f.height),
                                                      static_cast<int32_t>(f.stride), f.format);
        zwlr_screencopy_frame_v1_copy(frame, buffer);
        while (!f.ready && !f.failed)
            if (wl_display_dispatch(c.display) < 0) break;
        if (f.ready) {
            picture = std::make_shared<Picture>();
            picture->width = static_cast<int>(f.width);
            picture->height = static_cast<int>(f.height);
            picture->stride = static_cast<int>(f.width) * 4;
            picture->pixels.resize(std::size_t(picture->stride) * f.height);
            bool rgba = f.format == WL_SHM_FORMAT_XBGR8888 || f.format == WL_SHM_FORMAT_ABGR8888;
            for (uint32_t row = 0; row < f.height; ++row) {
                const auto* from = static_cast<const uint8_t*>(pixels) +
                                   std::size_t(f.stride) * (f.yInvert ? f.height - 1 - row : row);
                uint8_t* to = picture->pixels.data() + std::size_t(picture->stride) * row;
                std::memcpy(to, from, std::size_t(picture->stride));
                if (rgba)
                    for (uint32_t x = 0; x < f.width; ++x)
                        std::swap(to[4 * x], to[4 * x + 2]);
            }
            failure = Failure::none;
        }
        wl_buffer_destroy(buffer);
        wl_shm_pool_destroy(pool);
        munmap(pixels, size);
    }
    if (fd >= 0) ::close(fd);
    zwlr_screencopy_frame_v1_destroy(frame);
    return picture;
}

Result take(uint32_t windowId) {
    auto tree = swayipc::ask(swayipc::getTree);
    if (!tree) return {Failure::unavailable, nullptr};
    std::optional<swaytree::View> view;
    for (auto& v : swaytree::visibleViews(*tree))
        if (v.id == windowId) view = v;
    if (!view || view->content.width < 1 || view->content.height < 1)
        return {Failure::windowGone, nullptr};
    auto placed = outputUnder(view->content);
    auto c = wl::connect();
    if (!placed || !c || !c->screencopy || !c->shm) return {Failure::unavailable, nullptr};
    auto outputs = outputsOf(*c);
    wl_output* output = nullptr;
    for (auto& o : outputs)
        if (o->name == placed->output || (outputs.size() == 1 && o->name.empty()))
            output = o->output;
    Result r{Failure::unavailable, nullptr};
    if (output) {
        // The part of the window on that output, in the output's own coordinates.
        const windows::Rect& out = placed->outputRect;
        double left = std::max(view->content.x, out.x), top = std::max(view->content.y, out.y);
        double right = std::min(view->content.x + view->content.width, out.x + out.width);
        double bottom = std::min(view->content.y + view->content.height, out.y + out.height);
        windows::Rect region{left - out.x, top - out.y, right - left, bottom - top};
        r.picture = copy(*c, output, region, r.failure);
    }
    for (auto& o : outputs)
        wl_output_destroy(o->output);
    return r;
}

loop::Queue* queue() {
    static loop::Queue* q = loop::makeSerialQueue("capture");
    return q;
}

} // namespace

void hold(bool) {}

void captureWindow(uint32_t windowId, std::function<void(Result)> done) {
    loop::async(queue(), [windowId, done = std::move(done)] { done(take(windowId)); });
}

} // namespace capture::wlroots
