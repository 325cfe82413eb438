#include "platform/linux/shared/atspi.h"
#include "platform/linux/shared/sessionbus.h"

#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace atspi {
namespace {

constexpr auto busFlags = static_cast<GDBusConnectionFlags>(
    G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);

// State the event thread uses is never destroyed: the thread outlives static destruction.
//
// The bus is reached on a thread of its own, never on a caller's: a hung session or
// accessibility bus holds only that thread. A connection that closes is replaced, with growing
// pauses between attempts, and everything asked of the old one is asked again of the new one.
// Connections that closed are kept, never freed: another thread may still hold the pointer.
std::mutex& busMutex = *new std::mutex;
std::condition_variable& busChanged = *new std::condition_variable;
GDBusConnection* connection = nullptr;
bool connecting = false;
int attempts = 0; // finished attempts
std::chrono::steady_clock::time_point nextTry{};
std::chrono::milliseconds backOff{0};
constexpr std::chrono::milliseconds firstBackOff{500}, longestBackOff{15000};

GDBusConnection* open(const std::string& address) {
    GDBusConnection* c = g_dbus_connection_new_for_address_sync(address.c_str(), busFlags, nullptr,
                                                                nullptr, nullptr);
    if (c) g_dbus_connection_set_exit_on_close(c, FALSE);
    return c;
}

std::string accessibilityAddress() {
    if (const char* a = std::getenv("AT_SPI_BUS_ADDRESS"); a && *a) return a;
    std::string session = sessionbus::sessionBusAddress();
    if (session.empty()) return {};
    GDBusConnection* s = open(session);
    if (!s) return {};
    GVariant* reply = g_dbus_connection_call_sync(
        s, "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", nullptr,
        G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, 1000, nullptr, nullptr);
    std::string address;
    if (reply) {
        const char* a = nullptr;
        g_variant_get(reply, "(&s)", &a);
        address = a ? a : "";
        g_variant_unref(reply);
    }
    g_dbus_connection_close_sync(s, nullptr, nullptr);
    g_object_unref(s);
    return address;
}

std::mutex& pidMutex = *new std::mutex;
std::map<std::string, int>& pids = *new std::map<std::string, int>;
std::set<std::string>& senders = *new std::set<std::string>; // every name heard from

// The event thread.
std::mutex& pumpMutex = *new std::mutex;
GMainContext* pumpContext = nullptr;
std::vector<std::function<void(const Event&)>>& listeners =
    *new std::vector<std::function<void(const Event&)>>;

void onSignal(GDBusConnection*, const char* sender, const char* path, const char* iface,
              const char* member, GVariant* params, gpointer) {
    if (!sender || !g_variant_is_of_type(params, G_VARIANT_TYPE_TUPLE) ||
        g_variant_n_children(params) < 4)
        return;
    {
        std::lock_guard lock(pidMutex);
        senders.insert(sender);
    }
    Event e;
    e.sender = sender;
    e.path = path;
    std::string_view i = iface;
    e.kind = std::string(i.substr(i.rfind('.') + 1));
    e.member = member;
    Variant minor(g_variant_get_child_value(params, 0));
    Variant d1(g_variant_get_child_value(params, 1));
    Variant d2(g_variant_get_child_value(params, 2));
    Variant boxed(g_variant_get_child_value(params, 3));
    if (g_variant_is_of_type(minor.get(), G_VARIANT_TYPE_STRING))
        e.minor = g_variant_get_string(minor.get(), nullptr);
    if (g_variant_is_of_type(d1.get(), G_VARIANT_TYPE_INT32))
        e.detail1 = g_variant_get_int32(d1.get());
    if (g_variant_is_of_type(d2.get(), G_VARIANT_TYPE_INT32))
        e.detail2 = g_variant_get_int32(d2.get());
    Variant data(g_variant_is_of_type(boxed.get(), G_VARIANT_TYPE_VARIANT)
                     ? g_variant_get_variant(boxed.get())
                     : g_variant_ref(boxed.get()));
    e.data = data.get();
    std::vector<std::function<void(const Event&)>> now;
    {
        std::lock_guard lock(pumpMutex);
        now = listeners;
    }
    for (auto& l : now)
        l(e);
}

// Applications send only the events some client asked the registry for.
// (Names narrower than a whole class, like "object:state-changed", were not matched by GTK's
// bridge here.)
constexpr const char* wantedEvents[] = {"object:", "window:", "focus:", "document:"};
constexpr const char* registryName = "org.a11y.atspi.Registry";

// The registry starts with the first client that asks for it, which may be us: our requests may
// start it. A registry that takes the name later (started meanwhile, or again) is told again;
// without this, applications never send us anything.
void registerEvents(GDBusConnection* c) {
    for (const char* name : wantedEvents)
        g_dbus_connection_call(c, registryName, "/org/a11y/atspi/registry", registryName,
                               "RegisterEvent",
                               g_variant_new("(s@ass)", name, g_variant_new_strv(nullptr, 0), ""),
                               nullptr, G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, nullptr, nullptr);
}

void tell(const Event& e) {
    std::vector<std::function<void(const Event&)>> now;
    {
        std::lock_guard lock(pumpMutex);
        now = listeners;
    }
    for (auto& l : now)
        l(e);
}

void leftTheBus(const std::string& name) {
    Event e;
    e.sender = name;
    e.kind = "Bus";
    e.member = "Gone";
    tell(e);
    std::lock_guard lock(pidMutex);
    pids.erase(name);
    senders.erase(name);
}

// Event thread: what the watcher asks of every connection, asked again of each new one.
void subscribeAll(GDBusConnection* c) {
    for (const char* iface : {"org.a11y.atspi.Event.Object", "org.a11y.atspi.Event.Window",
                              "org.a11y.atspi.Event.Focus", "org.a11y.atspi.Event.Document"})
        g_dbus_connection_signal_subscribe(c, nullptr, iface, nullptr, nullptr, nullptr,
                                           G_DBUS_SIGNAL_FLAGS_NONE, onSignal, nullptr, nullptr);
    g_dbus_connection_signal_subscribe(
        c, "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged",
        "/org/freedesktop/DBus", registryName, G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection* c, const char*, const char*, const char*, const char*, GVariant* params,
           gpointer) {
            const char *name, *from, *to;
            g_variant_get(params, "(&s&s&s)", &name, &from, &to);
            if (*to) registerEvents(c);
        },
        nullptr, nullptr);
    registerEvents(c);
    // A connection that leaves the bus is told to listeners as kind "Bus", member "Gone".
    g_dbus_connection_signal_subscribe(
        c, "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged",
        "/org/freedesktop/DBus", nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const char*, const char*, const char*, const char*, GVariant* params,
           gpointer) {
            const char *name, *from, *to;
            g_variant_get(params, "(&s&s&s)", &name, &from, &to);
            if (*to || name[0] != ':') return;
            leftTheBus(name);
        },
        nullptr, nullptr);
    Event back;
    back.kind = "Bus";
    back.member = "Back";
    tell(back);
}

