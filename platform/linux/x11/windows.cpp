// The window list from the X server's stacking order. Each child of the root is a frame (or an
// override-redirect window such as a menu); the client inside it carries the properties.
//
// act reads the list before every step, so the requests of each stage go out together through
// XCB and cost one round trip, however many windows there are.
#include "platform/windows.h"
#include "common/utf16.h"
#include "platform/linux/x11/xdisplay.h"
#include "platform/linux/x11/xprops.h"

#include <X11/Xlib-xcb.h>
#include <cstdlib>
#include <memory>
#include <xcb/shape.h>
#include <xcb/xcb.h>

namespace windows::x11 {
namespace {

struct FreeReply {
    void operator()(void* p) const { std::free(p); }
};
template <class T> using Reply = std::unique_ptr<T, FreeReply>;

enum AtomIndex {
    WM_STATE,
    NET_WM_WINDOW_TYPE,
    NET_WM_STATE,
    NET_WM_STATE_ABOVE,
    NET_WM_WINDOW_OPACITY,
    NET_WM_NAME,
    UTF8_STRING,
    NET_CLIENT_LIST,
    TYPE_DESKTOP,
    TYPE_DOCK,
    TYPE_DND,
    TYPE_TOOLTIP,
    TYPE_NOTIFICATION,
    TYPE_MENU,
    TYPE_DROPDOWN_MENU,
    TYPE_POPUP_MENU,
    TYPE_COMBO,
    TYPE_UTILITY,
    TYPE_TOOLBAR,
    GTK_FRAME_EXTENTS,
    ATOM_COUNT
};

constexpr const char* atomNames[ATOM_COUNT] = {
    "WM_STATE",
    "_NET_WM_WINDOW_TYPE",
    "_NET_WM_STATE",
    "_NET_WM_STATE_ABOVE",
    "_NET_WM_WINDOW_OPACITY",
    "_NET_WM_NAME",
    "UTF8_STRING",
    "_NET_CLIENT_LIST",
    "_NET_WM_WINDOW_TYPE_DESKTOP",
    "_NET_WM_WINDOW_TYPE_DOCK",
    "_NET_WM_WINDOW_TYPE_DND",
    "_NET_WM_WINDOW_TYPE_TOOLTIP",
    "_NET_WM_WINDOW_TYPE_NOTIFICATION",
    "_NET_WM_WINDOW_TYPE_MENU",
    "_NET_WM_WINDOW_TYPE_DROPDOWN_MENU",
    "_NET_WM_WINDOW_TYPE_POPUP_MENU",
    "_NET_WM_WINDOW_TYPE_COMBO",
    "_NET_WM_WINDOW_TYPE_UTILITY",
    "_NET_WM_WINDOW_TYPE_TOOLBAR",
    "_GTK_FRAME_EXTENTS",
};

// Interned once per process, all in one round trip.
const xcb_atom_t* atoms(xcb_connection_t* c) {
    static xcb_atom_t table[ATOM_COUNT] = {};
    static bool done = false;
    if (done) return table;
    xcb_intern_atom_cookie_t cookies[ATOM_COUNT];
    for (int i = 0; i < ATOM_COUNT; ++i)
        cookies[i] = xcb_intern_atom(
            c, 0, static_cast<uint16_t>(std::char_traits<char>::length(atomNames[i])),
            atomNames[i]);
    for (int i = 0; i < ATOM_COUNT; ++i) {
        Reply<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(c, cookies[i], nullptr));
        table[i] = r ? r->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
    }
    done = true;
    return table;
}

xcb_get_property_cookie_t askProperty(xcb_connection_t* c, xcb_window_t w, xcb_atom_t property,
                                      xcb_atom_t type, uint32_t longs) {
    return xcb_get_property(c, 0, w, property, type, 0, longs);
}

std::vector<uint32_t> items32(xcb_connection_t* c, xcb_get_property_cookie_t cookie) {
    Reply<xcb_get_property_reply_t> r(xcb_get_property_reply(c, cookie, nullptr));
    std::vector<uint32_t> items;
    if (!r || r->format != 32) return items;
    auto* v = static_cast<uint32_t*>(xcb_get_property_value(r.get()));
    items.assign(v, v + xcb_get_property_value_length(r.get()) / 4);
    return items;
}

std::string text8(xcb_connection_t* c, xcb_get_property_cookie_t cookie) {
    Reply<xcb_get_property_reply_t> r(xcb_get_property_reply(c, cookie, nullptr));
    if (!r || r->format != 8) return "";
    return std::string(static_cast<char*>(xcb_get_property_value(r.get())),
                       static_cast<std::size_t>(xcb_get_property_value_length(r.get())));
}

bool contains(const std::vector<uint32_t>& list, xcb_atom_t a) {
    for (uint32_t item : list)
        if (item == a) return true;
    return false;
}

// The layer on the host's scale, or -1 for a desktop element.
int layerOf(const xcb_atom_t* a, const std::vector<uint32_t>& types,
            const std::vector<uint32_t>& state, bool overrideRedirect) {
    if (contains(types, a[TYPE_DESKTOP])) return -1;
    if (contains(types, a[TYPE_DOCK])) return dockLayer;
    if (contains(types, a[TYPE_DND])) return draggingLayer;
    if (contains(types, a[TYPE_TOOLTIP])) return helpLayer;
    if (contains(types, a[TYPE_NOTIFICATION])) return statusLayer;
    if (contains(types, a[TYPE_MENU]) || contains(types, a[TYPE_DROPDOWN_MENU]) ||
        contains(types, a[TYPE_POPUP_MENU]) || contains(types, a[TYPE_COMBO]))
        return popUpMenuLayer;
    if (overrideRedirect) return popUpMenuLayer;
    // Palettes kept above are the floating panels. "Always on top" on an ordinary window is the
    // person's choice and leaves it an ordinary window.
    if ((contains(types, a[TYPE_UTILITY]) || contains(types, a[TYPE_TOOLBAR])) &&
        contains(state, a[NET_WM_STATE_ABOVE]))
        return floatingLayer;
    return normalLayer;
}

struct Top {
    xcb_window_t frame = 0;
    xcb_window_t client = 0;
    bool overrideRedirect = false;
    Rect bounds;
    double originX = 0, originY = 0; // the frame's inside corner, where its shape is measured
};

// Finds the client (the window with WM_STATE) inside each frame, one tree level per round trip.
// Frames hold dozens of decoration windows, so this is the slow way; used without a client list.
void searchClients(xcb_connection_t* c, const xcb_atom_t* a, std::vector<Top*> frames) {
    struct Search {
        Top* top;
        std::vector<xcb_window_t> level;
    };
    std::vector<Search> searches;
    for (Top* t : frames)
        searches.push_back({t, {t->frame}});
    for (int depth = 0; depth < 4 && !searches.empty(); ++depth) {
        struct Asked {
            xcb_get_property_cookie_t state;
            xcb_query_tree_cookie_t tree;
        };
        std::vector<std::vector<Asked>> asked(searches.size());
        for (std::size_t s = 0; s < searches.size(); ++s)
            for (xcb_window_t w : searches[s].level)
                asked[s].push_back({askProperty(c, w, a[WM_STATE], XCB_GET_PROPERTY_TYPE_ANY, 0),
                                    xcb_query_tree(c, w)});
        std::vector<Search> next;
        for (std::size_t s = 0; s < searches.size(); ++s) {
            std::vector<xcb_window_t> below;
            for (std::size_t i = 0; i < asked[s].size(); ++i) {
                Reply<xcb_get_property_reply_t> st(
                    xcb_get_property_reply(c, asked[s][i].state, nullptr));
                Reply<xcb_query_tree_reply_t> tree(
                    xcb_query_tree_reply(c, asked[s][i].tree, nullptr));
                if (searches[s].top->client) continue;
                if (st && st->type != XCB_ATOM_NONE) {
                    searches[s].top->client = searches[s].level[i];
                } else if (tree) {
                    xcb_window_t* ch = xcb_query_tree_children(tree.get());
                    below.insert(below.end(), ch, ch + xcb_query_tree_children_length(tree.get()));
                }
            }
            if (!searches[s].top->client && !below.empty())
                next.push_back({searches[s].top, std::move(below)});
        }
        searches = std::move(next);
    }
}

// Matches the window manager's clients to the frames they sit in by walking up from each
// client, one level per round trip.
void findClients(xcb_connection_t* c, const xcb_atom_t* a, xcb_window_t root,
                 std::vector<Top>& tops) {
    std::vector<Top*> frames;
    for (Top& t : tops)
        if (!t.overrideRedirect) frames.push_back(&t);
    if (frames.empty()) return;
    std::vector<uint32_t> clients =
        items32(c, askProperty(c, root, a[NET_CLIENT_LIST], XCB_ATOM_WINDOW, 4096));
    if (clients.empty()) {
        searchClients(c, a, frames);
    } else {
        struct Climb {
            xcb_window_t client, at;
        };
        std::vector<Climb> climbs;
        for (uint32_t w : clients)
            climbs.push_back({w, w});
        for (int depth = 0; depth < 4 && !climbs.empty(); ++depth) {
            std::vector<xcb_query_tree_cookie_t> asked;
            for (const Climb& climb : climbs)
                asked.push_back(xcb_query_tree(c, climb.at));
            std::vector<Climb> next;
            for (std::size_t i = 0; i < climbs.size(); ++i) {
                Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, asked[i], nullptr));
                if (!tree) continue; // the client went away
                if (tree->parent != root) {
                    next.push_back({climbs[i].client, tree->parent});
                    continue;
                }
                for (Top* t : frames)
                    if (t->frame == climbs[i].at) t->client = climbs[i].client;
            }
            climbs = std::move(next);
        }
    }
    // A top-level window no client sits in is its own client, as without a window manager.
    for (Top* t : frames)
        if (!t->client) t->client = t->frame;
}

