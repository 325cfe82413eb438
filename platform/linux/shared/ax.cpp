// The accessibility seam on AT-SPI: elements are (connection, object path) pairs on the
// accessibility bus, read through GDBus with a timeout per call; mirrored applications are read
// from memory.
#include "platform/ax.h"
#include "common/utf16.h"
#include "platform/linux/shared/atspi.h"
#include "platform/linux/shared/ax_element.h"
#include "platform/linux/shared/ax_mirror.h"
#include "platform/linux/shared/ax_roles.h"
#include "platform/linux/shared/ax_track.h"
#include "platform/linux/shared/backend.h"
#include "platform/windows.h"

#include <atspi/atspi-constants.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cmath>
#include <map>
#include <mutex>
#include <thread>

using atspi::Variant;

namespace axlinux {

ax::ElementRef makeElement(const std::string& bus, const std::string& path, int pid,
                           int timeoutMs) {
    auto e = std::make_shared<ax::Element>();
    e->bus = bus;
    e->path = path;
    e->pid = pid;
    e->timeoutMs = timeoutMs;
    return e;
}

} // namespace axlinux

namespace ax {
namespace {

using axlinux::makeElement;

int timeoutOf(const ElementRef& e) {
    return e->timeoutMs.load();
}

Variant ask(const ElementRef& e, const char* iface, const char* method, GVariant* params,
            const char* replyType) {
    return atspi::call(e->bus, e->path, iface, method, params, replyType, timeoutOf(e));
}

Variant property(const ElementRef& e, const char* iface, const char* name) {
    Variant reply =
        ask(e, "org.freedesktop.DBus.Properties", "Get", g_variant_new("(ss)", iface, name), "(v)");
    if (!reply) return nullptr;
    GVariant* inner = nullptr;
    g_variant_get(reply.get(), "(v)", &inner);
    return Variant(inner);
}

std::optional<std::string> stringProperty(const ElementRef& e, const char* iface,
                                          const char* name) {
    Variant v = property(e, iface, name);
    if (!v || !g_variant_is_of_type(v.get(), G_VARIANT_TYPE_STRING)) return std::nullopt;
    return std::string(g_variant_get_string(v.get(), nullptr));
}

ElementRef child(const ElementRef& of, const char* path) {
    if (!path || std::string_view(path) == axlinux::nullPath) return nullptr;
    return makeElement(of->bus, path, of->pid, timeoutOf(of));
}

std::optional<uint32_t> liveRole(const ElementRef& e) {
    Variant r = ask(e, "org.a11y.atspi.Accessible", "GetRole", nullptr, "(u)");
    if (!r) return std::nullopt;
    guint32 role = 0;
    g_variant_get(r.get(), "(u)", &role);
    return role;
}

std::optional<uint64_t> liveStates(const ElementRef& e) {
    Variant r = ask(e, "org.a11y.atspi.Accessible", "GetState", nullptr, "(au)");
    if (!r) return std::nullopt;
    GVariantIter* it = nullptr;
    g_variant_get(r.get(), "(au)", &it);
    guint32 word = 0;
    uint64_t states = 0;
    for (int i = 0; i < 2 && g_variant_iter_next(it, "u", &word); ++i)
        states |= static_cast<uint64_t>(word) << (32 * i);
    g_variant_iter_free(it);
    return states;
}

bool has(uint64_t states, AtspiStateType s) {
    return (states >> s) & 1;
}

std::optional<std::string> liveText(const ElementRef& e) {
    Variant r = ask(e, "org.a11y.atspi.Text", "GetText", g_variant_new("(ii)", 0, -1), "(s)");
    if (!r) return std::nullopt;
    const char* s = nullptr;
    g_variant_get(r.get(), "(&s)", &s);
    return atspi::plainText(s ? s : "");
}

// The attributes dictionary (a{ss}) of one interface; nullptr when the application didn't answer.
Variant liveAttributes(const ElementRef& e, const char* iface) {
    Variant r = ask(e, iface, "GetAttributes", nullptr, "(a{ss})");
    if (!r) return nullptr;
    return Variant(g_variant_get_child_value(r.get(), 0));
}

// Whether the object implements an interface: asking one it lacks makes ATK complain on the
// application's stderr (and answer nonsense).
bool declares(const ElementRef& e, std::string_view iface) {
    Variant r = ask(e, "org.a11y.atspi.Accessible", "GetInterfaces", nullptr, "(as)");
    if (!r) return false;
    GVariantIter* it = nullptr;
    g_variant_get(r.get(), "(as)", &it);
    const char* name = nullptr;
    bool found = false;
    while (!found && g_variant_iter_next(it, "&s", &name))
        found = iface == name;
    g_variant_iter_free(it);
    return found;
}

std::string liveLabelledBy(const ElementRef& e) {
    Variant r = ask(e, "org.a11y.atspi.Accessible", "GetRelationSet", nullptr, "(a(ua(so)))");
    if (!r) return {};
    GVariantIter* rels = nullptr;
    g_variant_get(r.get(), "(a(ua(so)))", &rels);
    guint32 type = 0;
    GVariantIter* targets = nullptr;
    std::string found;
    while (found.empty() && g_variant_iter_next(rels, "(ua(so))", &type, &targets)) {
        const char* bus = nullptr;
        const char* path = nullptr;
        if (type == ATSPI_RELATION_LABELLED_BY)
            while (found.empty() && g_variant_iter_next(targets, "(&s&o)", &bus, &path))
                if (bus == e->bus) found = path;
        g_variant_iter_free(targets);
    }
    g_variant_iter_free(rels);
    return found;
}

// nullopt when the application didn't answer (absent, not "no children").
std::optional<std::vector<ElementRef>> liveChildren(const ElementRef& e) {
    std::vector<ElementRef> out;
    Variant r = ask(e, "org.a11y.atspi.Accessible", "GetChildren", nullptr, "(a(so))");
    if (!r) return std::nullopt;
    GVariantIter* it = nullptr;
    g_variant_get(r.get(), "(a(so))", &it);
    const char* bus = nullptr;
    const char* path = nullptr;
    while (g_variant_iter_next(it, "(&s&o)", &bus, &path))
        if (ElementRef c = child(e, path)) {
            // Children in another process (an embedded plug) keep their own connection.
            if (bus != e->bus) {
                c->bus = bus;
                c->pid = atspi::pidOf(bus, timeoutOf(e));
            }
            out.push_back(std::move(c));
        }
    g_variant_iter_free(it);
    return out;
}

// The pieces of an element the common reads need: from the mirror when it holds the element,
// else from the application.
struct Known {
    std::optional<uint32_t> role;
    std::optional<uint64_t> states;
};

Known roleAndStates(const ElementRef& e) {
    Known k;
    if (axmirror::withFacts(e->bus, e->path, [&](const axlinux::Facts& f) {
            k.role = f.role;
            k.states = f.states;
        }))
        return k;
    k.role = liveRole(e);
    if (k.role && (*k.role == ATSPI_ROLE_TEXT || *k.role == ATSPI_ROLE_ENTRY))
        k.states = liveStates(e);
    return k;
}

std::optional<Value> nonEmpty(std::optional<std::string> s) {
    if (!s) return std::nullopt;
    return Value(std::move(*s));
}

std::optional<std::vector<ElementRef>> windowsOf(const ElementRef& app) {
    auto kids = liveChildren(app);
    if (!kids) return std::nullopt;
    std::vector<ElementRef> out;
    for (auto& c : *kids) {
        auto role = liveRole(c);
        if (role && axlinux::windowRole(*role)) out.push_back(c);
    }
    return out;
}

// Screen extents, placed by the display server where the toolkit answers window coordinates.
std::optional<Value> extents(const ElementRef& e, bool position);

// The application's first frame by state: the active one, else the first on screen, as the
// host's focused window of a background application would be.
ElementRef activeFrame(const std::vector<ElementRef>& frames) {
    ElementRef showing;
    for (auto& w : frames) {
        auto s = liveStates(w);
        if (!s) continue;
        if (has(*s, ATSPI_STATE_ACTIVE)) return w;
        if (!showing && has(*s, ATSPI_STATE_SHOWING)) showing = w;
    }
    return showing;
}

double overlap(const windows::Rect& a, const windows::Rect& b) {
    double w = std::min(a.x + a.width, b.x + b.width) - std::max(a.x, b.x);
    double h = std::min(a.y + a.height, b.y + b.height) - std::max(a.y, b.y);
    if (w <= 0 || h <= 0) return 0;
    double both = w * h;
    return both / (a.width * a.height + b.width * b.height - both);
}

// The frame that stands for the active window: named like it, lying where it lies, and active.
// Menus and popups (nameless frames elsewhere) lose even when they hold the active state. Two
// frames that can't be told apart (a browser's plain and private windows on one page, in one place,
// before either says it is active) are a doubt: no answer, so the reader asks again.
ElementRef frameFor(const std::vector<ElementRef>& frames, const backend::WindowFacts& x) {
    struct Scored {
        ElementRef frame;
        std::string name;
        double score = 0;
    };
    std::vector<Scored> scored;
    for (auto& w : frames) {
        auto s = liveStates(w);
        if (!s || !has(*s, ATSPI_STATE_SHOWING)) continue;
        Scored c{w, stringProperty(w, "org.a11y.atspi.Accessible", "Name").value_or(""), 0};
        if (has(*s, ATSPI_STATE_ACTIVE)) c.score += 1;
        // A browser adds "(Incognito)" to its frame's name only, so a prefix counts as much.
        if (!x.title.empty() && !c.name.empty() &&
            (c.name.starts_with(x.title) || x.title.starts_with(c.name)))
            c.score += 2;
        if (x.rect) {
            auto pos = extents(w, true), size = extents(w, false);
            if (pos && size) {
                auto p = std::get<Point>(*pos);
                auto z = std::get<Size>(*size);
                double o = overlap(windows::Rect{p.x, p.y, z.w, z.h}, *x.rect);
                if (o > 0.5) c.score += 2 * o;
            }
        }
        scored.push_back(std::move(c));
    }
    if (scored.empty()) return nullptr;
    std::stable_sort(scored.begin(), scored.end(),
                     [](const Scored& a, const Scored& b) { return a.score > b.score; });
    if (scored.size() > 1 && scored[0].score - scored[1].score < 0.75 &&
        scored[0].name != scored[1].name) {
        atspi::noteUnanswered();
        return nullptr;
    }
    return scored[0].frame;
}

// The front window is the active window when the application owns it, not whichever frame says
// it is active; main asks for the window a dialog belongs to. A window that is no dialog has no
// main window of its own: absent, and nothing is asked.
ElementRef activeWindow(const ElementRef& app, bool main = false) {
    auto active = [&] { return backend::activeWindowOf(app->pid, main); };
    std::optional<backend::WindowFacts> facts;
    if (main && !(facts = active())) return nullptr;
    auto frames = windowsOf(app).value_or(std::vector<ElementRef>{});
    // The window's facts as they are once the frames are read.
    if (!main) facts = active();
    if (!facts) return activeFrame(frames);
    return frameFor(frames, *facts);
}

// The first focused object below an element, asked of the application in one call.
ElementRef searchFocused(const ElementRef& within) {
    uint32_t word0 = 1u << ATSPI_STATE_FOCUSED;
    GVariantBuilder states;
    g_variant_builder_init(&states, G_VARIANT_TYPE("ai"));
    g_variant_builder_add(&states, "i", static_cast<int>(word0));
    g_variant_builder_add(&states, "i", 0);
    GVariant* rule =
        g_variant_new("(aiia{ss}iaiiasib)", &states, ATSPI_Collection_MATCH_ALL, nullptr,
                      ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_ALL, nullptr,
                      ATSPI_Collection_MATCH_ALL, FALSE);
    Variant r = ask(within, "org.a11y.atspi.Collection", "GetMatches",
                    g_variant_new("(@(aiia{ss}iaiiasib)uib)", rule,
                                  ATSPI_Collection_SORT_ORDER_CANONICAL, 1, TRUE),
                    "(a(so))");
    if (!r) return nullptr;
    GVariantIter* it = nullptr;
    g_variant_get(r.get(), "(a(so))", &it);
    const char* bus = nullptr;
    const char* path = nullptr;
    ElementRef found;
    if (g_variant_iter_next(it, "(&s&o)", &bus, &path) && bus == within->bus)
        found = child(within, path);
    g_variant_iter_free(it);
    return found;
}

ElementRef focusedElement(const ElementRef& app) {
    if (auto path = axtrack::focusedPath(app->bus); !path.empty()) {
        ElementRef e = child(app, path.c_str());
        // A focus event may have been missed: believe it only while the object says so.
        bool focused = false;
        if (!axmirror::withFacts(e->bus, e->path, [&](const axlinux::Facts& f) {
                focused = has(f.states, ATSPI_STATE_FOCUSED);
            })) {
            auto s = liveStates(e);
            focused = s && has(*s, ATSPI_STATE_FOCUSED);
        }
        if (focused) return e;
    }
    ElementRef w = activeWindow(app);
    if (!w) return nullptr;
    ElementRef found = searchFocused(w);
    // Toolkits without the Collection interface (GTK 4, Qt): the mirror knows the states.
    if (!found)
        if (std::string path = axmirror::focusedPath(app->bus, w->path); !path.empty())
            found = child(app, path.c_str());
    if (found) axtrack::focusFound(app->bus);
    return found;
}

struct Box {
    int x = 0, y = 0, w = 0, h = 0;
};

std::optional<Box> liveExtents(const ElementRef& e, AtspiCoordType type) {
    Variant r =
        ask(e, "org.a11y.atspi.Component", "GetExtents", g_variant_new("(u)", type), "((iiii))");
    if (!r) return std::nullopt;
    Box b;
    g_variant_get(r.get(), "((iiii))", &b.x, &b.y, &b.w, &b.h);
    if (b.x == INT_MIN || b.y == INT_MIN || b.w < 0 || b.h < 0) return std::nullopt;
    return b;
}

// The frontmost window of a process, as the window list gives it.
std::optional<windows::Info> frontWindowOf(int pid) {
    auto list = windows::onScreen();
    if (!list || pid < 1) return std::nullopt;
    for (auto& w : *list)
        if (w.pid == pid && w.layer == windows::normalLayer) return w;
    return std::nullopt;
}

// Some toolkits (GTK 4) can't tell screen coordinates and answer window-relative ones instead:
// a box that reads the same in both is moved by the window's origin from the display server. (A
// window at the screen's origin reads the same either way, and moving by zero changes nothing.)
// What the element's "screen" coordinates lack: the origin of its window, for a toolkit that
// answers window coordinates; (0, 0) for one that tells the screen's. Absent when the display
// server doesn't tell where that window lies (GNOME): then the element's place is unknown too.
std::optional<Point> windowOffset(const ElementRef& e, const std::optional<Box>& screen) {
    if (!screen) return Point{};
    auto window = liveExtents(e, ATSPI_COORD_TYPE_WINDOW);
    if (!window || window->x != screen->x || window->y != screen->y) return Point{};
    auto front = frontWindowOf(e->pid);
    if (!front) return Point{};
    return backend::contentOrigin(front->number);
}

std::optional<Box> screenExtents(const ElementRef& e) {
    auto screen = liveExtents(e, ATSPI_COORD_TYPE_SCREEN);
    auto at = windowOffset(e, screen);
    if (!screen || !at) return std::nullopt;
    Point off = *at;
    screen->x += static_cast<int>(off.x);
    screen->y += static_cast<int>(off.y);
    return screen;
}

std::optional<Value> extents(const ElementRef& e, bool position) {
    auto b = screenExtents(e);
    if (!b) return std::nullopt;
    if (position) return Value(Point{double(b->x), double(b->y)});
    return Value(Size{double(b->w), double(b->h)});
}

// GTK 4 tells "showing" of its frames only, and keeps what it doesn't show (an unselected stack
// page) at zero size instead. Asked once per application.
bool showingUntold(const ElementRef& e) {
    static std::mutex& mutex = *new std::mutex;
    static auto& known = *new std::map<std::string, bool>;
    {
        std::lock_guard lock(mutex);
        if (auto it = known.find(e->bus); it != known.end()) return it->second;
    }
    ElementRef root = makeElement(e->bus, axlinux::rootPath, e->pid, timeoutOf(e));
    auto name = stringProperty(root, "org.a11y.atspi.Application", "ToolkitName");
    auto version = stringProperty(root, "org.a11y.atspi.Application", "Version");
    if (!name || !version) return false; // asked again next time
    std::string lower;
    for (char c : *name)
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    bool untold = lower == "gtk" && version->starts_with("4.");
    std::lock_guard lock(mutex);
    if (known.size() > 64) known.clear();
    known[e->bus] = untold;
    return untold;
}

// Its states and role, and its parent's path ("" when unknown): from the mirror, else asked.
struct Place {
    std::optional<uint64_t> states;
    std::optional<uint32_t> role;
    std::string parent;
};

Place placeOf(const ElementRef& e, bool withParent) {
    Place p;
    if (axmirror::withFacts(e->bus, e->path, [&](const axlinux::Facts& f) {
            p.states = f.states;
            p.role = f.role;
            p.parent = f.parent;
        }))
        return p;
    p.states = liveStates(e);
    if (!withParent) return p;
    p.role = liveRole(e);
    Variant v = property(e, "org.a11y.atspi.Accessible", "Parent");
    if (v && g_variant_is_of_type(v.get(), G_VARIANT_TYPE("(so)"))) {
        const char* bus = nullptr;
        const char* path = nullptr;
        g_variant_get(v.get(), "(&s&o)", &bus, &path);
        if (bus == e->bus && std::string_view(path) != axlinux::nullPath) p.parent = path;
    }
    return p;
}

// Lists, tables and trees keep their rows off screen when scrolled away: those are still the
// window's content, read as before.
bool scrolledContainer(uint32_t role) {
    switch (role) {
    case ATSPI_ROLE_LIST:
    case ATSPI_ROLE_LIST_BOX:
    case ATSPI_ROLE_TABLE:
    case ATSPI_ROLE_TREE_TABLE:
    case ATSPI_ROLE_TREE:
    case ATSPI_ROLE_TABLE_ROW:
    case ATSPI_ROLE_TREE_ITEM:
    case ATSPI_ROLE_SCROLL_PANE:
    case ATSPI_ROLE_VIEWPORT:
        return true;
    default:
        return false;
    }
}

// Not on screen: an unselected notebook page, a widget never shown, a GTK 4 widget kept at zero
// size (the walk leaves out what is below it too). An object that answered no states is not
// taken for hidden.
std::optional<Value> hiddenValue(const ElementRef& e) {
    Place p = placeOf(e, false);
    if (!p.states) return std::nullopt;
    if (*p.states == 0) return Value(false);
    if (!has(*p.states, ATSPI_STATE_VISIBLE)) return Value(true);
    if (showingUntold(e)) {
        auto box = liveExtents(e, ATSPI_COORD_TYPE_WINDOW);
        return Value(box && (box->w == 0 || box->h == 0));
    }
    if (has(*p.states, ATSPI_STATE_SHOWING)) return Value(false);
    if (!p.role) p = placeOf(e, true);
    if (p.parent.empty()) return Value(false);
    // Scrolled away rather than hidden when it lies in a scrolled area a few levels up.
    std::string at = p.parent;
    for (int depth = 0; depth < 6 && !at.empty(); ++depth) {
        Place up = placeOf(child(e, at.c_str()), true);
        if (up.role && scrolledContainer(*up.role)) return Value(false);
        at = up.parent;
    }
    return Value(true);
}

ElementRef lookUp(int pid) {
    for (const std::string& name : atspi::applications(250))
        if (atspi::pidOf(name, 250) == pid) return makeElement(name, axlinux::rootPath, pid, 250);
    return nullptr;
}

// The application element of a process that wasn't on the bus when first asked for, once it is;
// asked of the registry at most every half second per process.
ElementRef joinedLater(int pid) {
    static std::mutex& mutex = *new std::mutex;
    static auto& lastLook = *new std::map<int, std::chrono::steady_clock::time_point>;
    auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard lock(mutex);
        auto it = lastLook.find(pid);
        if (it != lastLook.end() && now - it->second < std::chrono::milliseconds(500))
            return nullptr;
        if (lastLook.size() > 256) lastLook.clear();
        lastLook[pid] = now;
    }
    ElementRef found = lookUp(pid);
    if (found) {
        std::lock_guard lock(mutex);
        lastLook.erase(pid); // found: asked again only when asked again
    }
    return found;
}

// An application that isn't on the accessibility bus (a terminal without a bridge) still has its
// windows: the front one stands for its focused window, with the title the display server gives.
constexpr std::string_view xWindowPrefix = "x11:";

std::optional<Value> withoutBus(const ElementRef& e, std::string_view name) {
    if (e->pid < 1) return std::nullopt;
    if (!e->path.starts_with(xWindowPrefix)) {
        if (name != "AXFocusedWindow" && name != "AXMainWindow") return std::nullopt;
        auto front = frontWindowOf(e->pid);
        if (!front) return std::nullopt;
        return Value(makeElement("", std::string(xWindowPrefix) + std::to_string(front->number),
                                 e->pid, timeoutOf(e)));
    }
    unsigned long id = std::stoul(e->path.substr(xWindowPrefix.size()));
    if (name == "AXRole") return Value(std::string("AXWindow"));
    if (name != "AXTitle" && name != "AXPosition" && name != "AXSize") return std::nullopt;
    auto facts = backend::windowFacts(id);
    if (!facts) return std::nullopt;
    if (name == "AXTitle") {
        std::string title = utf16::sanitize(facts->title);
        if (title.empty()) return std::nullopt;
        return Value(title);
    }
    if (!facts->rect) return std::nullopt;
    if (name == "AXSize") return Value(Size{facts->rect->width, facts->rect->height});
    if (name == "AXPosition") return Value(Point{facts->rect->x, facts->rect->y});
    return std::nullopt;
}

std::optional<Value> documentUri(const ElementRef& e) {
    if (!declares(e, "org.a11y.atspi.Document")) return std::nullopt;
    Variant dict = liveAttributes(e, "org.a11y.atspi.Document");
    if (!dict) return std::nullopt;
    const char* uri = nullptr;
    for (const char* key : {"URI", "DocURL"})
        if (g_variant_lookup(dict.get(), key, "&s", &uri) && *uri) return Value(std::string(uri));
    return std::nullopt;
}

// A document's address as a page: a browser's own window (Firefox's "chrome://browser/...") is
// none.
std::optional<Value> pageAddress(const ElementRef& e) {
    auto uri = documentUri(e);
    if (uri && std::get<std::string>(*uri).starts_with("chrome:")) return std::nullopt;
    return uri;
}

// Firefox draws its own window as a document too ("chrome://browser/..."): that one is no page.
// Asked once per document.
bool browserChrome(const ElementRef& e) {
    static std::mutex& mutex = *new std::mutex;
    static auto& known = *new std::map<std::string, bool>;
    std::string key = e->bus + e->path;
    {
        std::lock_guard lock(mutex);
        if (auto it = known.find(key); it != known.end()) return it->second;
    }
    auto uri = documentUri(e);
    if (!uri) return false; // not known yet: asked again next time
    bool chrome = std::get<std::string>(*uri).starts_with("chrome:");
    std::lock_guard lock(mutex);
    if (known.size() > 4096) known.clear();
    known[key] = chrome;
    return chrome;
}

// Reads the mirror can answer; nullopt in the outer optional means "ask the application".
std::optional<std::optional<Value>> fromMirror(const ElementRef& e, std::string_view name) {
    std::optional<std::optional<Value>> out;
    axmirror::withFacts(e->bus, e->path, [&](const axlinux::Facts& f) {
        bool multi = has(f.states, ATSPI_STATE_MULTI_LINE);
        if (name == "AXRole") {
            out.emplace(Value(axlinux::roleName(f.role, multi)));
        } else if (name == "AXSubrole") {
            std::string s = axlinux::subroleName(f.role);
            out.emplace(s.empty() ? std::nullopt : std::optional<Value>(s));
        } else if (name == "AXTitle" && f.role != ATSPI_ROLE_DOCUMENT_WEB) {
            // (Chromium tells a page's new title on its frame and tab, never on the document:
            // a document's name is always asked.)
            out.emplace(Value(axlinux::cleanName(f.name)));
        } else if (name == "AXDescription") {
            out.emplace(Value(axlinux::cleanName(f.description)));
        } else if (name == "AXPlaceholderValue" && f.labelKnown) {
            out.emplace(f.placeholder.empty() ? std::nullopt : std::optional<Value>(f.placeholder));
        } else if (name == "AXHelp" && f.labelKnown) {
            out.emplace(f.help.empty() ? std::nullopt : std::optional<Value>(f.help));
        } else if (name == "AXTitleUIElement" && f.labelKnown) {
            if (f.labelledBy.empty())
                out.emplace(std::nullopt);
            else
                out.emplace(Value(makeElement(e->bus, f.labelledBy, e->pid, timeoutOf(e))));
        } else if (name == "AXValue" &&
                   (!(axlinux::textValued(f.role) || axlinux::textBearing(f.role)) ||
                    (f.ifacesKnown && !f.hasText))) {
            out.emplace(std::nullopt);
        } else if (name == "AXValue" && f.textKnown) {
            out.emplace(Value(f.text));
        } else if (name == "AXChildren" && f.childrenKnown) {
            std::vector<ElementRef> kids;
            kids.reserve(f.children.size());
            for (auto& p : f.children)
                kids.push_back(makeElement(e->bus, p, e->pid, timeoutOf(e)));
            out.emplace(Value(std::move(kids)));
        } else if (name == "AXFocused") {
            out.emplace(Value(has(f.states, ATSPI_STATE_FOCUSED)));

        } else if (name == "AXEnabled") {
            out.emplace(Value(has(f.states, ATSPI_STATE_ENABLED)));
        }
    });
    return out;
}

std::optional<Value> live(const ElementRef& e, std::string_view name) {
    if (name == "AXRole") {
        Known k = roleAndStates(e);
        if (!k.role) return std::nullopt;
        return Value(
            axlinux::roleName(*k.role, k.states && has(*k.states, ATSPI_STATE_MULTI_LINE)));
    }
    if (name == "AXSubrole") {
        auto role = liveRole(e);
        std::string s = role ? axlinux::subroleName(*role) : "";
        if (s.empty()) return std::nullopt;
        return Value(s);
    }
    if (name == "AXTitle" || name == "AXDescription") {
        auto s = stringProperty(e, "org.a11y.atspi.Accessible",
                                name == "AXTitle" ? "Name" : "Description");
        if (!s) return std::nullopt;
        return Value(axlinux::cleanName(*s));
    }
    if (name == "AXHelp") {
        auto s = stringProperty(e, "org.a11y.atspi.Accessible", "HelpText");
        if (!s || s->empty()) return std::nullopt;
        return Value(*s);
    }
    if (name == "AXPlaceholderValue") {
        Variant dict = liveAttributes(e, "org.a11y.atspi.Accessible");
        if (!dict) return std::nullopt;
        std::string p = atspi::placeholderOf(dict.get());
        if (p.empty()) return std::nullopt;
        return Value(p);
    }
    if (name == "AXTitleUIElement") {
        std::string p = liveLabelledBy(e);
        if (p.empty()) return std::nullopt;
        return Value(makeElement(e->bus, p, e->pid, timeoutOf(e)));
    }
    if (name == "AXValue") {
        auto role = liveRole(e);
        if (!role || !(axlinux::textValued(*role) || axlinux::textBearing(*role)) ||
            !declares(e, "org.a11y.atspi.Text"))
            return std::nullopt;
        return nonEmpty(liveText(e));
    }

    if (name == "AXPosition") return extents(e, true);
    if (name == "AXSize") return extents(e, false);
    if (name == "AXChildren") {
        auto kids = liveChildren(e);
        if (!kids) return std::nullopt;
        return Value(std::move(*kids));
    }
    if (name == "AXParent") {
        Variant v = property(e, "org.a11y.atspi.Accessible", "Parent");
        if (!v || !g_variant_is_of_type(v.get(), G_VARIANT_TYPE("(so)"))) return std::nullopt;
        const char* bus = nullptr;
        const char* path = nullptr;
        g_variant_get(v.get(), "(&s&o)", &bus, &path);
        if (bus != e->bus) return std::nullopt;
        if (ElementRef p = child(e, path)) return Value(p);
        return std::nullopt;
    }
    if (name == "AXWindows") {
        auto w = windowsOf(e);
        if (!w) return std::nullopt;
        return Value(std::move(*w));
    }
    if (name == "AXFocusedWindow" || name == "AXMainWindow") {
        if (ElementRef w = activeWindow(e, name == "AXMainWindow")) return Value(w);
        return std::nullopt;
    }
    if (name == "AXFocusedUIElement") {
        if (ElementRef f = focusedElement(e)) return Value(f);
        return std::nullopt;
    }
    if (name == "AXURL" || name == "AXDocument") return pageAddress(e);
    if (name == "AXFocused" || name == "AXEnabled") {
        auto s = liveStates(e);
        if (!s) return std::nullopt;
        return Value(has(*s, name == "AXFocused" ? ATSPI_STATE_FOCUSED : ATSPI_STATE_ENABLED));
    }
    // There is no such switch on this desktop: reads as absent, so "before" is false.
    return std::nullopt;
}

// A press lands on the control, not on the label inside it (GTK 4 buttons hold a label child).
ElementRef pressedControl(const ElementRef& at) {
    if (!at) return at;
    auto role = liveRole(at);
    if (!role || (*role != ATSPI_ROLE_LABEL && *role != ATSPI_ROLE_STATIC &&
                  *role != ATSPI_ROLE_ICON && *role != ATSPI_ROLE_IMAGE))
        return at;
    Variant v = property(at, "org.a11y.atspi.Accessible", "Parent");
    if (!v || !g_variant_is_of_type(v.get(), G_VARIANT_TYPE("(so)"))) return at;
    const char* bus = nullptr;
    const char* path = nullptr;
    g_variant_get(v.get(), "(&s&o)", &bus, &path);
    ElementRef parent = bus == at->bus ? child(at, path) : nullptr;
    auto parentRole = parent ? liveRole(parent) : std::nullopt;
    if (!parentRole) return at;
    switch (*parentRole) {
    case ATSPI_ROLE_PUSH_BUTTON:
    case ATSPI_ROLE_TOGGLE_BUTTON:
    case ATSPI_ROLE_CHECK_BOX:
    case ATSPI_ROLE_RADIO_BUTTON:
    case ATSPI_ROLE_LINK:
    case ATSPI_ROLE_MENU_ITEM:
    case ATSPI_ROLE_CHECK_MENU_ITEM:
    case ATSPI_ROLE_RADIO_MENU_ITEM:
    case ATSPI_ROLE_PAGE_TAB:
        return parent;
    default:
        return at;
    }
}

} // namespace

