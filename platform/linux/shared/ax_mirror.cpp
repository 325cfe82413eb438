// The mirror: every change it learns of first marks the piece it touches unknown (reads of it go
// to the application again), then asks the application for the new piece. All of its writes run
// on the event thread; reads come from any thread under the lock.
#include "platform/linux/shared/ax_mirror.h"
#include "platform/linux/shared/atspi.h"
#include "platform/linux/shared/ax_roles.h"
#include "platform/linux/shared/ax_track.h"

#include <atspi/atspi-constants.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <unordered_map>

namespace axmirror {
namespace {

using atspi::Variant;

constexpr int callTimeoutMs = 3000;
constexpr size_t appsKept = 3;
// Somewhat more than a walk visits: beyond it, objects are read from the application when asked.
constexpr size_t nodeCap = 8000;

struct Node : axlinux::Facts {
    bool fetched = false; // role, name, description and states known
    unsigned childrenGen = 0, textGen = 0, labelGen = 0, statesGen = 0;
};

struct App {
    int pid = -1;
    bool built = false;    // the first building has settled (nothing left to ask)
    bool helpText = false; // the toolkit offers help texts at all
    size_t fresh = 0;      // objects learnt since the observers last heard
    bool noticeDue = false;
    std::chrono::steady_clock::time_point noticedAt;
    uint64_t serial = 0;
    std::unordered_map<std::string, Node> nodes;
    size_t pending = 0;
};

std::atomic<bool> enabled{true};

// Never destroyed: the event thread outlives static destruction.
std::mutex& mutex = *new std::mutex;
// The toolkit's Cache answers a whole tree in one call, but the application does nothing else
// meanwhile (seconds for tens of thousands of objects): off unless a test asks for it.
std::atomic<bool> cacheUse{false};
std::map<std::string, App>& apps = *new std::map<std::string, App>;
uint64_t serialNow = 0;

Node* nodeOf(const std::string& bus, const std::string& path) {
    auto a = apps.find(bus);
    if (a == apps.end()) return nullptr;
    auto n = a->second.nodes.find(path);
    return n == a->second.nodes.end() ? nullptr : &n->second;
}

// An application answers calls in its own main loop, and drains every call waiting before it looks
// at its input again: a mirror keeping calls always waiting (thousands, as it builds) held a
// 20,000-label window from its keys for 11-49 s. So calls go out in bursts; after each burst the
// application is left alone for half as long as the burst took, and a burst that took long (a
// busy or slow application) makes the next one smaller. Event thread only.
constexpr size_t burstLargest = 32;
constexpr auto burstSlow = std::chrono::milliseconds(30);
constexpr auto burstQuick = std::chrono::milliseconds(8);
size_t burstSize = 8;
size_t inFlight = 0;
bool resting = false;
std::chrono::steady_clock::time_point burstStart;
struct Waiting {
    std::string bus, path;
    const char *iface, *method, *type;
    GVariant* params; // owned
    std::function<void(App&, GVariant*)> done;
};
std::deque<Waiting>& waiting = *new std::deque<Waiting>;

void send(Waiting call);

// A walk made while the mirror was building read the application live and may have been
// partial, or made before the window had its content (an editor loading its file, a page
// loading): when the mirror has settled after its first building, or after learning many new
// objects, the observers hear of it and the window is read again from memory. Follow-up calls
// are queued a moment after the answer that causes them, so settled means nothing is waiting a
// little later too. At most one notice in noticeGap per application.
constexpr size_t freshForNotice = 20;
constexpr auto noticeGap = std::chrono::seconds(2);

bool hasNews(const App& app) {
    return !app.pending && (!app.built || app.fresh >= freshForNotice);
}

void settleCheck(const std::string& bus, bool due = false) {
    atspi::onEventThread(
        [bus, due] {
            int pid;
            {
                std::lock_guard lock(mutex);
                auto a = apps.find(bus);
                if (a == apps.end()) return;
                App& app = a->second;
                if (due) app.noticeDue = false;
                if (!hasNews(app)) return;
                auto wait = app.noticedAt + noticeGap - std::chrono::steady_clock::now();
                if (wait > wait.zero()) {
                    if (!app.noticeDue) {
                        app.noticeDue = true;
                        int ms = static_cast<int>(
                            std::chrono::duration_cast<std::chrono::milliseconds>(wait).count());
                        atspi::onEventThread([bus] { settleCheck(bus, true); }, ms + 1);
                    }
                    return;
                }
                app.built = true;
                app.fresh = 0;
                app.noticeDue = false;
                app.noticedAt = std::chrono::steady_clock::now();
                pid = app.pid;
            }
            axtrack::mirrorBuilt(bus, pid);
        },
        due ? 0 : 50);
}

void sendWaiting() {
    if (resting || inFlight > 0 || waiting.empty()) return;
    burstStart = std::chrono::steady_clock::now();
    for (size_t i = 0; i < burstSize && !waiting.empty(); ++i) {
        Waiting next = std::move(waiting.front());
        waiting.pop_front();
        send(std::move(next));
    }
}

void burstDone() {
    using namespace std::chrono;
    auto took = steady_clock::now() - burstStart;
    if (took > burstSlow)
        burstSize = std::max<size_t>(1, burstSize / 2);
    else if (took < burstQuick)
        burstSize = std::min(burstLargest, burstSize * 2);
    int restMs = std::clamp<int>(duration_cast<milliseconds>(took).count() / 2, 2, 250);
    resting = true;
    atspi::onEventThread(
        [] {
            resting = false;
            sendWaiting();
        },
        restMs);
}

void send(Waiting call) {
    ++inFlight;
    GVariant* params = call.params;
    std::string bus = call.bus;
    atspi::callAsync(call.bus, call.path, call.iface, call.method, params, call.type, callTimeoutMs,
                     [bus, done = std::move(call.done)](Variant reply) {
                         bool settled = false;
                         {
                             std::lock_guard lock(mutex);
                             auto a = apps.find(bus);
                             if (a != apps.end()) {
                                 --a->second.pending;
                                 done(a->second, reply.get());
                                 settled = hasNews(a->second) && !a->second.noticeDue;
                             }
                         }
                         if (settled) settleCheck(bus);
                         if (--inFlight == 0) burstDone();
                     });
    if (params) g_variant_unref(params);
}

// Runs an asynchronous call for the mirror of one app; done runs under the lock, only while
// that app is still mirrored. Event thread only.
void ask(const std::string& bus, const std::string& path, const char* iface, const char* method,
         GVariant* params, const char* type, std::function<void(App&, GVariant*)> done) {
    {
        std::lock_guard lock(mutex);
        auto a = apps.find(bus);
        if (a == apps.end()) {
            if (params) g_variant_unref(g_variant_ref_sink(params));
            return;
        }
        ++a->second.pending;
    }
    if (params) g_variant_ref_sink(params);
    waiting.push_back({bus, path, iface, method, type, params, std::move(done)});
    sendWaiting();
}

void eraseSubtree(App& app, const std::string& path) {
    auto it = app.nodes.find(path);
    if (it == app.nodes.end()) return;
    // A destroyed object may be the only news of its parent's loss.
    if (auto p = app.nodes.find(it->second.parent); p != app.nodes.end())
        std::erase(p->second.children, path);
    std::vector<std::string> kids = std::move(it->second.children);
    app.nodes.erase(it);
    for (auto& k : kids)
        eraseSubtree(app, k);
}

uint64_t statesOf(GVariant* au) {
    uint64_t states = 0;
    for (gsize i = 0; i < std::min<gsize>(2, g_variant_n_children(au)); ++i) {
        Variant w(g_variant_get_child_value(au, i));
        states |= static_cast<uint64_t>(g_variant_get_uint32(w.get())) << (32 * i);
    }
    return states;
}

void fetchSubtree(const std::string& bus, const std::string& path, const std::string& parent);

void fetchText(const std::string& bus, const std::string& path) {
    unsigned gen;
    {
        std::lock_guard lock(mutex);
        Node* n = nodeOf(bus, path);
        if (!n) return;
        n->textKnown = false;
        gen = ++n->textGen;
    }
    ask(bus, path, "org.a11y.atspi.Text", "GetText", g_variant_new("(ii)", 0, -1), "(s)",
        [path, gen](App& app, GVariant* r) {
            auto it = app.nodes.find(path);
            if (it == app.nodes.end() || it->second.textGen != gen) return;
            const char* s = nullptr;
            if (r) g_variant_get(r, "(&s)", &s);
            it->second.text = atspi::plainText(s ? s : "");
            it->second.textKnown = true;
        });
}

// Placeholder, labelled-by and help: three answers make the piece known.
void fetchLabel(const std::string& bus, const std::string& path) {
    unsigned gen;
    bool help;
    {
        std::lock_guard lock(mutex);
        Node* n = nodeOf(bus, path);
        if (!n) return;
        n->labelKnown = false;
        n->placeholder.clear();
        n->labelledBy.clear();
        n->help.clear();
        gen = ++n->labelGen;
        help = apps.find(bus)->second.helpText; // nodeOf found it
    }
    auto left = std::make_shared<int>(help ? 3 : 2);
    auto finish = [path, gen, left](App& app, const std::function<void(Node&)>& set) {
        auto it = app.nodes.find(path);
        if (it == app.nodes.end() || it->second.labelGen != gen) return;
        set(it->second);
        if (--*left == 0) it->second.labelKnown = true;
    };
    ask(bus, path, "org.a11y.atspi.Accessible", "GetAttributes", nullptr, "(a{ss})",
        [finish](App& app, GVariant* r) {
            finish(app, [r](Node& n) {
                if (!r) return;
                Variant dict(g_variant_get_child_value(r, 0));
                n.placeholder = atspi::placeholderOf(dict.get());
            });
        });
    ask(bus, path, "org.a11y.atspi.Accessible", "GetRelationSet", nullptr, "(a(ua(so)))",
        [finish, bus](App& app, GVariant* r) {
            finish(app, [r, &bus](Node& n) {
                if (!r) return;
                GVariantIter* rels = nullptr;
                g_variant_get(r, "(a(ua(so)))", &rels);
                guint32 type = 0;
                GVariantIter* targets = nullptr;
                while (g_variant_iter_next(rels, "(ua(so))", &type, &targets)) {
                    const char* b = nullptr;
                    const char* p = nullptr;
                    while (g_variant_iter_next(targets, "(&s&o)", &b, &p))
                        if (type == ATSPI_RELATION_LABELLED_BY && n.labelledBy.empty() && b == bus)
                            n.labelledBy = p;
                    g_variant_iter_free(targets);
                }
                g_variant_iter_free(rels);
            });
        });
    if (help)
        ask(bus, path, "org.freedesktop.DBus.Properties", "Get",
            g_variant_new("(ss)", "org.a11y.atspi.Accessible", "HelpText"), "(v)",
            [finish](App& app, GVariant* r) {
                finish(app, [r](Node& n) {
                    if (!r) return;
                    Variant v(g_variant_get_child_value(r, 0));
                    Variant s(g_variant_get_variant(v.get()));
                    if (g_variant_is_of_type(s.get(), G_VARIANT_TYPE_STRING))
                        n.help = g_variant_get_string(s.get(), nullptr);
                });
            });
}

bool wantsText(const axlinux::Facts& n) {
    return n.ifacesKnown && n.hasText &&
           (axlinux::textValued(n.role) || axlinux::textBearing(n.role));
}

// What a node needs beyond the basic facts, once those are known.
void fetchDetails(const std::string& bus, const std::string& path, bool text, bool unnamed) {
    if (text) fetchText(bus, path);
    if (unnamed) fetchLabel(bus, path);
}

void setInterfaces(axlinux::Facts& n, GVariantIter* names) {
    const char* name = nullptr;
    n.hasText = n.hasDocument = false;
    while (g_variant_iter_next(names, "&s", &name)) {
        std::string_view i = name;
        if (i == "org.a11y.atspi.Text") n.hasText = true;
        if (i == "org.a11y.atspi.Document") n.hasDocument = true;
    }
    n.ifacesKnown = true;
}

// A string property read on its own: GetAll of the whole interface kills Qt 5's bridge.
void askString(const std::string& bus, const std::string& path, const char* name,
               std::function<void(App&, const char*)> done) {
    ask(bus, path, "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", "org.a11y.atspi.Accessible", name), "(v)",
        [done = std::move(done)](App& app, GVariant* r) {
            const char* s = nullptr;
            Variant inner;
            if (r) {
                Variant v(g_variant_get_child_value(r, 0));
                inner.reset(g_variant_get_variant(v.get()));
                if (g_variant_is_of_type(inner.get(), G_VARIANT_TYPE_STRING))
                    s = g_variant_get_string(inner.get(), nullptr);
            }
            done(app, s);
        });
}

void fetchChildren(const std::string& bus, const std::string& path) {
    unsigned gen;
    {
        std::lock_guard lock(mutex);
        Node* n = nodeOf(bus, path);
        if (!n) return;
        n->childrenKnown = false;
        gen = ++n->childrenGen;
    }
    ask(bus, path, "org.a11y.atspi.Accessible", "GetChildren", nullptr, "(a(so))",
        [bus, path, gen](App& app, GVariant* r) {
            auto it = app.nodes.find(path);
            if (it == app.nodes.end() || it->second.childrenGen != gen || !r) return;
            std::vector<std::string> kids;
            GVariantIter* iter = nullptr;
            g_variant_get(r, "(a(so))", &iter);
            const char* b = nullptr;
            const char* p = nullptr;
            while (g_variant_iter_next(iter, "(&s&o)", &b, &p))
                if (b == bus) kids.emplace_back(p);
            g_variant_iter_free(iter);
            std::vector<std::string> gone;
            for (auto& old : it->second.children)
                if (std::find(kids.begin(), kids.end(), old) == kids.end()) gone.push_back(old);
            std::vector<std::string> fresh;
            for (auto& k : kids)
                if (!app.nodes.count(k) && app.nodes.size() + fresh.size() < nodeCap)
                    fresh.push_back(k);
            it->second.children = kids;
            it->second.childrenKnown = true;
            for (auto& g : gone)
                if (std::find(kids.begin(), kids.end(), g) == kids.end()) eraseSubtree(app, g);
            // New children are fetched outside this reply (the lock is held here).
            atspi::onEventThread([bus, path, fresh] {
                for (auto& k : fresh)
                    fetchSubtree(bus, k, path);
            });
        });
}

// The basic facts of one object, its children, then theirs.
void fetchSubtree(const std::string& bus, const std::string& path, const std::string& parent) {
    {
        std::lock_guard lock(mutex);
        auto a = apps.find(bus);
        if (a == apps.end()) return;
        auto [it, added] = a->second.nodes.try_emplace(path);
        if (added) ++a->second.fresh;
        it->second.parent = parent;
    }
    auto left = std::make_shared<int>(5);
    auto done = [bus, path, left](App& app) {
        if (--*left) return;
        auto it = app.nodes.find(path);
        if (it == app.nodes.end()) return;
        it->second.fetched = true;
        bool text = wantsText(it->second);
        bool unnamed = it->second.name.empty() && it->second.description.empty();
        atspi::onEventThread([bus, path, text, unnamed] {
            fetchDetails(bus, path, text, unnamed);
            fetchChildren(bus, path);
        });
    };
    ask(bus, path, "org.a11y.atspi.Accessible", "GetRole", nullptr, "(u)",
        [path, done](App& app, GVariant* r) {
            if (auto it = app.nodes.find(path); it != app.nodes.end() && r)
                g_variant_get(r, "(u)", &it->second.role);
            done(app);
        });
    ask(bus, path, "org.a11y.atspi.Accessible", "GetState", nullptr, "(au)",
        [path, done](App& app, GVariant* r) {
            if (auto it = app.nodes.find(path); it != app.nodes.end() && r) {
                Variant au(g_variant_get_child_value(r, 0));
                it->second.states = statesOf(au.get());
            }
            done(app);
        });
    askString(bus, path, "Name", [path, done](App& app, const char* s) {
        if (auto it = app.nodes.find(path); it != app.nodes.end() && s) it->second.name = s;
        done(app);
    });
    askString(bus, path, "Description", [path, done](App& app, const char* s) {
        if (auto it = app.nodes.find(path); it != app.nodes.end() && s) it->second.description = s;
        done(app);
    });
    ask(bus, path, "org.a11y.atspi.Accessible", "GetInterfaces", nullptr, "(as)",
        [path, done](App& app, GVariant* r) {
            if (auto it = app.nodes.find(path); it != app.nodes.end() && r) {
                GVariantIter* names = nullptr;
                g_variant_get(r, "(as)", &names);
                setInterfaces(it->second, names);
                g_variant_iter_free(names);
            }
            done(app);
        });
}

// The whole tree in one answer where the toolkit offers it (no text, relations or help there).
void build(const std::string& bus) {
    ask(bus, "/org/a11y/atspi/cache", "org.a11y.atspi.Cache", "GetItems", nullptr,
        "(a((so)(so)(so)iiassusau))", [bus](App& app, GVariant* r) {
            if (!r) {
                atspi::onEventThread([bus] { fetchSubtree(bus, axlinux::rootPath, ""); });
                return;
            }
            Variant items(g_variant_get_child_value(r, 0));
            struct Place {
                std::string parent;
                int index, count;
            };
            std::unordered_map<std::string, Place> places;
            GVariantIter it;
            g_variant_iter_init(&it, items.get());
            GVariant* item;
            while ((item = g_variant_iter_next_value(&it))) {
                const char *ob, *op, *ab, *ap, *pb, *pp, *name, *desc;
                gint32 index, count;
                GVariantIter* ifaces;
                guint32 role;
                GVariantIter* states;
                g_variant_get(item, "((&s&o)(&s&o)(&s&o)iias&su&sau)", &ob, &op, &ab, &ap, &pb, &pp,
                              &index, &count, &ifaces, &name, &role, &desc, &states);
                guint32 w;
                uint64_t st = 0;
                for (int i = 0; i < 2 && g_variant_iter_next(states, "u", &w); ++i)
                    st |= static_cast<uint64_t>(w) << (32 * i);
                g_variant_iter_free(states);
                if (bus != ob || app.nodes.size() >= nodeCap) {
                    g_variant_iter_free(ifaces);
                    g_variant_unref(item);
                    continue;
                }
                Node& n = app.nodes[op];
                ++app.fresh;
                setInterfaces(n, ifaces);
                g_variant_iter_free(ifaces);
                n.role = role;
                n.name = name;
                n.description = desc;
                n.states = st;
                n.fetched = true;
                n.parent = pb == bus ? pp : "";
                places[op] = {n.parent, index, count};
                g_variant_unref(item);
            }
            // Children in order of their index; a parent whose count doesn't add up is asked.
            std::unordered_map<std::string, std::vector<std::pair<int, std::string>>> byParent;
            for (auto& [path, place] : places)
                if (!place.parent.empty()) byParent[place.parent].emplace_back(place.index, path);
            std::vector<std::string> ask, details;
            for (auto& [path, n] : app.nodes) {
                auto& kids = byParent[path];
                std::sort(kids.begin(), kids.end());
                bool whole = static_cast<int>(kids.size()) == places[path].count;
                for (size_t i = 0; whole && i < kids.size(); ++i)
                    whole = kids[i].first == static_cast<int>(i);
                if (whole) {
                    n.children.clear();
                    for (auto& k : kids)
                        n.children.push_back(k.second);
                    n.childrenKnown = true;
                } else {
                    ask.push_back(path);
                }
                details.push_back(path);
            }
            if (!app.nodes.count(axlinux::rootPath)) {
                app.nodes[axlinux::rootPath];
                ask.push_back(axlinux::rootPath);
            }
            atspi::onEventThread([bus, ask, details] {
                for (auto& p : details) {
                    bool text = false, unnamed = false;
                    {
                        std::lock_guard lock(mutex);
                        Node* n = nodeOf(bus, p);
                        if (!n) continue;
                        text = wantsText(*n);
                        unnamed = n->name.empty() && n->description.empty();
                    }
                    fetchDetails(bus, p, text, unnamed);
                }
                std::vector<std::string> unknown;
                {
                    std::lock_guard lock(mutex);
                    for (auto& p : ask)
                        if (Node* n = nodeOf(bus, p); n && !n->fetched) unknown.push_back(p);
                }
                for (auto& p : unknown)
                    fetchSubtree(bus, p, "");
                for (auto& p : ask)
                    fetchChildren(bus, p);
            });
        });
}

void stateChanged(const atspi::Event& e) {
    static const auto& bits = *new std::unordered_map<std::string, AtspiStateType>{
        {"focused", ATSPI_STATE_FOCUSED},
        {"checked", ATSPI_STATE_CHECKED},
        {"selected", ATSPI_STATE_SELECTED},
        {"showing", ATSPI_STATE_SHOWING},
        {"visible", ATSPI_STATE_VISIBLE},
        {"active", ATSPI_STATE_ACTIVE},
        {"enabled", ATSPI_STATE_ENABLED},
        {"sensitive", ATSPI_STATE_SENSITIVE},
        {"editable", ATSPI_STATE_EDITABLE},
        {"expanded", ATSPI_STATE_EXPANDED},
        {"multi-line", ATSPI_STATE_MULTI_LINE},
        {"single-line", ATSPI_STATE_SINGLE_LINE},
        {"pressed", ATSPI_STATE_PRESSED},
        {"armed", ATSPI_STATE_ARMED},
        {"iconified", ATSPI_STATE_ICONIFIED},
        {"indeterminate", ATSPI_STATE_INDETERMINATE},
        {"busy", ATSPI_STATE_BUSY},
        {"has-tooltip", ATSPI_STATE_HAS_TOOLTIP},
    };
    std::lock_guard lock(mutex);
    auto a = apps.find(e.sender);
    if (a == apps.end()) return;
    auto n = a->second.nodes.find(e.path);
    if (n == a->second.nodes.end()) return;
    if (e.minor == "defunct" && e.detail1) {
        eraseSubtree(a->second, e.path);
        return;
    }
    auto bit = bits.find(e.minor);
    if (bit == bits.end()) {
        // A state we don't keep by name: the whole set is asked again.
        n->second.fetched = false;
        std::string bus = e.sender, path = e.path;
        unsigned gen = ++n->second.statesGen;
        atspi::onEventThread([bus, path, gen] {
            ask(bus, path, "org.a11y.atspi.Accessible", "GetState", nullptr, "(au)",
                [path, gen](App& app, GVariant* r) {
                    auto it = app.nodes.find(path);
                    if (it == app.nodes.end() || it->second.statesGen != gen || !r) return;
                    Variant au(g_variant_get_child_value(r, 0));
                    it->second.states = statesOf(au.get());
                    it->second.fetched = true;
                });
        });
        return;
    }
    uint64_t mask = uint64_t(1) << bit->second;
    n->second.states = e.detail1 ? (n->second.states | mask) : (n->second.states & ~mask);
}

void propertyChanged(const atspi::Event& e) {
    bool unnamed = false, role = false, label = false;
    {
        std::lock_guard lock(mutex);
        Node* n = nodeOf(e.sender, e.path);
        if (!n) return;
        const char* s = e.data && g_variant_is_of_type(e.data, G_VARIANT_TYPE_STRING)
                            ? g_variant_get_string(e.data, nullptr)
                            : nullptr;
        if (e.minor == "accessible-name" || e.minor == "accessible-description") {
            std::string& field = e.minor == "accessible-name" ? n->name : n->description;
            if (s) {
                field = s;
            } else {
                n->fetched = false; // asked again below
                role = true;
            }
            unnamed = n->name.empty() && n->description.empty();
            label = true;
        } else if (e.minor == "accessible-role") {
            n->fetched = false;
            role = true;
        }
    }
    if (role) {
        std::string parent;
        {
            std::lock_guard lock(mutex);
            if (Node* n = nodeOf(e.sender, e.path)) parent = n->parent;
        }
        fetchSubtree(e.sender, e.path, parent);
    } else if (label && unnamed) {
        fetchLabel(e.sender, e.path);
    }
}

void forgetApp(const std::string& bus) {
    std::lock_guard lock(mutex);
    apps.erase(bus);
}

} // namespace