// ---- Input regions ----
//
// A window takes a press where the input shapes of its frame and of its client both let it
// through, and, for a window that draws its own frame, not in the shadow margins it names in
// _GTK_FRAME_EXTENTS. Decorations outside the client belong to the frame alone.

std::optional<Rect> intersect(const Rect& a, const Rect& b) {
    double x0 = std::max(a.x, b.x), y0 = std::max(a.y, b.y);
    double x1 = std::min(a.x + a.width, b.x + b.width),
           y1 = std::min(a.y + a.height, b.y + b.height);
    if (x1 <= x0 || y1 <= y0) return std::nullopt;
    return Rect{x0, y0, x1 - x0, y1 - y0};
}

std::vector<Rect> intersect(const std::vector<Rect>& a, const std::vector<Rect>& b) {
    std::vector<Rect> out;
    for (const Rect& r : a)
        for (const Rect& q : b)
            if (auto i = intersect(r, q)) out.push_back(*i);
    return out;
}

// The parts of a outside b: at most four bands.
void subtract(const Rect& a, const Rect& b, std::vector<Rect>& out) {
    auto cut = intersect(a, b);
    if (!cut) {
        out.push_back(a);
        return;
    }
    double right = a.x + a.width, bottom = a.y + a.height;
    if (cut->y > a.y) out.push_back({a.x, a.y, a.width, cut->y - a.y});
    if (cut->y + cut->height < bottom)
        out.push_back({a.x, cut->y + cut->height, a.width, bottom - cut->y - cut->height});
    if (cut->x > a.x) out.push_back({a.x, cut->y, cut->x - a.x, cut->height});
    if (cut->x + cut->width < right)
        out.push_back({cut->x + cut->width, cut->y, right - cut->x - cut->width, cut->height});
}