void connectLater(std::chrono::milliseconds delay);

// Any thread: the bus went away. Everyone on it went with it; a new connection is tried later.
void lost(GDBusConnection* c) {
    {
        std::lock_guard lock(busMutex);
        if (connection != c) return;
        connection = nullptr;
        backOff = firstBackOff;
        nextTry = std::chrono::steady_clock::now() + backOff;
        busChanged.notify_all();
    }
    onEventThread([] {
        std::set<std::string> gone;
        {
            std::lock_guard lock(pidMutex);
            gone = senders;
            for (auto& [name, pid] : pids)
                gone.insert(name);
        }
        for (const std::string& name : gone)
            leftTheBus(name);
    });
    connectLater(firstBackOff);
}

// On a thread of its own, one attempt at a time.
void attempt() {
    std::thread([] {
        std::string address = accessibilityAddress();
        GDBusConnection* c = address.empty() ? nullptr : open(address);
        if (c)
            g_signal_connect(c, "closed",
                             G_CALLBACK(+[](GDBusConnection* closed, gboolean, GError*, gpointer) {
                                 lost(closed);
                             }),
                             nullptr);
        bool gotIt = false;
        std::chrono::milliseconds again{0};
        {
            std::lock_guard lock(busMutex);
            connecting = false;
            ++attempts;
            if (c && !g_dbus_connection_is_closed(c)) {
                connection = c;
                backOff = std::chrono::milliseconds{0};
                gotIt = true;
            } else {
                backOff = std::clamp(backOff * 2, firstBackOff, longestBackOff);
                nextTry = std::chrono::steady_clock::now() + backOff;
                again = backOff;
            }
            busChanged.notify_all();
        }
        if (gotIt)
            onEventThread([c] { subscribeAll(c); });
        else
            connectLater(again);
    }).detach();
}