// GTK doesn't always tell a container that it gained a child (a label packed into a shown box
// sends only the label's own events): an object the mirror hasn't seen makes its parent's
// children be asked again.
// A whole new subtree (a browser's web content switched on, a new document) shows itself through
// events of its deep objects: the search goes up to the first ancestor the mirror knows.
void adoptStranger(const std::string& bus, const std::string& path, int depth = 0) {
    ask(bus, path, "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", "org.a11y.atspi.Accessible", "Parent"), "(v)",
        [bus, depth](App& app, GVariant* r) {
            if (!r) return;
            Variant v(g_variant_get_child_value(r, 0));
            Variant ref(g_variant_get_variant(v.get()));
            if (!g_variant_is_of_type(ref.get(), G_VARIANT_TYPE("(so)"))) return;
            const char *b, *p;
            g_variant_get(ref.get(), "(&s&o)", &b, &p);
            if (bus != b || std::string_view(p) == axlinux::nullPath) return;
            std::string parent = p;
            if (!app.nodes.count(p)) {
                if (depth < 12)
                    atspi::onEventThread(
                        [bus, parent, depth] { adoptStranger(bus, parent, depth + 1); });
                return;
            }
            atspi::onEventThread([bus, parent] { fetchChildren(bus, parent); });
        });
}