bool covers(const std::vector<Rect>& rects, const Rect& area) {
    for (const Rect& r : rects)
        if (r.x <= area.x && r.y <= area.y && r.x + r.width >= area.x + area.width &&
            r.y + r.height >= area.y + area.height)
            return true;
    return false;
}

bool hasShape(xcb_connection_t* c) {
    static const bool present = [c] {
        const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_shape_id);
        return ext && ext->present;
    }();
    return present;
}

// The input rectangles of a window in root coordinates; nullopt when they cannot be read.
std::optional<std::vector<Rect>>
inputRects(xcb_connection_t* c, xcb_shape_get_rectangles_cookie_t cookie, double x, double y) {
    Reply<xcb_shape_get_rectangles_reply_t> r(xcb_shape_get_rectangles_reply(c, cookie, nullptr));
    if (!r) return std::nullopt;
    std::vector<Rect> out;
    xcb_rectangle_t* rects = xcb_shape_get_rectangles_rectangles(r.get());
    for (int i = 0, n = xcb_shape_get_rectangles_rectangles_length(r.get()); i < n; ++i)
        out.push_back({x + rects[i].x, y + rects[i].y, static_cast<double>(rects[i].width),
                       static_cast<double>(rects[i].height)});
    return out;
}

struct InputAsked {
    bool asked = false;
    xcb_shape_get_rectangles_cookie_t frame{}, client{};
    xcb_translate_coordinates_cookie_t clientAt{};
    xcb_get_geometry_cookie_t clientSize{};
    xcb_get_property_cookie_t extents{};
};

