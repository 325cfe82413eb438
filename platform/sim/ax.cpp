#include "platform/ax.h"
#include "platform/loop.h"
#include "platform/sim/ax_desktop.h"
#include "platform/sim/sim.h"

#include <algorithm>
#include <map>
#include <set>

namespace ax {

// One element of a simulated tree; handles to it are Elements, each with its own timeout.
struct Node {
    int pid = 0;
    std::map<std::string, Value, std::less<>> attributes;
    std::set<std::string, std::less<>> refused;
    bool gone = false;
};

struct Element {
    std::shared_ptr<Node> node;
    float timeout = 0.25f;
};

struct Observer {
    int pid = 0;
    Callback callback;
    std::vector<std::pair<std::shared_ptr<Node>, std::string>> registered;
    bool attached = false;
};

} // namespace ax

namespace {

using namespace ax;

constexpr float defaultTimeout = 0.25f;

std::map<int, std::shared_ptr<Node>> apps;
std::map<int, double> slowness;
std::set<int> observersRefused;
std::vector<std::weak_ptr<Observer>> observers;
std::vector<std::string> setLog;
std::function<void(int, const std::string&)> duringRead;
long requests = 0;
thread_local unsigned long unanswered = 0;

std::shared_ptr<Node> appNode(int pid) {
    auto& node = apps[pid];
    if (!node) {
        node = std::make_shared<Node>();
        node->pid = pid;
        node->attributes["AXRole"] = std::string("AXApplication");
    }
    return node;
}

ElementRef handle(const std::shared_ptr<Node>& node) {
    auto e = std::make_shared<Element>();
    e->node = node;
    return e;
}

// One request to the element's application: takes the app's slowness on the virtual clock and
// fails when that exceeds the element's timeout or the element is gone.
bool answers(const ElementRef& element, std::string_view attribute) {
    ++requests;
    int pid = element->node->pid;
    if (duringRead) duringRead(pid, std::string(attribute));
    double slow = slowness.count(pid) ? slowness[pid] : 0;
    if (slow > 0) {
        double limit = element->timeout > 0 ? element->timeout : defaultTimeout;
        sim::elapse(std::min(slow, limit));
        if (slow > limit) {
            ++unanswered;
            return false;
        }
    }
    if (element->node->gone) ++unanswered;
    return !element->node->gone;
}

// Values hand out fresh handles, as each copy of an element reference is the caller's own.
Value rehandle(const Value& value) {
    if (auto* e = std::get_if<ElementRef>(&value)) return *e ? handle((*e)->node) : nullptr;
    if (auto* list = std::get_if<std::vector<ElementRef>>(&value)) {
        std::vector<ElementRef> out;
        for (auto& e : *list)
            out.push_back(e ? handle(e->node) : nullptr);
        return out;
    }
    return value;
}

std::string show(const Value& value) {
    if (auto* b = std::get_if<bool>(&value)) return *b ? "true" : "false";
    if (auto* d = std::get_if<double>(&value)) return std::to_string(*d);
    if (auto* s = std::get_if<std::string>(&value)) return "\"" + *s + "\"";
    return "?";
}

} // namespace