// A page that has loaded may have replaced its objects while it loaded without a word of each
// (Firefox, a page mirrored while it loaded showed none of its paragraphs): its document is
// mirrored anew, and observers hear once that is done, however few objects it has.
void documentLoaded(const std::string& bus, const std::string& path) {
    std::string parent;
    bool known;
    {
        std::lock_guard lock(mutex);
        auto a = apps.find(bus);
        if (a == apps.end()) return;
        Node* n = nodeOf(bus, path);
        known = n != nullptr;
        if (n) {
            parent = n->parent;
            std::vector<std::string> kids = n->children;
            for (auto& k : kids)
                eraseSubtree(a->second, k);
        }
        a->second.fresh = std::max(a->second.fresh, freshForNotice);
    }
    if (known)
        fetchSubtree(bus, path, parent);
    else
        adoptStranger(bus, path);
    settleCheck(bus);
}

void onEvent(const atspi::Event& e) {
    if (e.kind == "Bus") {
        forgetApp(e.sender);
        return;
    }
    bool stranger;
    {
        std::lock_guard lock(mutex);
        auto a = apps.find(e.sender);
        if (a == apps.end()) return;
        // Also while building: a toolkit adds children to a window it is setting up without
        // telling the window, and the mirror would keep it empty.
        stranger = !a->second.nodes.count(e.path);
        // Objects beyond the cap stay unmirrored: their news costs the application nothing.
        if (stranger && a->second.nodes.size() >= nodeCap) return;
    }
    if (e.kind == "Document" && e.member == "LoadComplete") {
        documentLoaded(e.sender, e.path);
        return;
    }
    if (e.kind != "Object") return;
    if (stranger && !(e.member == "StateChanged" && e.minor == "defunct")) {
        adoptStranger(e.sender, e.path);
        return;
    }
    if (e.member == "ChildrenChanged") {
        fetchChildren(e.sender, e.path);
        // ... and a child added or gone changes it too.
        bool text;
        {
            std::lock_guard lock(mutex);
            Node* n = nodeOf(e.sender, e.path);
            text = n && wantsText(*n) && axlinux::textBearing(n->role);
        }
        if (text) fetchText(e.sender, e.path);
    } else if (e.member == "StateChanged") {
        stateChanged(e);
    } else if (e.member == "PropertyChange") {
        propertyChanged(e);
    } else if (e.member == "TextChanged") {
        // A paragraph's text holds its children's (Chromium tells only the child that changed).
        bool text, parentText = false;
        std::string parent;
        {
            std::lock_guard lock(mutex);
            Node* n = nodeOf(e.sender, e.path);
            text = n && wantsText(*n);
            if (n) {
                parent = n->parent;
                Node* p = nodeOf(e.sender, parent);
                parentText = p && wantsText(*p) && axlinux::textBearing(p->role);
            }
        }
        if (text) fetchText(e.sender, e.path);
        if (parentText) fetchText(e.sender, parent);
    } else if (e.member == "AttributesChanged") {
        fetchLabel(e.sender, e.path);
    }
}