InputAsked askInput(xcb_connection_t* c, const xcb_atom_t* a, xcb_window_t root, const Top& t) {
    InputAsked q;
    if (!hasShape(c)) return q;
    q.asked = true;
    q.frame = xcb_shape_get_rectangles(c, t.frame, XCB_SHAPE_SK_INPUT);
    q.client = xcb_shape_get_rectangles(c, t.client, XCB_SHAPE_SK_INPUT);
    q.clientAt = xcb_translate_coordinates(c, t.client, root, 0, 0);
    q.clientSize = xcb_get_geometry(c, t.client);
    q.extents = askProperty(c, t.client, a[GTK_FRAME_EXTENTS], XCB_ATOM_CARDINAL, 4);
    return q;
}

// nullopt: all of the bounds take input.
std::optional<std::vector<Rect>> inputRegion(xcb_connection_t* c, const Top& t,
                                             const InputAsked& q) {
    if (!q.asked) return std::nullopt;
    auto frameIn = inputRects(c, q.frame, t.originX, t.originY);
    Reply<xcb_translate_coordinates_reply_t> at(
        xcb_translate_coordinates_reply(c, q.clientAt, nullptr));
    Reply<xcb_get_geometry_reply_t> size(xcb_get_geometry_reply(c, q.clientSize, nullptr));
    std::optional<std::vector<Rect>> clientIn;
    if (at)
        clientIn = inputRects(c, q.client, at->dst_x, at->dst_y);
    else
        xcb_discard_reply(c, q.client.sequence);
    auto extents = items32(c, q.extents);
    if (!frameIn || !clientIn || !size) return std::nullopt;
    Rect clientArea{static_cast<double>(at->dst_x), static_cast<double>(at->dst_y),
                    static_cast<double>(size->width), static_cast<double>(size->height)};
    Rect content = clientArea;
    bool margins = extents.size() == 4 && (extents[0] || extents[1] || extents[2] || extents[3]);
    if (margins) {
        double left = extents[0], right = extents[1], top = extents[2], bottom = extents[3];
        content = {clientArea.x + left, clientArea.y + top,
                   std::max(0.0, clientArea.width - left - right),
                   std::max(0.0, clientArea.height - top - bottom)};
    }
    if (!margins && covers(*frameIn, t.bounds) && covers(*clientIn, clientArea))
        return std::nullopt;
    std::vector<Rect> region = intersect(intersect(*frameIn, *clientIn), {content});
    if (t.client != t.frame)
        for (const Rect& r : *frameIn)
            subtract(r, clientArea, region);
    return region;
}

} // namespace

