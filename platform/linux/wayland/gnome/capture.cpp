// Pictures of the front window on GNOME: Mutter's screen cast of the monitor, read through
// PipeWire. A cast shows whatever is on the monitor, so it stands for the front window only when
// that window fills the monitor; any other window's place is unknown and no picture is taken.
#include "platform/linux/shared/backend.h"
#include "platform/linux/wayland/gnome/mutter.h"
#include "platform/loop.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wpedantic"
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#pragma GCC diagnostic pop

namespace capture::gnome {
namespace {

constexpr const char* sc = "org.gnome.Mutter.ScreenCast";
constexpr int callMs = 2000;
constexpr int firstFrameMs = 3000;

loop::Queue* queue() {
    static loop::Queue* q = loop::makeSerialQueue("capture");
    return q;
}

// Everything below is touched on the capture queue, but the latest picture, which PipeWire's
// thread writes.
struct Cast {
    std::string session;
    uint32_t window = 0; // the window the cast was started for
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    spa_video_info_raw format{};

    std::mutex lock;
    std::condition_variable arrived;
    std::shared_ptr<Picture> latest;
};
std::unique_ptr<Cast> cast;
bool held = false;

void onParamChanged(void* data, uint32_t id, const spa_pod* param) {
    auto* c = static_cast<Cast*>(data);
    if (!param || id != SPA_PARAM_Format) return;
    spa_video_info_raw raw{};
    if (spa_format_video_raw_parse(param, &raw) < 0) return;
    c->format = raw;
    uint8_t buffer[256];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[1];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
        SPA_POD_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd))));
    pw_stream_update_params(c->stream, params, 1);
}

// Rows as BGRA whatever order the cast sends them in.
void onProcess(void* data) {
    auto* c = static_cast<Cast*>(data);
    pw_buffer* b = pw_stream_dequeue_buffer(c->stream);
    if (!b) return;
    spa_data& d = b->buffer->datas[0];
    int width = static_cast<int>(c->format.size.width);
    int height = static_cast<int>(c->format.size.height);
    int stride = d.chunk ? d.chunk->stride : 0;
    bool rgb =
        c->format.format == SPA_VIDEO_FORMAT_RGBx || c->format.format == SPA_VIDEO_FORMAT_RGBA;
    if (d.data && width > 0 && height > 0 && stride >= width * 4 &&
        d.maxsize >= static_cast<uint32_t>(stride) * static_cast<uint32_t>(height)) {
        auto p = std::make_shared<Picture>();
        p->width = width;
        p->height = height;
        p->stride = width * 4;
        p->pixels.resize(static_cast<std::size_t>(p->stride) * height);
        const auto* from = static_cast<const uint8_t*>(d.data) + (d.chunk ? d.chunk->offset : 0);
        for (int y = 0; y < height; ++y) {
            const uint8_t* row = from + static_cast<std::size_t>(y) * stride;
            uint8_t* to = p->pixels.data() + static_cast<std::size_t>(y) * p->stride;
            std::memcpy(to, row, static_cast<std::size_t>(p->stride));
            if (rgb)
                for (int x = 0; x < width; ++x)
                    std::swap(to[4 * x], to[4 * x + 2]);
        }
        std::lock_guard<std::mutex> hold(c->lock);
        c->latest = std::move(p);
        c->arrived.notify_all();
    }
    pw_stream_queue_buffer(c->stream, b);
}

const pw_stream_events streamEvents = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.param_changed = onParamChanged;
    e.process = onProcess;
    return e;
}();

std::string pathOf(const atspi::Variant& r) {
    if (!r) return {};
    const char* p = nullptr;
    g_variant_get(r.get(), "(&o)", &p);
    return p;
}

void onStreamAdded(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                   GVariant* params, gpointer data) {
    g_variant_get(params, "(u)", static_cast<uint32_t*>(data));
}

// A cast of the primary monitor without the cursor; the PipeWire node Mutter makes for it.
std::optional<uint32_t> startCast(std::string& session) {
    GVariantBuilder props;
    g_variant_builder_init(&props, G_VARIANT_TYPE("a{sv}"));
    session = pathOf(mutter::call(sc, "/org/gnome/Mutter/ScreenCast", sc, "CreateSession",
                                  g_variant_new("(a{sv})", &props), "(o)", callMs));
    if (session.empty()) return std::nullopt;
    GVariantBuilder record;
    g_variant_builder_init(&record, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&record, "{sv}", "cursor-mode", g_variant_new_uint32(0));
    std::string stream = pathOf(
        mutter::call(sc, session.c_str(), "org.gnome.Mutter.ScreenCast.Session", "RecordMonitor",
                     g_variant_new("(sa{sv})", "", &record), "(o)", callMs));
    if (stream.empty()) return std::nullopt;
    // The node is told by a signal once the session starts: it is waited for on a context of
    // this thread's own.
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    uint32_t node = SPA_ID_INVALID;
    guint id = g_dbus_connection_signal_subscribe(
        mutter::bus(), sc, "org.gnome.Mutter.ScreenCast.Stream", "PipeWireStreamAdded",
        stream.c_str(), nullptr, G_DBUS_SIGNAL_FLAGS_NONE, onStreamAdded, &node, nullptr);
    bool started = mutter::call(sc, session.c_str(), "org.gnome.Mutter.ScreenCast.Session", "Start",
                                nullptr, nullptr, callMs) != nullptr;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(callMs);
    while (started && node == SPA_ID_INVALID && std::chrono::steady_clock::now() < deadline)
        if (!g_main_context_iteration(context, FALSE))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    g_dbus_connection_signal_unsubscribe(mutter::bus(), id);
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
    if (node == SPA_ID_INVALID) return std::nullopt;
    return node;
}

