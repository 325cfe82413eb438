// The clipboard on wlroots, through data-control: each new selection is read once, on a thread
// and connection of its own, as on X (types, and the text unless a password manager marks it).
#include "platform/linux/shared/backend.h"
#include "platform/linux/wayland/wlroots/client.h"
#include "platform/linux/wayland/wlroots/selection.h"
#include "platform/loop.h"

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace pasteboard::wlroots {
namespace {

struct Snapshot {
    long count = 0;
    double at = 0; // when the change was noticed
    std::vector<std::string> types;
    std::optional<std::string> text;
};

std::mutex lock;
Snapshot current;

constexpr std::size_t textBytes = 80 * 1024;
constexpr std::size_t mostTypes = 4096;
constexpr int answerMs = 2000;

struct Offer {
    std::vector<std::string> mimes;
    bool tooMany = false;
};

struct Watcher {
    std::unique_ptr<wl::Connection> conn;
    zwlr_data_control_device_v1* device = nullptr;
};

void onMime(void* data, zwlr_data_control_offer_v1*, const char* mime) {
    auto* o = static_cast<Offer*>(data);
    if (o->mimes.size() < mostTypes)
        o->mimes.emplace_back(mime);
    else
        o->tooMany = true;
}
const zwlr_data_control_offer_v1_listener offerListener = {onMime};

// The last whole UTF-8 sequence at most: a cut may have split one.
void cutToWholeCharacters(std::string& text) {
    std::size_t lead = text.size();
    while (lead > 0 && text.size() - lead < 4 &&
           (static_cast<unsigned char>(text[lead - 1]) & 0xC0) == 0x80)
        --lead;
    if (lead == 0) return;
    unsigned char c = static_cast<unsigned char>(text[lead - 1]);
    std::size_t length = c < 0x80         ? 1
                         : (c >> 5) == 6  ? 2
                         : (c >> 4) == 14 ? 3
                         : (c >> 3) == 30 ? 4
                                          : 1;
    if (text.size() - (lead - 1) < length) text.resize(lead - 1);
}

std::optional<std::string> receive(Watcher& w, zwlr_data_control_offer_v1* offer,
                                   const std::string& mime) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
    zwlr_data_control_offer_v1_receive(offer, mime.c_str(), fds[1]);
    wl_display_flush(w.conn->display);
    ::close(fds[1]);
    std::string text;
    bool whole = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(answerMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        pollfd p{fds[0], POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char chunk[8192];
        ssize_t n = ::read(fds[0], chunk, sizeof chunk);
        if (n == 0) whole = true;
        if (n <= 0) break;
        text.append(chunk, static_cast<std::size_t>(n));
        if (text.size() >= textBytes) break;
    }
    ::close(fds[0]);
    if (text.size() > textBytes) text.resize(textBytes);
    if (!whole) cutToWholeCharacters(text);
    if (text.empty() && !whole) return std::nullopt;
    return text;
}

Snapshot read(Watcher& w, zwlr_data_control_offer_v1* offer, const Offer& o) {
    selection::Kinds kinds = selection::classify(o.mimes, o.tooMany);
    Snapshot s;
    s.types = kinds.types;
    if (!kinds.textType.empty() && !kinds.concealed) s.text = receive(w, offer, kinds.textType);
    return s;
}

void onDataOffer(void*, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
    zwlr_data_control_offer_v1_add_listener(offer, &offerListener, new Offer);
}

void onSelection(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
    auto* w = static_cast<Watcher*>(data);
    double at = loop::now();
    Snapshot s;
    if (offer) {
        auto* o = static_cast<Offer*>(zwlr_data_control_offer_v1_get_user_data(offer));
        s = read(*w, offer, *o);
        delete o;
        zwlr_data_control_offer_v1_destroy(offer);
    }
    std::lock_guard<std::mutex> hold(lock);
    s.count = current.count + 1;
    s.at = at;
    current = std::move(s);
}

void onFinished(void*, zwlr_data_control_device_v1*) {}
void onPrimary(void*, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
    if (!offer) return;
    delete static_cast<Offer*>(zwlr_data_control_offer_v1_get_user_data(offer));
    zwlr_data_control_offer_v1_destroy(offer);
}
const zwlr_data_control_device_v1_listener deviceListener = {onDataOffer, onSelection, onFinished,
                                                             onPrimary};

void start() {
    static std::once_flag once;
    std::call_once(once, [] {
        auto w = std::make_shared<Watcher>();
        w->conn = wl::connect();
        if (!w->conn || !w->conn->dataControl || !w->conn->seat) return;
        w->device =
            zwlr_data_control_manager_v1_get_data_device(w->conn->dataControl, w->conn->seat);
        zwlr_data_control_device_v1_add_listener(w->device, &deviceListener, w.get());
        // The selection at start is no copy: it is taken as the starting point.
        w->conn->roundtrip();
        {
            std::lock_guard<std::mutex> hold(lock);
            current.count = 0;
        }
        std::thread([w] {
            while (wl_display_dispatch(w->conn->display) >= 0) {
            }
        }).detach();
    });
}

} // namespace

long changeCount() {
    start();
    std::lock_guard<std::mutex> hold(lock);
    return current.count;
}

double changedAt() {
    std::lock_guard<std::mutex> hold(lock);
    return current.at;
}

std::vector<std::string> types() {
    std::lock_guard<std::mutex> hold(lock);
    return current.types;
}

std::optional<std::string> plainText() {
    std::lock_guard<std::mutex> hold(lock);
    return current.text;
}

} // namespace pasteboard::wlroots

namespace selection {

Kinds classify(const std::vector<std::string>& mimes, bool tooMany) {
    auto has = [&](const char* m) {
        return std::find(mimes.begin(), mimes.end(), m) != mimes.end();
    };
    Kinds k;
    // What password managers set: the content is not to be recorded. A list too long to read
    // whole may hide that mark.
    k.concealed = tooMany || has("x-kde-passwordManagerHint");
    for (const char* text : {"text/plain;charset=utf-8", "UTF8_STRING", "text/plain"})
        if (k.textType.empty() && has(text)) k.textType = text;
    if (k.concealed) k.types.push_back("org.nspasteboard.ConcealedType");
    if (!k.textType.empty()) k.types.push_back("UTF8_STRING");
    return k;
}

} // namespace selection