std::optional<std::vector<Info>> onScreen() {
    Display* dpy = xlinux::display();
    if (!dpy) return std::nullopt;
    xcb_connection_t* c = XGetXCBConnection(dpy);
    const xcb_atom_t* a = atoms(c);
    xcb_window_t root = static_cast<xcb_window_t>(DefaultRootWindow(dpy));

    Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr));
    if (!tree) return std::nullopt;
    xcb_window_t* children = xcb_query_tree_children(tree.get());
    int n = xcb_query_tree_children_length(tree.get());

    std::vector<xcb_get_window_attributes_cookie_t> attributes(static_cast<std::size_t>(n));
    std::vector<xcb_get_geometry_cookie_t> geometry(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        attributes[static_cast<std::size_t>(i)] = xcb_get_window_attributes(c, children[i]);
        geometry[static_cast<std::size_t>(i)] = xcb_get_geometry(c, children[i]);
    }
    std::vector<Top> tops;
    // The tree lists bottom to top; a window that vanished meanwhile has no reply and is left out.
    for (int i = n - 1; i >= 0; --i) {
        Reply<xcb_get_window_attributes_reply_t> attr(
            xcb_get_window_attributes_reply(c, attributes[static_cast<std::size_t>(i)], nullptr));
        Reply<xcb_get_geometry_reply_t> geom(
            xcb_get_geometry_reply(c, geometry[static_cast<std::size_t>(i)], nullptr));
        if (!attr || !geom || attr->map_state != XCB_MAP_STATE_VIEWABLE ||
            attr->_class != XCB_WINDOW_CLASS_INPUT_OUTPUT)
            continue;
        double border = 2.0 * geom->border_width;
        tops.push_back({children[i], 0, attr->override_redirect != 0,
                        Rect{static_cast<double>(geom->x), static_cast<double>(geom->y),
                             geom->width + border, geom->height + border},
                        static_cast<double>(geom->x + geom->border_width),
                        static_cast<double>(geom->y + geom->border_width)});
    }
    for (Top& t : tops)
        if (t.overrideRedirect) t.client = t.frame;
    findClients(c, a, root, tops);

    struct Asked {
        xcb_get_property_cookie_t types, state, frameOpacity, clientOpacity, netName, name;
    };
    std::vector<Asked> asked;
    std::vector<InputAsked> inputs;
    for (const Top& t : tops)
        inputs.push_back(askInput(c, a, root, t));
    for (const Top& t : tops)
        asked.push_back(
            {askProperty(c, t.client, a[NET_WM_WINDOW_TYPE], XCB_ATOM_ATOM, 32),
             askProperty(c, t.client, a[NET_WM_STATE], XCB_ATOM_ATOM, 32),
             askProperty(c, t.frame, a[NET_WM_WINDOW_OPACITY], XCB_ATOM_CARDINAL, 1),
             askProperty(c, t.client, a[NET_WM_WINDOW_OPACITY], XCB_ATOM_CARDINAL, 1),
             askProperty(c, t.client, a[NET_WM_NAME], a[UTF8_STRING], 1024),
             askProperty(c, t.client, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 1024)});
    std::vector<Window> clients;
    for (const Top& t : tops)
        clients.push_back(t.client);
    std::vector<int> pids = xlinux::windowPids(dpy, clients);
    std::vector<Info> list;
    for (std::size_t i = 0; i < tops.size(); ++i) {
        const Top& t = tops[i];
        auto types = items32(c, asked[i].types);
        auto state = items32(c, asked[i].state);
        auto frameOpacity = items32(c, asked[i].frameOpacity);
        auto clientOpacity = items32(c, asked[i].clientOpacity);
        std::string netName = text8(c, asked[i].netName);
        std::string name = text8(c, asked[i].name);
        auto input = inputRegion(c, t, inputs[i]);
        int layer = layerOf(a, types, state, t.overrideRedirect);
        if (layer < 0) continue;
        Info info;
        info.number = t.client;
        info.pid = pids[i];
        info.layer = layer;
        const auto& opacity = !frameOpacity.empty() ? frameOpacity : clientOpacity;
        info.alpha = opacity.empty() ? 1.0 : opacity[0] / 4294967295.0;
        info.bounds = t.bounds;
        info.title = utf16::sanitize(!netName.empty() ? netName : name);
        info.input = std::move(input);
        list.push_back(std::move(info));
    }
    return list;
}

} // namespace windows::x11
