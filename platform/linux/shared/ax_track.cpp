// One listener for the accessibility bus's events: the mirror's updates first, then focus
// tracking, then the notifications of observed applications, handed to the main loop.
#include "platform/linux/shared/ax_track.h"
#include "platform/ax.h"
#include "platform/linux/shared/ax_element.h"
#include "platform/linux/shared/ax_mirror.h"
#include "platform/linux/shared/ax_roles.h"

#include <atspi/atspi-constants.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <unordered_map>

namespace ax {

struct Observer {
    int pid = -1;
    Callback callback;
    std::mutex mutex;
    std::set<std::string> notifications;
    std::atomic<bool> attached{false};
};

} // namespace ax

namespace axtrack {
namespace {

// Never destroyed: the event thread outlives static destruction.
std::mutex& focusMutex = *new std::mutex;
std::map<std::string, std::string>& focusedByApp = *new std::map<std::string, std::string>;
// Applications whose focused object was found without a focus event.
std::set<std::string>& focusFoundFor = *new std::set<std::string>;
std::string& lastFocusBus = *new std::string;
std::string& lastFocusPath = *new std::string;
std::atomic<bool> secure{false};

std::mutex& observersMutex = *new std::mutex;
std::vector<std::weak_ptr<ax::Observer>>& observers = *new std::vector<std::weak_ptr<ax::Observer>>;

// Connections whose mirror an observer has asked for. Event thread only.
std::set<std::string>& mirroredBuses = *new std::set<std::string>;

// Roles seldom change: remembered per object so the event thread asks each object once.
std::unordered_map<std::string, uint32_t>& roles = *new std::unordered_map<std::string, uint32_t>;

std::optional<uint32_t> roleOf(const std::string& bus, const std::string& path) {
    std::optional<uint32_t> role;
    if (axmirror::withFacts(bus, path, [&](const axlinux::Facts& f) { role = f.role; }))
        return role;
    std::string key = bus + path;
    if (auto it = roles.find(key); it != roles.end()) return it->second;
    atspi::Variant r =
        atspi::call(bus, path, "org.a11y.atspi.Accessible", "GetRole", nullptr, "(u)", 250);
    if (!r) return std::nullopt;
    guint32 v = 0;
    g_variant_get(r.get(), "(u)", &v);
    if (roles.size() > 20000) roles.clear();
    roles[key] = v;
    return v;
}

// GTK sends no event when a menu item is chosen: the item highlighted when its menu closes is
// taken as the one chosen.
std::map<std::string, std::string>& menuClosing = *new std::map<std::string, std::string>;
// Chromium's menus are windows of their own: the chosen item is the one highlighted, or left
// moments ago, when its menu window gives up the focus.
std::map<std::string, std::string>& menuHighlighted = *new std::map<std::string, std::string>;

// Toolkits tell one focus change more than once (GTK3 twice): an object that gains the focus it
// already has, with no loss in between, is no change. Event thread only.
bool focusRepeated = false;
std::map<std::string, std::chrono::steady_clock::time_point>& menuLeftAt =
    *new std::map<std::string, std::chrono::steady_clock::time_point>;
// The name of each application's last highlighted menu item, read while it lived: Chromium
// tears a chosen item down (nameless, a panel) before anyone can ask for its title.
// Its box on screen too: a press on the item lands in a popup window that isn't among the
// application's frames, and the box tells the item under the press.
struct MenuItem {
    std::string path, name;
    int x = 0, y = 0, w = 0, h = 0;
    std::optional<std::chrono::steady_clock::time_point> leftAt;
};
std::mutex& menuNameMutex = *new std::mutex;
std::map<std::string, MenuItem>& menuNames = *new std::map<std::string, MenuItem>;

void rememberMenuName(const std::string& bus, const std::string& path) {
    {
        // Known as highlighted at once: a press being looked up waits for its box.
        std::lock_guard lock(menuNameMutex);
        MenuItem& m = menuNames[bus];
        m = MenuItem();
        m.path = path;
    }
    atspi::Variant r =
        atspi::call(bus, path, "org.freedesktop.DBus.Properties", "Get",
                    g_variant_new("(ss)", "org.a11y.atspi.Accessible", "Name"), "(v)", 250);
    MenuItem item;
    item.path = path;
    if (r) {
        atspi::Variant v(g_variant_get_child_value(r.get(), 0));
        atspi::Variant inner(g_variant_get_variant(v.get()));
        if (g_variant_is_of_type(inner.get(), G_VARIANT_TYPE_STRING))
            item.name = g_variant_get_string(inner.get(), nullptr);
    }
    // Toolkits pad menu labels to line up their accelerators.
    while (!item.name.empty() && std::isspace(static_cast<unsigned char>(item.name.back())))
        item.name.pop_back();
    atspi::Variant box =
        atspi::call(bus, path, "org.a11y.atspi.Component", "GetExtents",
                    g_variant_new("(u)", ATSPI_COORD_TYPE_SCREEN), "((iiii))", 250);
    if (box) g_variant_get(box.get(), "((iiii))", &item.x, &item.y, &item.w, &item.h);
    std::lock_guard lock(menuNameMutex);
    MenuItem& m = menuNames[bus];
    if (m.path == path && !m.leftAt) m = std::move(item);
}

// An item no longer highlighted is soon no longer under the pointer. (The press that chose it
// may be looked up after the toolkit has let go of it already.)
constexpr auto menuBoxKept = std::chrono::seconds(2);

void leaveMenuItem(const std::string& bus, const std::string& path) {
    std::lock_guard lock(menuNameMutex);
    if (auto it = menuNames.find(bus); it != menuNames.end() && it->second.path == path)
        it->second.leftAt = std::chrono::steady_clock::now();
}

void trackFocus(const atspi::Event& e) {
    if (e.kind == "Bus") {
        // An application that quits takes its focus, and its password field, with it.
        std::lock_guard lock(focusMutex);
        focusedByApp.erase(e.sender);
        focusFoundFor.erase(e.sender);
        std::erase_if(roles, [&](auto& r) { return r.first.starts_with(e.sender + "/"); });
        menuClosing.erase(e.sender);
        menuHighlighted.erase(e.sender);
        menuLeftAt.erase(e.sender);
        {
            std::lock_guard names(menuNameMutex);
            menuNames.erase(e.sender);
        }
        if (lastFocusBus == e.sender) {
            lastFocusBus.clear();
            secure = false;
        }
        return;
    }
    if (e.member != "StateChanged" || e.minor != "focused") return;
    std::optional<uint32_t> role;
    if (e.detail1) role = roleOf(e.sender, e.path);
    std::lock_guard lock(focusMutex);
    if (e.detail1) {
        auto had = focusedByApp.find(e.sender);
        focusRepeated = had != focusedByApp.end() && had->second == e.path;
        focusedByApp[e.sender] = e.path;
        lastFocusBus = e.sender;
        lastFocusPath = e.path;
        secure = role && axlinux::passwordRole(*role);
    } else {
        if (auto it = focusedByApp.find(e.sender); it != focusedByApp.end() && it->second == e.path)
            focusedByApp.erase(it);
        if (lastFocusBus == e.sender && lastFocusPath == e.path) secure = false;
    }
}

// The notifications of an event; path, when set, is the element they are about instead of the
// event's source.
std::vector<std::string> notificationsOf(const atspi::Event& e, std::string& path) {
    const std::string& m = e.member;
    if (e.kind == "Window") {
        if (m == "Activate") return {"AXFocusedWindowChanged", "AXMainWindowChanged"};
        if (m == "Create") return {"AXWindowCreated"};
        if (m == "Deactivate") {
            if (auto it = menuHighlighted.find(e.sender); it != menuHighlighted.end()) {
                path = it->second;
                menuHighlighted.erase(it);
                return {"AXMenuItemSelected"};
            }
            auto it = menuClosing.find(e.sender);
            if (it == menuClosing.end() ||
                std::chrono::steady_clock::now() - menuLeftAt[e.sender] > std::chrono::seconds(1))
                return {};
            path = it->second;
            menuClosing.erase(it);
            return {"AXMenuItemSelected"};
        }
        return {};
    }
    if (e.kind != "Object") return {};
    if (m == "StateChanged") {
        if (e.minor == "focused" && e.detail1) {
            // Firefox and GTK 4 move the focus through a menu's items instead of selecting them.
            auto role = roleOf(e.sender, e.path);
            if (role && axlinux::menuItemRole(*role)) {
                menuHighlighted[e.sender] = e.path;
                rememberMenuName(e.sender, e.path);
            }
            if (!focusRepeated) return {"AXFocusedUIElementChanged"};
            return {};
        }
        // ... and their menus stop showing once one is chosen.
        if (e.minor == "showing" && !e.detail1) {
            if (auto h = menuHighlighted.find(e.sender); h != menuHighlighted.end()) {
                auto role = roleOf(e.sender, e.path);
                if (role && (*role == ATSPI_ROLE_MENU || *role == ATSPI_ROLE_POPUP_MENU)) {
                    path = h->second;
                    menuHighlighted.erase(h);
                    return {"AXMenuItemSelected"};
                }
            }
        }
        if (e.minor == "checked") return {"AXValueChanged"};
        // A frame may turn active only after its window:activate was sent (Chromium opening a
        // window under load): the read that event started saw the old frame, so read again.
        if (e.minor == "active" && e.detail1) {
            auto role = roleOf(e.sender, e.path);
            if (role && axlinux::windowRole(*role)) return {"AXFocusedWindowChanged"};
            return {};
        }
        if (e.minor == "selected" || e.minor == "showing") {
            // Only the highlighted item of a closing menu matters among the objects that show
            // and hide (hundreds as a browser window opens): the others cost no round trip.
            if (e.minor == "showing") {
                auto closing = menuClosing.find(e.sender);
                if (e.detail1 || closing == menuClosing.end() || closing->second != e.path)
                    return {};
            }
            auto role = roleOf(e.sender, e.path);
            if (!role || !axlinux::menuItemRole(*role)) return {};
            auto it = menuClosing.find(e.sender);
            if (e.minor == "selected" && !e.detail1) {
                leaveMenuItem(e.sender, e.path);
                menuClosing[e.sender] = e.path;
                menuLeftAt[e.sender] = std::chrono::steady_clock::now();
                if (auto h = menuHighlighted.find(e.sender);
                    h != menuHighlighted.end() && h->second == e.path)
                    menuHighlighted.erase(h);
            } else if (e.minor == "selected") {
                menuHighlighted[e.sender] = e.path;
                rememberMenuName(e.sender, e.path);
                if (it != menuClosing.end()) menuClosing.erase(it);
            } else if (!e.detail1 && it != menuClosing.end() && it->second == e.path) {
                menuClosing.erase(it);
                return {"AXMenuItemSelected"};
            }
        }
        return {};
    }
    if (m == "PropertyChange") {
        if (e.minor == "accessible-value") return {"AXValueChanged"};
        if (e.minor == "accessible-name") {
            auto role = roleOf(e.sender, e.path);
            if (role && axlinux::windowRole(*role)) return {"AXTitleChanged"};
        }
        return {};
    }
    if (m == "TextChanged") {
        // Labels change their text too; only what a person edits is a value change.
        auto role = roleOf(e.sender, e.path);
        if (role &&
            (axlinux::roleName(*role, false) == "AXStaticText" || axlinux::menuItemRole(*role)))
            return {};
        // A page's or a panel's own text changing (a browser filling a side bar) is no edit.
        bool readOnly = false;
        axmirror::withFacts(e.sender, e.path, [&](const axlinux::Facts& f) {
            readOnly = f.states && !((f.states >> ATSPI_STATE_EDITABLE) & 1);
        });
        if (readOnly) return {};
        return {"AXValueChanged"};
    }
    if (m == "TextCaretMoved" || m == "TextSelectionChanged") return {"AXSelectedTextChanged"};
    return {};
}

// The app is observed from now on: its tree is mirrored so walks read memory. Event thread.
void mirrorLater(int pid) {
    atspi::onEventThread([pid] {
        for (const std::string& name : atspi::applications(250))
            if (atspi::pidOf(name, 250) == pid) axmirror::mirror(name, pid);
    });
}

void deliver(const ax::ObserverRef& o, ax::ElementRef element, std::string note) {
    auto* work = new std::function<void()>([o, element, note] {
        if (o->attached) o->callback(element, note);
    });
    g_main_context_invoke_full(
        g_main_context_default(), G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            (*static_cast<std::function<void()>*>(data))();
            return G_SOURCE_REMOVE;
        },
        work, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}

void onEvent(const atspi::Event& e) {
    axmirror::onEvent(e);
    trackFocus(e);
    if (e.kind == "Bus" && e.member == "Back") {
        // A new bus: the observed applications are mirrored again once they are on it.
        std::lock_guard lock(observersMutex);
        for (auto& w : observers)
            if (auto o = w.lock()) mirrorLater(o->pid);
    }
    if (e.kind == "Bus") return;
    std::vector<ax::ObserverRef> watching;
    {
        std::lock_guard lock(observersMutex);
        std::erase_if(observers, [](auto& w) { return w.expired(); });
        for (auto& w : observers)
            if (auto o = w.lock(); o && o->attached) watching.push_back(o);
    }
    if (watching.empty()) return;
    int pid = atspi::pidOf(e.sender, 250);
    std::erase_if(watching, [&](auto& o) { return o->pid != pid; });
    if (watching.empty()) return;
    // An observed application that joined the bus after it was observed: mirrored from its
    // first event on.
    if (mirroredBuses.insert(e.sender).second) {
        if (mirroredBuses.size() > 256) mirroredBuses = {e.sender};
        axmirror::mirror(e.sender, pid);
    }
    std::string path = e.path;
    std::vector<std::string> notes = notificationsOf(e, path);
    for (const std::string& note : notes)
        for (auto& o : watching) {
            {
                std::lock_guard lock(o->mutex);
                if (!o->notifications.count(note)) continue;
            }
            deliver(o, axlinux::makeElement(e.sender, path, pid, 250), note);
        }
}

std::once_flag started;

} // namespace

void start() {
    std::call_once(started, [] { atspi::addListener(onEvent); });
}

std::string focusedPath(const std::string& bus) {
    std::lock_guard lock(focusMutex);
    auto it = focusedByApp.find(bus);
    return it == focusedByApp.end() ? std::string() : it->second;
}

void focusFound(const std::string& bus) {
    std::lock_guard lock(focusMutex);
    focusFoundFor.insert(bus);
}

void mirrorBuilt(const std::string& bus, int pid) {
    // A focus taken before we listened, in a toolkit that repeats nothing (Qt 5), is told once
    // the mirror knows it.
    std::string focused;
    bool unknown;
    {
        std::lock_guard lock(focusMutex);
        unknown = !focusedByApp.count(bus) && !focusFoundFor.count(bus);
    }
    if (unknown) focused = axmirror::focusedPath(bus, "");
    if (!focused.empty()) {
        std::lock_guard lock(focusMutex);
        if (!focusFoundFor.insert(bus).second) focused.clear();
    }
    std::vector<ax::ObserverRef> watching;
    {
        std::lock_guard lock(observersMutex);
        for (auto& w : observers)
            if (auto o = w.lock(); o && o->attached && o->pid == pid) watching.push_back(o);
    }
    for (auto& o : watching) {
        {
            std::lock_guard lock(o->mutex);
            if (!o->notifications.count("AXWindowCreated")) continue;
        }
        deliver(o, axlinux::makeElement(bus, axlinux::rootPath, pid, 250), "AXWindowCreated");
        if (focused.empty()) continue;
        {
            std::lock_guard lock(o->mutex);
            if (!o->notifications.count("AXFocusedUIElementChanged")) continue;
        }
        deliver(o, axlinux::makeElement(bus, focused, pid, 250), "AXFocusedUIElementChanged");
    }
}

bool passwordFocused() {
    return secure;
}

std::optional<std::string> menuItemTitle(const std::string& bus, const std::string& path) {
    std::lock_guard lock(menuNameMutex);
    auto it = menuNames.find(bus);
    if (it == menuNames.end() || it->second.path != path || it->second.name.empty())
        return std::nullopt;
    return it->second.name;
}

bool menuActive(const std::string& bus) {
    std::lock_guard lock(menuNameMutex);
    auto it = menuNames.find(bus);
    return it != menuNames.end() &&
           (!it->second.leftAt ||
            std::chrono::steady_clock::now() - *it->second.leftAt < menuBoxKept);
}

std::string menuItemAt(const std::string& bus, double x, double y) {
    std::lock_guard lock(menuNameMutex);
    auto it = menuNames.find(bus);
    if (it == menuNames.end()) return "";
    const MenuItem& m = it->second;
    if (m.leftAt && std::chrono::steady_clock::now() - *m.leftAt > menuBoxKept) return "";
    if (m.w <= 0 || m.h <= 0 || x < m.x || y < m.y || x >= m.x + m.w || y >= m.y + m.h) return "";
    return m.path;
}

} // namespace axtrack

namespace ax {

ObserverRef createObserver(int pid, Callback callback) {
    // Without a bus now, the observer still listens once one is back.
    if (pid < 1 || !callback) return nullptr;
    atspi::bus();
    axtrack::start();
    auto o = std::make_shared<Observer>();
    o->pid = pid;
    o->callback = std::move(callback);
    axtrack::mirrorLater(pid);
    std::lock_guard lock(axtrack::observersMutex);
    axtrack::observers.push_back(o);
    return o;
}

bool addNotification(const ObserverRef& observer, const ElementRef& element,
                     std::string_view notification) {
    static const std::set<std::string, std::less<>> known = {
        "AXFocusedWindowChanged", "AXMainWindowChanged", "AXFocusedUIElementChanged",
        "AXTitleChanged",         "AXWindowCreated",     "AXValueChanged",
        "AXSelectedTextChanged",  "AXMenuItemSelected"};
    if (!observer || !element || !known.count(notification)) return false;
    std::lock_guard lock(observer->mutex);
    observer->notifications.emplace(notification);
    return true;
}

void attachObserver(const ObserverRef& observer) {
    if (observer) observer->attached = true;
}

void detachObserver(const ObserverRef& observer) {
    if (observer) observer->attached = false;
}

} // namespace ax