ElementRef applicationElement(int pid) {
    if (pid < 1) return nullptr;
    if (ElementRef found = lookUp(pid)) return found;
    // Not on the bus (yet, or ever): an element whose every read is absent.
    return makeElement("", axlinux::rootPath, pid, 250);
}

void setMessagingTimeout(const ElementRef& element, float seconds) {
    if (!element || !(seconds > 0)) return;
    element->timeoutMs = std::max(1, static_cast<int>(std::lround(seconds * 1000)));
}

std::optional<Value> copyAttribute(const ElementRef& element, std::string_view name) {
    if (!element) return std::nullopt;
    if (element->bus.empty()) {
        // An application that joined the bus after it was first looked for (GTK joins as its
        // first window maps) is read there from then on.
        if (!element->path.starts_with(xWindowPrefix))
            if (ElementRef joined = joinedLater(element->pid)) return copyAttribute(joined, name);
        return withoutBus(element, name);
    }
    if (name == "AXTitle")
        if (auto t = axtrack::menuItemTitle(element->bus, element->path)) return Value(*t);
    if (name == "AXHidden") return hiddenValue(element);
    auto m = fromMirror(element, name);
    auto v = m ? *m : live(element, name);
    if (name == "AXRole" && v && std::get<std::string>(*v) == "AXWebArea" && browserChrome(element))
        return Value(std::string("AXGroup"));
    return v;
}