void stop() {
    if (!cast) return;
    if (cast->loop) pw_thread_loop_stop(cast->loop);
    if (cast->stream) pw_stream_destroy(cast->stream);
    if (cast->core) pw_core_disconnect(cast->core);
    if (cast->context) pw_context_destroy(cast->context);
    if (cast->loop) pw_thread_loop_destroy(cast->loop);
    if (!cast->session.empty())
        mutter::call(sc, cast->session.c_str(), "org.gnome.Mutter.ScreenCast.Session", "Stop",
                     nullptr, nullptr, callMs);
    cast.reset();
}

// A cast is started for one window: a picture it held from before that window came to the front
// would show another window's content under its name.
bool start(uint32_t window) {
    if (cast && cast->window == window) return true;
    stop();
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
    cast = std::make_unique<Cast>();
    cast->window = window;
    auto node = startCast(cast->session);
    if (!node) {
        stop();
        return false;
    }
    cast->loop = pw_thread_loop_new("zephrin-cast", nullptr);
    if (!cast->loop) {
        stop();
        return false;
    }
    cast->context = pw_context_new(pw_thread_loop_get_loop(cast->loop), nullptr, 0);
    if (!cast->context || pw_thread_loop_start(cast->loop) < 0) {
        stop();
        return false;
    }
    pw_thread_loop_lock(cast->loop);
    cast->core = pw_context_connect(cast->context, nullptr, 0);
    bool ok = cast->core != nullptr;
    if (ok) {
        cast->stream =
            pw_stream_new(cast->core, "zephrin-frames",
                          pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                            "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
        ok = cast->stream != nullptr;
    }
    if (ok) {
        pw_stream_add_listener(cast->stream, &cast->listener, &streamEvents, cast.get());
        uint8_t buffer[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        spa_rectangle size = SPA_RECTANGLE(1280, 800), least = SPA_RECTANGLE(1, 1),
                      most = SPA_RECTANGLE(16384, 16384);
        spa_fraction rate = SPA_FRACTION(30, 1), slow = SPA_FRACTION(0, 1),
                     fast = SPA_FRACTION(240, 1);
        const spa_pod* params[1];
        params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
            SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
            SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
            SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                                   SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx,
                                   SPA_VIDEO_FORMAT_RGBA),
            SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&size, &least, &most),
            SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&rate, &slow, &fast)));
        ok = pw_stream_connect(
                 cast->stream, PW_DIRECTION_INPUT, *node,
                 pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), params,
                 1) == 0;
    }
    pw_thread_loop_unlock(cast->loop);
    if (!ok) stop();
    return ok;
}

Result take(uint32_t windowId) {
    auto facts = backend::gnome::windowFacts(windowId);
    if (!facts) return {Failure::windowGone, nullptr};
    if (!facts->rect) return {Failure::unavailable, nullptr};
    if (!start(windowId)) return {Failure::unavailable, nullptr};
    std::shared_ptr<Picture> p;
    {
        std::unique_lock<std::mutex> hold(cast->lock);
        cast->arrived.wait_for(hold, std::chrono::milliseconds(firstFrameMs),
                               [] { return cast->latest != nullptr; });
        p = cast->latest;
    }
    // A window that fills the monitor is all of the picture; a monitor of another size than the
    // window's means the window changed since.
    if (!p || p->width != int(facts->rect->width) || p->height != int(facts->rect->height))
        return {Failure::failed, nullptr};
    // Still in front and still filling the monitor once the picture is there.
    auto after = backend::gnome::windowFacts(windowId);
    if (!after) return {Failure::windowGone, nullptr};
    if (!after->rect) return {Failure::unavailable, nullptr};
    // The receiver owns its picture: the cast keeps writing new ones.
    return {Failure::none, std::make_shared<Picture>(*p)};
}

} // namespace

void hold(bool on) {
    if (on == held) return;
    held = on;
    if (!on) loop::async(queue(), [] { stop(); });
}

void captureWindow(uint32_t windowId, std::function<void(Result)> done) {
    loop::async(queue(), [windowId, done = std::move(done)] { done(take(windowId)); });
}

} // namespace capture::gnome