void mirror(const std::string& bus, int pid) {
    axtrack::start();
    atspi::onEventThread([bus, pid] {
        {
            std::lock_guard lock(mutex);
            auto a = apps.find(bus);
            if (a != apps.end()) {
                a->second.serial = ++serialNow;
                return;
            }
            while (apps.size() >= appsKept) {
                auto oldest = std::min_element(apps.begin(), apps.end(), [](auto& x, auto& y) {
                    return x.second.serial < y.second.serial;
                });
                apps.erase(oldest);
            }
            App& app = apps[bus];
            app.pid = pid;
            app.serial = ++serialNow;
        }
        // GTK's bridge offers its Cache only after a first call: a small one goes first.
        ask(bus, axlinux::rootPath, "org.freedesktop.DBus.Properties", "Get",
            g_variant_new("(ss)", "org.a11y.atspi.Accessible", "HelpText"), "(v)",
            [bus](App& app, GVariant* r) {
                app.helpText = r != nullptr;
                atspi::onEventThread([bus] {
                    if (cacheUse)
                        build(bus);
                    else
                        fetchSubtree(bus, axlinux::rootPath, "");
                });
            });
    });
}

void setCacheUse(bool on) {
    cacheUse = on;
}

void forget(const std::string& bus) {
    atspi::onEventThread([bus] { forgetApp(bus); });
}