// busMutex held.
void attemptIfDue() {
    if (connection || connecting || std::chrono::steady_clock::now() < nextTry) return;
    connecting = true;
    attempt();
}

void connectLater(std::chrono::milliseconds delay) {
    onEventThread([delay] {
        GSource* t = g_timeout_source_new(static_cast<guint>(delay.count()));
        g_source_set_callback(
            t,
            [](gpointer) -> gboolean {
                std::lock_guard lock(busMutex);
                attemptIfDue();
                return G_SOURCE_REMOVE;
            },
            nullptr, nullptr);
        g_source_attach(t, g_main_context_get_thread_default());
        g_source_unref(t);
    });
}

void startPump() {
    GMainContext* ctx = g_main_context_new();
    {
        std::lock_guard lock(pumpMutex);
        pumpContext = ctx;
    }
    std::thread([ctx] {
        g_main_context_push_thread_default(ctx);
        GMainLoop* loop = g_main_loop_new(ctx, FALSE);
        g_main_loop_run(loop);
    }).detach();
}

std::once_flag pumpOnce;

} // namespace

GDBusConnection* bus() {
    std::call_once(pumpOnce, startPump);
    std::lock_guard lock(busMutex);
    if (!connection) attemptIfDue();
    return connection;
}

namespace {
thread_local unsigned long unansweredCalls = 0;

// No answer at all, as opposed to an answer that says "no such thing".
bool unanswered(const GError* error) {
    if (!error) return false;
    if (error->domain == G_IO_ERROR)
        return error->code == G_IO_ERROR_TIMED_OUT || error->code == G_IO_ERROR_CLOSED ||
               error->code == G_IO_ERROR_CANCELLED;
    if (error->domain == G_DBUS_ERROR)
        return error->code == G_DBUS_ERROR_NO_REPLY || error->code == G_DBUS_ERROR_TIMEOUT ||
               error->code == G_DBUS_ERROR_TIMED_OUT || error->code == G_DBUS_ERROR_DISCONNECTED ||
               error->code == G_DBUS_ERROR_SERVICE_UNKNOWN ||
               error->code == G_DBUS_ERROR_NAME_HAS_NO_OWNER ||
               error->code == G_DBUS_ERROR_LIMITS_EXCEEDED;
    return false;
}
} // namespace

unsigned long unansweredCount() {
    return unansweredCalls;
}

void noteUnanswered() {
    ++unansweredCalls;
}

bool connected(int waitMs) {
    std::call_once(pumpOnce, startPump);
    std::unique_lock lock(busMutex);
    if (!connection) attemptIfDue();
    if (attempts == 0 && connecting)
        busChanged.wait_for(lock, std::chrono::milliseconds(waitMs),
                            [] { return connection || attempts > 0; });
    return connection != nullptr;
}

