// Window pictures from the Composite extension. While held, every top-level window is redirected
// (automatically: the server still paints the screen), so each keeps its own pixels off screen,
// covered parts included, and never the cursor. A picture names the frame window's pixmap and
// reads it through shared memory, or with a plain GetImage when the server cannot share.
//
// A window longer than keeping needs (2,560 pixels a side, twice the 1,280 a kept frame has at
// most) is scaled down by the server (an XRender transform) before it is read: a window may be
// 32,767 pixels a side, and reading it whole would cost gigabytes here for pixels never kept.
//
// All of it runs on one serial queue over an XCB connection of its own: XCB hands each request's
// error back to the caller, so no Xlib error handler is involved, and the watcher's own
// connection never waits on a picture. The redirection lives as long as this connection.
#include "platform/capture.h"
#include "platform/loop.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <vector>
#include <xcb/composite.h>
#include <xcb/render.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

namespace capture::x11 {
namespace {

struct FreeReply {
    void operator()(void* p) const { std::free(p); }
};
template <class T> using Reply = std::unique_ptr<T, FreeReply>;

// All of this belongs to the capture queue.
struct Connection {
    xcb_connection_t* c = nullptr;
    xcb_window_t root = 0;
    bool composite = false;
    bool redirected = false;
    bool shm = false; // false once attaching failed: the server is elsewhere
    xcb_shm_seg_t seg = 0;
    int shmId = -1;
    uint8_t* shmAddr = nullptr;
    std::size_t shmSize = 0;
    bool render = false;
    std::vector<xcb_render_pictforminfo_t> formats; // the server's picture formats
};
Connection x;
bool wanted = false; // what the last hold() asked for

loop::Queue* queue() {
    static loop::Queue* q = loop::makeSerialQueue("zephrin.watch.capture");
    return q;
}

bool ok(xcb_void_cookie_t cookie) {
    Reply<xcb_generic_error_t> error(xcb_request_check(x.c, cookie));
    return !error;
}

void dropSegment() {
    if (x.shmAddr) {
        if (x.c && !xcb_connection_has_error(x.c)) xcb_shm_detach(x.c, x.seg);
        ::shmdt(x.shmAddr);
    }
    x.shmAddr = nullptr;
    x.shmSize = 0;
}

void disconnect() {
    dropSegment();
    if (x.c) xcb_disconnect(x.c);
    x = Connection{};
}

// The connection, opened again after the display went away.
bool connected() {
    if (x.c && !xcb_connection_has_error(x.c)) return true;
    disconnect();
    int screenNumber = 0;
    x.c = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(x.c)) {
        disconnect();
        return false;
    }
    auto screens = xcb_setup_roots_iterator(xcb_get_setup(x.c));
    for (int i = 0; i < screenNumber && screens.rem; ++i)
        xcb_screen_next(&screens);
    if (!screens.rem) {
        disconnect();
        return false;
    }
    x.root = screens.data->root;
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(x.c, &xcb_composite_id);
    if (ext && ext->present) {
        // Naming a window's pixmap came with version 0.2.
        Reply<xcb_composite_query_version_reply_t> version(xcb_composite_query_version_reply(
            x.c, xcb_composite_query_version(x.c, 0, 4), nullptr));
        x.composite = version && (version->major_version > 0 || version->minor_version >= 2);
    }
    ext = xcb_get_extension_data(x.c, &xcb_shm_id);
    x.shm = ext && ext->present;
    ext = xcb_get_extension_data(x.c, &xcb_render_id);
    if (ext && ext->present) {
        Reply<xcb_render_query_pict_formats_reply_t> formats(
            xcb_render_query_pict_formats_reply(x.c, xcb_render_query_pict_formats(x.c), nullptr));
        if (formats) {
            auto it = xcb_render_query_pict_formats_formats_iterator(formats.get());
            for (; it.rem; xcb_render_pictforminfo_next(&it))
                x.formats.push_back(*it.data);
        }
        x.render = !x.formats.empty();
    }
    return true;
}

bool redirect(bool on) {
    if (x.redirected == on) return true;
    xcb_void_cookie_t cookie = on ? xcb_composite_redirect_subwindows_checked(
                                        x.c, x.root, XCB_COMPOSITE_REDIRECT_AUTOMATIC)
                                  : xcb_composite_unredirect_subwindows_checked(
                                        x.c, x.root, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
    if (!ok(cookie)) return false;
    x.redirected = on;
    return true;
}

// The child of the root that holds the window: the window manager's frame, or the window itself.
// Nothing when the window no longer exists.
xcb_window_t topLevel(xcb_window_t window) {
    for (int depth = 0; depth < 16; ++depth) {
        Reply<xcb_query_tree_reply_t> tree(
            xcb_query_tree_reply(x.c, xcb_query_tree(x.c, window), nullptr));
        if (!tree) return 0;
        if (tree->parent == x.root || tree->parent == 0) return window;
        window = tree->parent;
    }
    return 0;
}

// A shared segment of at least size bytes, attached on both sides; false when sharing fails.
bool segment(std::size_t size) {
    if (x.shmAddr && x.shmSize >= size) return true;
    dropSegment();
    int id = ::shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (id < 0) return false;
    void* addr = ::shmat(id, nullptr, 0);
    if (addr == reinterpret_cast<void*>(-1)) {
        ::shmctl(id, IPC_RMID, nullptr);
        return false;
    }
    x.seg = xcb_generate_id(x.c);
    bool attached = ok(xcb_shm_attach_checked(x.c, x.seg, static_cast<uint32_t>(id), 0));
    // Marked for removal at once: it goes away with the last attachment, even if we crash.
    ::shmctl(id, IPC_RMID, nullptr);
    if (!attached) {
        ::shmdt(addr);
        return false;
    }
    x.shmAddr = static_cast<uint8_t*>(addr);
    x.shmSize = size;
    return true;
}

// Copies 32-bit pixels into a picture; the server's byte order decides where blue lies.
std::shared_ptr<Picture> pictureFrom(const uint8_t* data, int width, int height, bool msbFirst) {
    auto picture = std::make_shared<Picture>();
    picture->width = width;
    picture->height = height;
    picture->stride = width * 4;
    std::size_t size = static_cast<std::size_t>(picture->stride) * static_cast<std::size_t>(height);
    picture->pixels.assign(data, data + size);
    if (msbFirst)
        for (std::size_t i = 0; i + 3 < size; i += 4) {
            std::swap(picture->pixels[i], picture->pixels[i + 3]);
            std::swap(picture->pixels[i + 1], picture->pixels[i + 2]);
        }
    return picture;
}

int bitsPerPixel(uint8_t depth) {
    auto formats = xcb_setup_pixmap_formats_iterator(xcb_get_setup(x.c));
    for (; formats.rem; xcb_format_next(&formats))
        if (formats.data->depth == depth) return formats.data->bits_per_pixel;
    return 0;
}

std::shared_ptr<Picture> readPixmap(xcb_pixmap_t pixmap, int width, int height) {
    bool msbFirst = xcb_get_setup(x.c)->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST;
    std::size_t size = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
    if (x.shm && segment(size)) {
        Reply<xcb_shm_get_image_reply_t> image(xcb_shm_get_image_reply(
            x.c,
            xcb_shm_get_image(x.c, pixmap, 0, 0, static_cast<uint16_t>(width),
                              static_cast<uint16_t>(height), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, x.seg,
                              0),
            nullptr));
        if (image) return pictureFrom(x.shmAddr, width, height, msbFirst);
        if (xcb_connection_has_error(x.c)) return nullptr;
    } else if (x.shm) {
        x.shm = false; // a server on another machine: plain reads from now on
    }
    Reply<xcb_get_image_reply_t> image(xcb_get_image_reply(
        x.c,
        xcb_get_image(x.c, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, 0, 0, static_cast<uint16_t>(width),
                      static_cast<uint16_t>(height), ~0u),
        nullptr));
    if (!image || static_cast<std::size_t>(xcb_get_image_data_length(image.get())) < size)
        return nullptr;
    return pictureFrom(xcb_get_image_data(image.get()), width, height, msbFirst);
}

// The longest side a picture is read at.
constexpr int longestRead = 2560;

// The picture format of 32-bit pixels of this depth (x8r8g8b8 or a8r8g8b8); 0 when none.
xcb_render_pictformat_t formatOf(uint8_t depth) {
    for (const auto& f : x.formats)
        if (f.type == XCB_RENDER_PICT_TYPE_DIRECT && f.depth == depth && f.direct.red_shift == 16 &&
            f.direct.red_mask == 0xff && f.direct.green_shift == 8 && f.direct.green_mask == 0xff &&
            f.direct.blue_shift == 0 && f.direct.blue_mask == 0xff)
            return f.id;
    return 0;
}

xcb_render_fixed_t fixed(double v) {
    return static_cast<xcb_render_fixed_t>(v * 65536.0 + 0.5);
}

// Scales the pixmap down on the server to fit longestRead a side and reads that; nullptr when the
// server cannot.
std::shared_ptr<Picture> readScaled(xcb_pixmap_t pixmap, uint8_t depth, int width, int height) {
    xcb_render_pictformat_t format = formatOf(depth);
    if (!x.render || !format) return nullptr;
    double scale = static_cast<double>(longestRead) / std::max(width, height);
    int w = std::max(1, static_cast<int>(width * scale + 0.5));
    int h = std::max(1, static_cast<int>(height * scale + 0.5));
    xcb_render_picture_t source = xcb_generate_id(x.c), target = xcb_generate_id(x.c);
    xcb_pixmap_t small = xcb_generate_id(x.c);
    xcb_render_create_picture(x.c, source, pixmap, format, 0, nullptr);
    xcb_create_pixmap(x.c, depth, small, x.root, static_cast<uint16_t>(w),
                      static_cast<uint16_t>(h));
    xcb_render_create_picture(x.c, target, small, format, 0, nullptr);
    // The transform maps the target's pixels to the source's.
    xcb_render_transform_t transform{fixed(1 / scale), 0, 0, 0, fixed(1 / scale), 0, 0, 0,
                                     fixed(1)};
    xcb_render_set_picture_transform(x.c, source, transform);
    const char filter[] = "good";
    xcb_render_set_picture_filter(x.c, source, sizeof filter - 1, filter, 0, nullptr);
    xcb_render_composite(x.c, XCB_RENDER_PICT_OP_SRC, source, XCB_RENDER_PICTURE_NONE, target, 0, 0,
                         0, 0, 0, 0, static_cast<uint16_t>(w), static_cast<uint16_t>(h));
    auto picture = readPixmap(small, w, h);
    xcb_render_free_picture(x.c, source);
    xcb_render_free_picture(x.c, target);
    xcb_free_pixmap(x.c, small);
    return picture;
}

Result take(uint32_t windowId) {
    Result result;
    if (!connected() || !x.composite) {
        result.failure = Failure::unavailable;
        return result;
    }
    xcb_window_t top = topLevel(windowId);
    Reply<xcb_get_window_attributes_reply_t> attributes;
    if (top)
        attributes.reset(
            xcb_get_window_attributes_reply(x.c, xcb_get_window_attributes(x.c, top), nullptr));
    if (xcb_connection_has_error(x.c)) {
        result.failure = Failure::unavailable;
        return result;
    }
    if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE) {
        result.failure = Failure::windowGone;
        return result;
    }
    // A connection opened again after the display came back takes up the hold first. Unheld,
    // the window is redirected just for this picture, and parts covered until now may show what
    // covered them.
    if (wanted) redirect(true);
    bool borrowed = !x.redirected;
    if (!redirect(true)) {
        result.failure = Failure::unavailable;
        return result;
    }
    xcb_pixmap_t pixmap = xcb_generate_id(x.c);
    if (!ok(xcb_composite_name_window_pixmap_checked(x.c, top, pixmap))) {
        // Unmapped or destroyed since the attributes were read.
        result.failure = xcb_connection_has_error(x.c) ? Failure::unavailable : Failure::windowGone;
        if (borrowed && !xcb_connection_has_error(x.c)) redirect(false);
        return result;
    }
    Reply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(x.c, xcb_get_geometry(x.c, pixmap), nullptr));
    if (geometry && bitsPerPixel(geometry->depth) == 32 && geometry->width > 0 &&
        geometry->height > 0) {
        if (std::max(geometry->width, geometry->height) > longestRead)
            result.picture = readScaled(pixmap, geometry->depth, geometry->width, geometry->height);
        else
            result.picture = readPixmap(pixmap, geometry->width, geometry->height);
    }
    if (xcb_connection_has_error(x.c)) {
        result.failure = Failure::unavailable;
        result.picture.reset();
        return result;
    }
    xcb_free_pixmap(x.c, pixmap);
    if (borrowed) redirect(false);
    xcb_flush(x.c);
    if (!result.picture) result.failure = Failure::failed;
    return result;
}

} // namespace

void hold(bool on) {
    loop::async(queue(), [on] {
        wanted = on;
        // Letting go needs no new connection: a closed one holds nothing.
        if (!on && (!x.c || xcb_connection_has_error(x.c))) return;
        if (connected() && x.composite) redirect(on);
        // The segment is as big as the biggest picture yet: not kept while none is wanted.
        if (!on) dropSegment();
    });
}

void captureWindow(uint32_t windowId, std::function<void(Result)> done) {
    loop::async(queue(), [windowId, done = std::move(done)] { done(take(windowId)); });
}

} // namespace capture::x11
