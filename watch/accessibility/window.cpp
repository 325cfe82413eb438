#include "watch/accessibility/window.h"
#include "platform/workspace.h"
#include "watch/accessibility/observe.h"
#include "watch/accessibility/walk.h"
#include "watch/core/emit.h"
#include "watch/core/state.h"
#include "watch/frames/capture.h"
#include "watch/input/describe.h"
#include "watch/input/keys.h"

#include <atomic>
#include <glib.h>
#include <memory>
#include <mutex>
#include <unicode/unistr.h>

loop::TimerRef windowTimer;
loop::TimerRef walkTimer;
RecentMap<std::string> lastTextHash(rememberedWindows);
RecentMap<double> lastWalkAt(rememberedWindows);
std::function<void(const std::string&, double)> frameAsked;

namespace {

std::string lowerCase(const std::string& text) {
    std::string out;
    icu::UnicodeString::fromUTF8(text).toLower().toUTF8String(out);
    return out;
}

// "bank.example." names the same host as "bank.example".
std::string withoutTrailingDots(std::string host) {
    while (!host.empty() && host.back() == '.')
        host.pop_back();
    return host;
}

bool privateTitle(const std::string& title) {
    std::string lower = lowerCase(title);
    return lower.find("incognito") != std::string::npos ||
           lower.find("private browsing") != std::string::npos ||
           lower.find("inprivate") != std::string::npos || lower.ends_with("(private)");
}

std::optional<std::string> windowPage(const ax::ElementRef& window) {
    std::optional<std::string> address;
    int budget = 400;
    if (ax::ElementRef web = findRole(window, 0, budget)) address = str(web, "AXURL");
    if (!address || address->empty()) address = str(window, "AXDocument");
    if (!address || address->empty()) return "";
    return pageOf(*address);
}

// A failed read is asked again a few times, a quarter second apart, before the window settles
// as private; a settled doubt is read again every few seconds.
constexpr int quickRetries = 4;
int retriesLeft = quickRetries;
loop::TimerRef retryTimer;
// A decision read is queued and hasn't started: further changes ride on it.
std::atomic<bool> decisionQueued{false};
std::mutex decisionMutex;
ax::ElementRef decisionApp;
Hosts decisionHosts;
std::string decisionWhy;

void decided(WindowRead read, const ax::ElementRef& app, const std::string& why,
             std::uint64_t epoch);

void queueRead(const std::string& why, bool decision) {
    if (!observedApp || paused.load()) return;
    if (decision) {
        // A decision already queued reads what is in front when it starts: the application
        // may have changed since it was queued.
        {
            std::lock_guard lock(decisionMutex);
            decisionApp = observedApp;
            decisionHosts = hostsNow();
            decisionWhy = why;
        }
        if (decisionQueued.exchange(true)) return;
    }
    loop::async(axQueue, [why = std::string(why), decision, app = observedApp, hosts = hostsNow(),
                          mainEpoch = windowEpoch.load()]() mutable {
        // A decision judges every change noticed before it starts.
        if (decision) {
            std::lock_guard lock(decisionMutex);
            decisionQueued = false;
            app = decisionApp;
            hosts = decisionHosts;
            why = decisionWhy;
        }
        std::uint64_t epoch = decision ? windowEpoch.load() : mainEpoch;
        WindowRead read = readFrontWindow(app, hosts);
        loop::onMain([read = std::move(read), app = std::move(app), why, epoch]() mutable {
            decided(std::move(read), app, why, epoch);
        });
    });
}

// The read's outcome, on the main thread.
void decided(WindowRead read, const ax::ElementRef& app, const std::string& why,
             std::uint64_t epoch) {
    if (paused.load()) return;
    // Read from an application that has left the front since: its title would be reported as
    // the new one's. The new application's own read follows.
    if (!ax::sameElement(app, observedApp)) return;
    // The window changed again while this was read: the read of that change decides.
    if (epoch != windowEpoch) return;
    // An application that has quit shows nothing any more, and nothing more is said of it: the
    // next one in front is observed.
    if (read.failed && !workspace::runningApplication(observedPid)) {
        windowUndecided = false;
        currentPrivate = true;
        doubtNow();
        releaseHeld(false);
        return;
    }
    if (read.failed) {
        if (!windowUndecided) {
            windowUndecided = true;
            doubtNow();
        }
        if (retriesLeft > 0) {
            --retriesLeft;
            if (retryTimer) loop::cancel(retryTimer);
            retryTimer = loop::oneShot(0.25, [why] {
                retryTimer.reset();
                queueRead(why, true);
            });
            return;
        }
    }
    decideWindow(std::move(read), why);
}

// A lenient read of an address's host, for addresses the strict parse refuses (a bad escape in
// the query, say): what lies between "//" and the path, without user and port. nullopt when even
// that finds no host.
std::optional<std::string> lenientHost(const std::string& address) {
    std::size_t start = address.find("//");
    if (start == std::string::npos) return std::nullopt;
    start += 2;
    std::size_t end = address.find_first_of("/?#\\", start);
    std::string authority = address.substr(start, end == std::string::npos ? end : end - start);
    if (std::size_t at = authority.rfind('@'); at != std::string::npos) authority.erase(0, at + 1);
    if (!authority.empty() && authority.front() == '[') {
        std::size_t close = authority.find(']');
        if (close == std::string::npos) return std::nullopt;
        authority = authority.substr(0, close + 1);
    } else if (std::size_t colon = authority.find(':'); colon != std::string::npos) {
        authority.erase(colon);
    }
    char* decoded = g_uri_unescape_string(authority.c_str(), nullptr);
    if (!decoded) return std::nullopt;
    std::string host = withoutTrailingDots(decoded);
    g_free(decoded);
    if (host.empty() || !g_utf8_validate(host.c_str(), -1, nullptr)) return std::nullopt;
    return host;
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
    std::string host = withoutTrailingDots(lowerCase(std::string(page.substr(0, page.find('/')))));
    for (const std::string& entry : hosts) {
        std::string lower = withoutTrailingDots(lowerCase(entry));
        if (lower.empty()) continue;
        if (host == lower || host.ends_with("." + lower)) return true;
    }
    return false;
}

std::optional<std::string> pageOf(const std::string& address) {
    GUri* uri = g_uri_parse(address.c_str(), G_URI_FLAGS_NONE, nullptr);
    if (!uri) {
        // Escapes that don't decode may stay as they are; the host is still read.
        uri = g_uri_parse(address.c_str(),
                          GUriFlags(G_URI_FLAGS_PARSE_RELAXED | G_URI_FLAGS_ENCODED_PATH |
                                    G_URI_FLAGS_ENCODED_QUERY | G_URI_FLAGS_ENCODED_FRAGMENT),
                          nullptr);
    }
    if (!uri) {
        // An address with a host part whose host can't be read is in doubt; one without a host
        // part (a bare path, "about:blank") has no page.
        if (address.find("//") == std::string::npos) return "";
        auto host = lenientHost(address);
        if (!host) return std::nullopt;
        return *host + "/";
    }
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
    host = withoutTrailingDots(host);
    if (!host.empty()) return host + (path.empty() ? "/" : path);
    // "http:///x", "https://:80/": a host part that names no host.
    if (address.find("://") != std::string::npos && scheme != "file") return std::nullopt;
    return "";
}

std::string pageText(const std::string& address) {
    return pageOf(address).value_or("");
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

Hosts hostsNow() {
    return std::make_shared<const std::vector<std::string>>(skipHosts);
}

WindowRead readFrontWindow(const ax::ElementRef& app, const Hosts& hosts) {
    WindowRead read;
    read.app = app;
    unsigned long before = ax::unansweredRequests();
    if (auto focused = ax::copyAttribute(app, "AXFocusedWindow"))
        if (auto* window = std::get_if<ax::ElementRef>(&*focused)) read.window = *window;
    if (read.window) {
        read.title = clip(str(read.window, "AXTitle"), 300);
        if (auto page = windowPage(read.window))
            read.page = std::move(*page);
        else
            read.site = !hosts->empty();
    }
    // A dialog in front belongs to its main window's decision: a private window's dialog is
    // private too, though its own title says nothing.
    bool ownerPrivate = false;
    if (auto main = read.window ? ax::copyAttribute(app, "AXMainWindow") : std::nullopt)
        if (auto* owner = std::get_if<ax::ElementRef>(&*main);
            owner && *owner && !ax::sameElement(*owner, read.window)) {
            auto page = windowPage(*owner);
            read.site =
                read.site || (!page && !hosts->empty()) || (page && privateHost(*page, *hosts));
            ownerPrivate = privateTitle(clip(str(*owner, "AXTitle"), 300));
        }
    read.failed = ax::unansweredRequests() != before;
    read.site = read.site || privateHost(read.page, *hosts);
    read.isPrivate = read.failed || read.site || ownerPrivate || privateTitle(read.title);
    return read;
}

void decideWindow(WindowRead read, const std::string& why) {
    if (!read.window) lookForLateJoiner();
    retriesLeft = quickRetries;
    windowUndecided = false;
    bool wasPrivate = currentPrivate;
    if (read.isPrivate) {
        if (!wasPrivate) emit({{"kind", "private"}, {"why", read.site ? "site" : "window"}});
        currentPrivate = true;
        currentWindow.clear();
        currentUrl.clear();
        doubtNow();
        releaseHeld(false);
        if (read.failed) {
            // Nothing known: asked again now and then while the window stays in front.
            if (walkTimer) loop::cancel(walkTimer);
            walkTimer = loop::oneShot(3.0, [] { readWindow("later"); });
        }
        return;
    }
    currentPrivate = skippedBundle(currentBundle);
    if (currentPrivate) {
        doubtNow();
        releaseHeld(false);
        return;
    }

    bool sameTitle = read.title == currentWindow;
    bool samePage = read.page == currentUrl;
    currentWindow = read.title;
    currentUrl = read.page;
    // Results read before this decision belong to another window.
    if (wasPrivate || !sameTitle || !samePage) ++windowEpoch;
    if (wasPrivate || !sameTitle) {
        emitWith("window", {{"why", why}});
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
        loop::async(axQueue, [window = std::move(read.window), app = observedApp,
                              hosts = hostsNow(), epoch = windowEpoch.load(), pid = observedPid,
                              key = std::move(key)]() mutable {
            walkWindow(std::move(window), std::move(app), std::move(hosts), epoch, pid,
                       std::move(key));
        });
    }
    releaseHeld(true);
}

void windowMayHaveChanged(const std::string& why, bool anotherWindow) {
    if (paused.load() || !observedApp) return;
    // Keys counted so far belong to the window that was in front (a retitled window is the same).
    if (anotherWindow) flushKeys();
    if (!windowUndecided) retriesLeft = quickRetries;
    // A window left before it was decided is a doubt, and what waits for it goes with it. So is
    // a private window left: what is noticed late (a copy) may still be its.
    if (windowUndecided && anotherWindow) {
        doubtNow();
        releaseHeld(false);
    } else if (currentPrivate) {
        doubtNow();
    } else {
        ++windowEpoch;
    }
    windowUndecided = true;
    if (windowTimer) loop::cancel(windowTimer);
    windowTimer.reset();
    queueRead(why, true);
}

void readWindow(const std::string& why) {
    if (!observedApp || paused.load()) return;
    if (windowTimer) loop::cancel(windowTimer);
    windowTimer = loop::oneShot(0.3, [why] {
        windowTimer.reset();
        // An undecided window is being read already.
        if (windowUndecided) return;
        queueRead(why, false);
    });
}