Variant call(const std::string& dest, const std::string& path, const char* iface,
             const char* method, GVariant* params, const char* replyType, int timeoutMs) {
    GDBusConnection* c = bus();
    if (!c || dest.empty() || !g_variant_is_object_path(path.c_str())) {
        if (params) g_variant_unref(g_variant_ref_sink(params));
        if (!c && !dest.empty()) ++unansweredCalls;
        return nullptr;
    }
    GError* error = nullptr;
    GVariant* reply =
        g_dbus_connection_call_sync(c, dest.c_str(), path.c_str(), iface, method, params,
                                    replyType ? G_VARIANT_TYPE(replyType) : nullptr,
                                    G_DBUS_CALL_FLAGS_NO_AUTO_START, timeoutMs, nullptr, &error);
    if (unanswered(error)) ++unansweredCalls;
    if (error) g_error_free(error);
    return Variant(reply);
}

void callAsync(const std::string& dest, const std::string& path, const char* iface,
               const char* method, GVariant* params, const char* replyType, int timeoutMs,
               std::function<void(Variant)> done) {
    GDBusConnection* c = bus();
    if (!c || dest.empty() || !g_variant_is_object_path(path.c_str())) {
        if (params) g_variant_unref(g_variant_ref_sink(params));
        done(nullptr);
        return;
    }
    auto* holder = new std::function<void(Variant)>(std::move(done));
    g_dbus_connection_call(
        c, dest.c_str(), path.c_str(), iface, method, params,
        replyType ? G_VARIANT_TYPE(replyType) : nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, timeoutMs,
        nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<std::function<void(Variant)>> fn(
                static_cast<std::function<void(Variant)>*>(data));
            GVariant* reply =
                g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
            (*fn)(Variant(reply));
        },
        holder);
}

int pidOf(const std::string& busName, int timeoutMs) {
    {
        std::lock_guard lock(pidMutex);
        if (auto it = pids.find(busName); it != pids.end()) return it->second;
    }
    Variant reply =
        call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
             "GetConnectionUnixProcessID", g_variant_new("(s)", busName.c_str()), "(u)", timeoutMs);
    if (!reply) return -1;
    guint32 pid = 0;
    g_variant_get(reply.get(), "(u)", &pid);
    std::lock_guard lock(pidMutex);
    pids[busName] = static_cast<int>(pid);
    return static_cast<int>(pid);
}

std::vector<std::string> applications(int timeoutMs) {
    std::vector<std::string> out;
    Variant reply = call("org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root",
                         "org.a11y.atspi.Accessible", "GetChildren", nullptr, "(a(so))", timeoutMs);
    if (!reply) return out;
    GVariantIter* it = nullptr;
    g_variant_get(reply.get(), "(a(so))", &it);
    const char* name = nullptr;
    const char* path = nullptr;
    while (g_variant_iter_next(it, "(&s&o)", &name, &path))
        out.emplace_back(name);
    g_variant_iter_free(it);
    return out;
}

void addListener(std::function<void(const Event&)> listener) {
    {
        std::lock_guard lock(pumpMutex);
        listeners.push_back(std::move(listener));
    }
    std::call_once(pumpOnce, startPump);
}

void onEventThread(std::function<void()> work, int delayMs) {
    std::call_once(pumpOnce, startPump);
    GMainContext* ctx;
    {
        std::lock_guard lock(pumpMutex);
        ctx = pumpContext;
    }
    // Always queued, never run in place: callers may hold locks the work takes.
    GSource* source = delayMs > 0 ? g_timeout_source_new(delayMs) : g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(
        source,
        [](gpointer data) -> gboolean {
            (*static_cast<std::function<void()>*>(data))();
            return G_SOURCE_REMOVE;
        },
        new std::function<void()>(std::move(work)),
        [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
    g_source_attach(source, ctx);
    g_source_unref(source);
}

std::string placeholderOf(GVariant* attributes) {
    const char* v = nullptr;
    for (const char* key : {"placeholder-text", "placeholder"})
        if (g_variant_lookup(attributes, key, "&s", &v) && *v) return v;
    return {};
}

std::string plainText(std::string text) {
    static const std::string fffc = "\xEF\xBF\xBC";
    for (size_t at = text.find(fffc); at != std::string::npos; at = text.find(fffc, at))
        text.erase(at, fffc.size());
    return text;
}

} // namespace atspi
