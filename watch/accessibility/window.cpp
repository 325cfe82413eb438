#include "watch/accessibility/window.h"
#include "watch/accessibility/observe.h"
#include "watch/accessibility/walk.h"
#include "watch/core/emit.h"
#include "watch/core/state.h"
#include "watch/frames/capture.h"
#include "watch/input/describe.h"

#include <glib.h>
#include <memory>
#include <unicode/unistr.h>

loop::TimerRef windowTimer;
loop::TimerRef walkTimer;
RecentMap<std::string> lastTextHash(rememberedWindows);
RecentMap<double> lastWalkAt(rememberedWindows);
std::function<void(const std::string&, double)> frameAsked;

namespace {

using Hosts = std::shared_ptr<const std::vector<std::string>>;

// What one window read found, on its way from the accessibility queue to the main thread.
struct WindowRead {
    ax::ElementRef window;
    ax::ElementRef app;
    bool isPrivate = false;
    std::string page;
    std::string title;
    std::string why;
    Hosts hosts; // the skip list the read judged by
};

std::string lowerCase(const std::string& text) {
    std::string out;
    icu::UnicodeString::fromUTF8(text).toLower().toUTF8String(out);
    return out;
}

bool privateTitle(const std::string& title) {
    std::string lower = lowerCase(title);
    return lower.find("incognito") != std::string::npos ||
           lower.find("private browsing") != std::string::npos ||
           lower.find("inprivate") != std::string::npos || lower.ends_with("(private)");
}

std::string windowPage(const ax::ElementRef& window) {
    std::optional<std::string> address;
    int budget = 400;
    if (ax::ElementRef web = findRole(window, 0, budget)) address = str(web, "AXURL");
    if (!address || address->empty()) address = str(window, "AXDocument");
    if (!address || address->empty()) return "";
    return pageText(*address);
}

void decide(WindowRead read);

// The read itself, on the accessibility queue.
void readWindowNow(std::string why, ax::ElementRef app, Hosts hosts) {
    WindowRead read;
    if (auto focused = ax::copyAttribute(app, "AXFocusedWindow"))
        if (auto* window = std::get_if<ax::ElementRef>(&*focused)) read.window = *window;
    read.title = read.window ? clip(str(read.window, "AXTitle"), 300) : std::string();
    read.page = read.window ? windowPage(read.window) : std::string();
    read.isPrivate = privateTitle(read.title) || privateHost(read.page, *hosts);
    read.app = std::move(app);
    read.why = std::move(why);
    read.hosts = std::move(hosts);
    loop::onMain([read = std::move(read)]() mutable { decide(std::move(read)); });
}

// The read's outcome, on the main thread: privacy, "window", "page", frames and the walk.
void decide(WindowRead read) {
    if (paused.load()) return;
    // Read from an application that has left the front since: its title would be reported as
    // the new one's. The new application's own read follows.
    if (!ax::sameElement(read.app, observedApp)) return;
    if (!read.window) lookForLateJoiner();
    bool wasPrivate = currentPrivate;
    if (read.isPrivate) {
        if (!wasPrivate)
            emit({{"kind", "private"},
                  {"why", privateHost(read.page, *read.hosts) ? "site" : "window"}});
        currentPrivate = true;
        currentWindow.clear();
        currentUrl.clear();
        return;
    }
    currentPrivate = skippedBundle(currentBundle);
    if (currentPrivate) return;

    bool sameTitle = read.title == currentWindow;
    bool samePage = read.page == currentUrl;
    currentWindow = read.title;
    currentUrl = read.page;
    if (wasPrivate || !sameTitle) {
        emitWith("window", {{"why", read.why}});
        askFrame("window", 0.7);
    }
    if (!samePage && !read.page.empty()) {
        emitWith("page");
        askFrame("page", 1.0);
    }

    std::string key = std::to_string(observedPid) + ":" + read.title + ":" + read.page;
    double now = loop::now();
    if (!wasPrivate && sameTitle && samePage && read.window &&
        now - lastWalkAt.find(key).value_or(0) < 3.0) {
        // Walked moments ago: once more when the reads calm down.
        read.window.reset();
        if (walkTimer) loop::cancel(walkTimer);
        walkTimer = loop::oneShot(3.0, [] { readWindow("later"); });
    }
    if (read.window) {
        lastWalkAt.put(key, now);
        loop::async(axQueue, [window = std::move(read.window), pid = observedPid,
                              key = std::move(key)]() mutable {
            walkWindow(std::move(window), pid, std::move(key));
        });
    }
}

} // namespace

void askFrame(const std::string& why, double delay) {
    if (frameAsked) frameAsked(why, delay);
    frameSoon(why, delay);
}

void resetWindowMemory() {
    lastTextHash.clear();
    lastWalkAt.clear();
}

bool skippedBundle(const std::string& bundle) {
    if (bundle.empty()) return false;
    for (const std::string& entry : skipBundles) {
        if (!entry.empty() && entry.back() == '*') {
            std::string_view prefix(entry.data(), entry.size() - 1);
            if (prefix.empty() || bundle.starts_with(prefix)) return true;
        } else if (bundle == entry) {
            return true;
        }
    }
    return false;
}

bool privateHost(std::string_view page, const std::vector<std::string>& hosts) {
    if (page.empty()) return false;
    std::string host = lowerCase(std::string(page.substr(0, page.find('/'))));
    for (const std::string& entry : hosts) {
        std::string lower = lowerCase(entry);
        if (host == lower || host.ends_with("." + lower)) return true;
    }
    return false;
}

std::string pageText(const std::string& address) {
    GUri* uri = g_uri_parse(address.c_str(), G_URI_FLAGS_NONE, nullptr);
    if (!uri) return "";
    std::string scheme = g_uri_get_scheme(uri) ? g_uri_get_scheme(uri) : "";
    std::string host = g_uri_get_host(uri) ? g_uri_get_host(uri) : "";
    std::string path = g_uri_get_path(uri) ? g_uri_get_path(uri) : "";
    g_uri_unref(uri);
    if (scheme == "file") {
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        std::string name = path.substr(path.rfind('/') + 1);
        return "file:" + name;
    }
    if (!host.empty()) return host + (path.empty() ? "/" : path);
    return "";
}

ax::ElementRef findRole(const ax::ElementRef& element, int depth, int& budget) {
    if (!element || depth >= 13 || budget <= 0) return nullptr;
    --budget;
    if (str(element, "AXRole") == "AXWebArea") return element;
    if (auto children = attr(element, "AXChildren"))
        if (auto* list = std::get_if<std::vector<ax::ElementRef>>(&*children))
            for (const ax::ElementRef& child : *list)
                if (ax::ElementRef found = findRole(child, depth + 1, budget)) return found;
    return nullptr;
}

void readWindow(const std::string& why) {
    if (!observedApp || paused.load()) return;
    if (windowTimer) loop::cancel(windowTimer);
    windowTimer = loop::oneShot(0.3, [why] {
        if (!observedApp || paused.load()) return;
        // The read judges by the skip list of this moment, whole, whatever "config" does meanwhile.
        auto hosts = std::make_shared<const std::vector<std::string>>(skipHosts);
        loop::async(axQueue, [why, app = observedApp, hosts = std::move(hosts)]() mutable {
            readWindowNow(std::move(why), std::move(app), std::move(hosts));
        });
    });
}