void setEnabled(bool on) {
    enabled = on;
}

bool withFacts(const std::string& bus, const std::string& path,
               const std::function<void(const axlinux::Facts&)>& read) {
    if (!enabled) return false;
    std::lock_guard lock(mutex);
    Node* n = nodeOf(bus, path);
    if (!n || !n->fetched) return false;
    read(*n);
    return true;
}

std::string focusedPath(const std::string& bus, const std::string& within) {
    if (!enabled) return "";
    std::lock_guard lock(mutex);
    auto a = apps.find(bus);
    if (a == apps.end()) return "";
    auto& nodes = a->second.nodes;
    auto below = [&](const Node& n) {
        if (within.empty()) return true;
        // Up through the parents the mirror knows.
        std::string up = n.parent;
        for (int depth = 0; !up.empty() && depth < 64; ++depth) {
            if (up == within) return true;
            auto p = nodes.find(up);
            up = p == nodes.end() ? "" : p->second.parent;
        }
        return false;
    };
    // Qt marks a text's viewport focused along with the text: what can take the focus wins.
    std::string fallback;
    for (auto& [path, n] : nodes) {
        if (!((n.states >> ATSPI_STATE_FOCUSED) & 1) || axlinux::windowRole(n.role) || !below(n))
            continue;
        if ((n.states >> ATSPI_STATE_FOCUSABLE) & 1) return path;
        if (fallback.empty()) fallback = path;
    }
    return fallback;
}

Stats stats(const std::string& bus) {
    Stats s;
    std::lock_guard lock(mutex);
    auto a = apps.find(bus);
    if (a == apps.end()) return s;
    s.pending = a->second.pending;
    for (auto& [path, n] : a->second.nodes) {
        ++s.nodes;
        bool textOk = !axlinux::textValued(n.role) || n.textKnown;
        bool labelOk = !(n.name.empty() && n.description.empty()) || n.labelKnown;
        if (n.fetched && textOk && labelOk && n.childrenKnown) ++s.complete;
        s.bytes += sizeof(Node) + path.capacity() + n.name.capacity() + n.description.capacity() +
                   n.text.capacity() + n.parent.capacity() + n.placeholder.capacity() +
                   n.help.capacity() + n.labelledBy.capacity() + 32;
        for (auto& c : n.children)
            s.bytes += sizeof(std::string) + c.capacity();
    }
    return s;
}

} // namespace axmirror
