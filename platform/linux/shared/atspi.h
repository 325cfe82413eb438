#pragma once
// The accessibility bus spoken through GDBus: calls with their own timeouts from any thread, and
// the bus's events on a thread of their own.
#include <gio/gio.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace atspi {

struct VariantFree {
    void operator()(GVariant* v) const { g_variant_unref(v); }
};
using Variant = std::unique_ptr<GVariant, VariantFree>;

// The accessibility bus; nullptr while there is none (no session bus, no accessibility bus: a bus
// is never started for us) or while it is being reached. Never waits: the first use starts the
// connection on a thread of its own, and a bus that goes away is reached again, with growing
// pauses, and subscribed to again (listeners then get kind "Bus", member "Back").
GDBusConnection* bus();

// Whether the bus is connected; waits at most waitMs for the very first attempt to end.
bool connected(int waitMs);

// One method call; the reply tuple, or nullptr on any failure or after timeoutMs. params is
// consumed when floating.
Variant call(const std::string& dest, const std::string& path, const char* iface,
             const char* method, GVariant* params, const char* replyType, int timeoutMs);

// Calls on this thread that got no answer (timed out, or the application left the bus).
unsigned long unansweredCount();
// Counts a question the caller could not get a clear answer to, as one without an answer.
void noteUnanswered();

// The same without waiting: done runs on the calling thread's default context with the reply
// (nullptr on failure).
void callAsync(const std::string& dest, const std::string& path, const char* iface,
               const char* method, GVariant* params, const char* replyType, int timeoutMs,
               std::function<void(Variant)> done);

// The process that owns a connection on the bus; -1 when unknown. Remembered per name.
int pidOf(const std::string& busName, int timeoutMs);

// The applications on the bus: their connection names.
std::vector<std::string> applications(int timeoutMs);

// One event of an application, as the bus carried it.
struct Event {
    std::string sender, path;
    std::string kind;   // the event interface's last word: "Object", "Window", "Focus"; "Bus"
                        // with member "Gone" when the sender left the bus (or the bus went
                        // away), "Back" (no sender) once a new connection listens
    std::string member; // "StateChanged", "ChildrenChanged", "Activate", ...
    std::string minor;  // "focused", "add", "accessible-name", ...
    int detail1 = 0, detail2 = 0;
    GVariant* data = nullptr; // the event's value, unboxed; borrowed for the call
};

// Listeners run on the event thread, in the order added. Adding the first one starts the thread
// and registers our interest with the registry.
void addListener(std::function<void(const Event&)> listener);

// Queues work for the event thread (its default context is the thread's own); never runs it in
// place. With delayMs, the work waits that long first.
void onEventThread(std::function<void()> work, int delayMs = 0);

// A text's placeholder from its attributes (a{ss}): GTK's "placeholder-text", Chromium's
// "placeholder"; "" when neither.
std::string placeholderOf(GVariant* attributes);

// Strips the object-replacement characters that stand for embedded children in a text.
std::string plainText(std::string text);

} // namespace atspi