bool setAttribute(const ElementRef& element, std::string_view name, const Value& value) {
    if (!element || element->bus.empty()) return false;
    if (name == "AXEnhancedUserInterface" || name == "AXManualAccessibility") {
        // Chromium turns its web content on when a client first asks the application root for
        // its attributes; nothing turns it off again, so setting false fails.
        const bool* on = std::get_if<bool>(&value);
        if (!on || !*on) return false;
        ElementRef root =
            makeElement(element->bus, axlinux::rootPath, element->pid, timeoutOf(element));
        return ask(root, "org.a11y.atspi.Accessible", "GetAttributes", nullptr, "(a{ss})") !=
               nullptr;
    }
    return false;
}

ElementRef elementAtPosition(const ElementRef& application, double x, double y) {
    if (!application) return nullptr;
    auto list = windows::onScreen();
    if (!list) return nullptr;
    int owner = -1;
    bool popup = false;
    for (auto& w : *list)
        if (w.bounds && w.bounds->contains(x, y)) {
            owner = w.pid;
            popup = w.layer != windows::normalLayer;
            break;
        }
    if (owner < 1) return nullptr;
    ElementRef app = owner == application->pid && !application->bus.empty()
                         ? application
                         : applicationElement(owner);
    if (!app || app->bus.empty()) return nullptr;
    app->timeoutMs = timeoutOf(application);
    // A menu pops up in a window of its own, which isn't among the frames: the item under the
    // pointer is the one highlighted there.
    // The item is highlighted as the pointer reaches it, moments before a press that follows
    // at once: its news may still be on its way.
    // (Not every toolkit's menu window is told apart from the window below: a highlighted
    // item's box counts wherever it is, until the item is left.)
    bool menu = popup || axtrack::menuActive(app->bus);
    for (int tries = 0; tries < (menu ? 12 : 1); ++tries) {
        if (tries) std::this_thread::sleep_for(std::chrono::milliseconds(25));
        if (std::string item = axtrack::menuItemAt(app->bus, x, y); !item.empty())
            return child(app, item.c_str());
    }
    // The frame under the point, showing ones first; then down through the component tree. The
    // point is given in the frame's own terms (window coordinates for GTK 4).
    ElementRef at;
    int ax = 0, ay = 0;
    for (auto& w : windowsOf(app).value_or(std::vector<ElementRef>{})) {
        auto s = liveStates(w);
        if (!s || !has(*s, ATSPI_STATE_SHOWING)) continue;
        auto placed = windowOffset(w, liveExtents(w, ATSPI_COORD_TYPE_SCREEN));
        if (!placed) continue;
        Point off = *placed;
        int ix = static_cast<int>(std::floor(x - off.x));
        int iy = static_cast<int>(std::floor(y - off.y));
        Variant r = ask(w, "org.a11y.atspi.Component", "Contains",
                        g_variant_new("(iiu)", ix, iy, ATSPI_COORD_TYPE_SCREEN), "(b)");
        gboolean in = FALSE;
        if (r) g_variant_get(r.get(), "(b)", &in);
        if (in) {
            at = w;
            ax = ix;
            ay = iy;
            if (has(*s, ATSPI_STATE_ACTIVE)) break;
        }
    }
    for (int depth = 0; at && depth < 64; ++depth) {
        Variant r = ask(at, "org.a11y.atspi.Component", "GetAccessibleAtPoint",
                        g_variant_new("(iiu)", ax, ay, ATSPI_COORD_TYPE_SCREEN), "((so))");
        if (!r) break;
        const char* bus = nullptr;
        const char* path = nullptr;
        g_variant_get(r.get(), "((&s&o))", &bus, &path);
        if (!path || std::string_view(path) == axlinux::nullPath || path == at->path) break;
        ElementRef next = child(at, path);
        if (bus != at->bus) {
            next->bus = bus;
            next->pid = atspi::pidOf(bus, timeoutOf(at));
        }
        at = next;
    }
    return pressedControl(at);
}

unsigned long unansweredRequests() {
    return atspi::unansweredCount();
}

int processOf(const ElementRef& element) {
    return element ? element->pid : -1;
}

bool sameElement(const ElementRef& a, const ElementRef& b) {
    if (!a || !b) return a == b;
    return a->bus == b->bus && a->path == b->path && a->pid == b->pid;
}

} // namespace ax