namespace ax {

ElementRef applicationElement(int pid) {
    return handle(appNode(pid));
}

void setMessagingTimeout(const ElementRef& element, float seconds) {
    if (element) element->timeout = seconds > 0 ? seconds : defaultTimeout;
}

std::optional<Value> copyAttribute(const ElementRef& element, std::string_view name) {
    if (!element || !answers(element, name)) return std::nullopt;
    auto it = element->node->attributes.find(name);
    if (it == element->node->attributes.end()) return std::nullopt;
    if (auto* e = std::get_if<ElementRef>(&it->second); e && !*e) return std::nullopt;
    return rehandle(it->second);
}

bool setAttribute(const ElementRef& element, std::string_view name, const Value& value) {
    if (!element || !answers(element, name)) return false;
    if (element->node->refused.count(name)) return false;
    element->node->attributes[std::string(name)] = value;
    setLog.push_back(std::to_string(element->node->pid) + " " + std::string(name) + " " +
                     show(value));
    return true;
}

ElementRef elementAtPosition(const ElementRef& application, double x, double y) {
    if (!application || !answers(application, "AXElementAtPosition")) return nullptr;
    auto contains = [x, y](const std::shared_ptr<Node>& n) {
        auto p = n->attributes.find("AXPosition");
        auto s = n->attributes.find("AXSize");
        if (p == n->attributes.end() || s == n->attributes.end()) return false;
        auto* pt = std::get_if<Point>(&p->second);
        auto* sz = std::get_if<Size>(&s->second);
        return pt && sz && x >= pt->x && y >= pt->y && x < pt->x + sz->w && y < pt->y + sz->h;
    };
    std::shared_ptr<Node> found;
    std::shared_ptr<Node> at = application->node;
    for (bool deeper = true; deeper;) {
        deeper = false;
        auto c = at->attributes.find("AXChildren");
        if (c == at->attributes.end()) break;
        auto* children = std::get_if<std::vector<ElementRef>>(&c->second);
        if (!children) break;
        for (auto& child : *children)
            if (child && !child->node->gone && contains(child->node)) {
                found = at = child->node;
                deeper = true;
                break;
            }
    }
    return found ? handle(found) : nullptr;
}

unsigned long unansweredRequests() {
    return unanswered;
}

int processOf(const ElementRef& element) {
    return element ? element->node->pid : 0;
}

bool sameElement(const ElementRef& a, const ElementRef& b) {
    return a && b && a->node == b->node;
}

ObserverRef createObserver(int pid, Callback callback) {
    if (pid <= 0 || observersRefused.count(pid)) return nullptr;
    auto o = std::make_shared<Observer>();
    o->pid = pid;
    o->callback = std::move(callback);
    observers.push_back(o);
    return o;
}

bool addNotification(const ObserverRef& observer, const ElementRef& element,
                     std::string_view notification) {
    if (!observer || !element) return false;
    observer->registered.emplace_back(element->node, std::string(notification));
    return true;
}

void attachObserver(const ObserverRef& observer) {
    if (observer) observer->attached = true;
}

void detachObserver(const ObserverRef& observer) {
    if (observer) observer->attached = false;
}

} // namespace ax

namespace sim {

ax::ElementRef axApp(int pid) {
    return handle(appNode(pid));
}

ax::ElementRef axElement(int pid, std::vector<std::pair<std::string, ax::Value>> attributes) {
    auto node = std::make_shared<Node>();
    node->pid = pid;
    for (auto& [name, value] : attributes)
        node->attributes[name] = std::move(value);
    return handle(node);
}

void axSet(const ax::ElementRef& element, const std::string& name, std::optional<ax::Value> value) {
    if (!element) return;
    if (value)
        element->node->attributes[name] = std::move(*value);
    else
        element->node->attributes.erase(name);
}

ax::ElementRef axAdd(const ax::ElementRef& parent, ax::ElementRef child) {
    auto& slot = parent->node->attributes["AXChildren"];
    if (!std::holds_alternative<std::vector<ElementRef>>(slot)) slot = std::vector<ElementRef>{};
    std::get<std::vector<ElementRef>>(slot).push_back(child);
    return child;
}

void axSlowness(int pid, double seconds) {
    slowness[pid] = seconds;
}

void axRefuseSet(const ax::ElementRef& element, const std::string& name) {
    if (element) element->node->refused.insert(name);
}

void axRefuseObservers(int pid) {
    observersRefused.insert(pid);
}

void axDestroy(const ax::ElementRef& element) {
    if (element) element->node->gone = true;
}

void axNotify(const ax::ElementRef& element, const std::string& notification) {
    if (!element) return;
    auto app = appNode(element->node->pid);
    for (auto& weak : observers) {
        auto o = weak.lock();
        if (!o || !o->attached || o->pid != element->node->pid) continue;
        bool wanted = std::any_of(o->registered.begin(), o->registered.end(), [&](auto& r) {
            return r.second == notification && (r.first == app || r.first == element->node);
        });
        if (!wanted) continue;
        // What was delivered after the observer was detached is never seen.
        loop::onMain([weak, e = handle(element->node), notification] {
            if (auto o = weak.lock(); o && o->attached && o->callback) o->callback(e, notification);
        });
    }
}

std::vector<std::string> axRegistered(int pid) {
    std::vector<std::string> names;
    for (auto& weak : observers)
        if (auto o = weak.lock(); o && o->attached && o->pid == pid)
            for (auto& r : o->registered)
                names.push_back(r.second);
    return names;
}

std::vector<std::string> axSetLog() {
    return setLog;
}

void axDuringRead(std::function<void(int, const std::string&)> hook) {
    duringRead = std::move(hook);
}

long axRequests() {
    return requests;
}

void axReset() {
    apps.clear();
    slowness.clear();
    observersRefused.clear();
    observers.clear();
    setLog.clear();
    duringRead = nullptr;
    requests = 0;
}

} // namespace sim
