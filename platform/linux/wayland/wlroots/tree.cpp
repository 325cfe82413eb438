#include "platform/linux/wayland/wlroots/tree.h"

#include <algorithm>

using nlohmann::json;

namespace swaytree {
namespace {

double number(const json& j, const char* key) {
    auto it = j.find(key);
    return it != j.end() && it->is_number() ? it->get<double>() : 0;
}

std::string text(const json& j, const char* key) {
    auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

windows::Rect rect(const json& j, const char* key) {
    auto it = j.find(key);
    if (it == j.end() || !it->is_object()) return {};
    return {number(*it, "x"), number(*it, "y"), number(*it, "width"), number(*it, "height")};
}

bool isView(const json& node) {
    auto pid = node.find("pid");
    return pid != node.end() && pid->is_number_integer() &&
           (node.contains("app_id") || node.contains("window_properties"));
}

View viewOf(const json& node, bool floating) {
    View v;
    v.id = node.value("id", 0ul);
    v.pid = node["pid"].get<int>();
    v.appId = text(node, "app_id");
    if (v.appId.empty())
        if (auto props = node.find("window_properties"); props != node.end() && props->is_object())
            v.appId = text(*props, "class");
    v.title = text(node, "name");
    v.frame = rect(node, "rect");
    windows::Rect inner = rect(node, "window_rect");
    v.content = {v.frame.x + inner.x, v.frame.y + inner.y, inner.width, inner.height};
    windows::Rect geometry = rect(node, "geometry");
    v.surfaceX = v.content.x - geometry.x;
    v.surfaceY = v.content.y - geometry.y;
    v.floating = floating;
    v.focused = node.value("focused", false);
    return v;
}

// A node's children of one kind, most recently focused first (sway's "focus" lists ids so).
std::vector<const json*> byFocus(const json& node, const char* kind) {
    std::vector<const json*> out;
    auto kids = node.find(kind);
    if (kids == node.end() || !kids->is_array()) return out;
    for (const json& k : *kids)
        if (k.is_object()) out.push_back(&k);
    std::vector<unsigned long> order;
    if (auto f = node.find("focus"); f != node.end() && f->is_array())
        for (const json& id : *f)
            if (id.is_number_integer()) order.push_back(id.get<unsigned long>());
    auto rank = [&](const json* k) {
        auto at = std::find(order.begin(), order.end(), k->value("id", 0ul));
        return at - order.begin();
    };
    std::stable_sort(out.begin(), out.end(),
                     [&](const json* a, const json* b) { return rank(a) < rank(b); });
    return out;
}

void collect(const json& node, bool floating, std::vector<View>& out) {
    if (isView(node)) {
        if (node.value("visible", false)) out.push_back(viewOf(node, floating));
        return;
    }
    // A workspace's floating views lie above its tiled ones.
    for (const json* k : byFocus(node, "floating_nodes"))
        collect(*k, true, out);
    for (const json* k : byFocus(node, "nodes"))
        collect(*k, floating, out);
}

const json* findFocused(const json& node) {
    if (node.value("focused", false)) return &node;
    for (const char* kind : {"floating_nodes", "nodes"}) {
        auto kids = node.find(kind);
        if (kids == node.end() || !kids->is_array()) continue;
        for (const json& k : *kids)
            if (k.is_object())
                if (const json* f = findFocused(k)) return f;
    }
    return nullptr;
}

bool floatingAt(const json& root, unsigned long id) {
    bool found = false;
    auto walk = [&](auto& self, const json& node, bool floating) -> void {
        if (found || !node.is_object()) return;
        if (node.value("id", 0ul) == id && floating) found = true;
        for (const char* kind : {"floating_nodes", "nodes"})
            if (auto kids = node.find(kind); kids != node.end() && kids->is_array())
                for (const json& k : *kids)
                    self(self, k, floating || std::string_view(kind) == "floating_nodes");
    };
    walk(walk, root, false);
    return found;
}

} // namespace

std::vector<View> visibleViews(const json& tree) {
    std::vector<View> out;
    try {
        if (tree.is_object()) collect(tree, false, out);
    } catch (const json::exception&) {
        out.clear();
    }
    return out;
}

std::optional<View> focusedView(const json& tree) {
    if (!tree.is_object()) return std::nullopt;
    try {
        const json* f = findFocused(tree);
        if (!f || !isView(*f)) return std::nullopt;
        return viewOf(*f, floatingAt(tree, f->value("id", 0ul)));
    } catch (const json::exception&) {
        return std::nullopt;
    }
}

std::vector<Output> activeOutputs(const json& outputs) {
    std::vector<Output> out;
    if (!outputs.is_array()) return out;
    try {
        for (const json& o : outputs)
            if (o.is_object() && o.value("active", false) && o.contains("rect"))
                out.push_back({text(o, "name"), rect(o, "rect"), o.value("focused", false)});
    } catch (const json::exception&) {
        out.clear();
    }
    return out;
}

} // namespace swaytree
