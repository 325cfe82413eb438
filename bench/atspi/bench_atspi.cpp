// Figures for the accessibility backend, each against a baseline measured in the same run:
//  1. calls per second to one application with many in flight (GDBus), against a one-at-a-time
//     libatspi loop;
//  2. a window-text walk through the seam (limits of the real walk: depth 40, 6000 elements,
//     0.3 s) of a window of ~4,000 labels, first and later walks, against the same walk with
//     every read a round trip (the mirror switched off);
//  3. the mirror's memory per 1,000 elements;
//  4. the walks and the memory again for a Chromium page of ~2,500 elements.
#include "platform/ax.h"
#include "platform/linux/shared/atspi.h"
#include "platform/linux/shared/ax_mirror.h"

#include <atspi/atspi.h>
#include <glib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

std::string str(const ax::ElementRef& e, std::string_view name) {
    auto v = ax::copyAttribute(e, name);
    if (!v) return "";
    if (auto s = std::get_if<std::string>(&*v)) return *s;
    return "";
}

std::string labelOf(const ax::ElementRef& e) {
    for (const char* a : {"AXTitle", "AXDescription", "AXPlaceholderValue"})
        if (auto s = str(e, a); !s.empty()) return s;
    if (auto t = ax::copyAttribute(e, "AXTitleUIElement"))
        if (auto te = std::get_if<ax::ElementRef>(&*t)) {
            auto v = ax::copyAttribute(*te, "AXValue");
            if (v) return std::get_if<std::string>(&*v) ? std::get<std::string>(*v) : "";
            if (auto s = str(*te, "AXTitle"); !s.empty()) return s;
        }
    return str(e, "AXHelp");
}

struct Walk {
    Clock::time_point deadline;
    int count = 0;
    bool partial = false;
    std::set<std::string> texts;
};

const std::set<std::string> textRoles = {"AXStaticText", "AXTextField", "AXTextArea",
                                         "AXCell",       "AXHeading",   "AXLink"};

void walk(const ax::ElementRef& e, int depth, Walk& w) {
    if (depth > 40 || w.count >= 6000 || Clock::now() > w.deadline) {
        w.partial = true;
        return;
    }
    ++w.count;
    std::string role = str(e, "AXRole");
    labelOf(e);
    str(e, "AXSubrole");
    if (textRoles.count(role)) {
        std::string piece = str(e, "AXValue");
        if (piece.empty()) piece = str(e, "AXTitle");
        if (piece.empty()) piece = str(e, "AXDescription");
        if (!piece.empty()) w.texts.insert(piece);
    }
    auto kids = ax::copyAttribute(e, "AXChildren");
    if (!kids) return;
    for (auto& c : std::get<std::vector<ax::ElementRef>>(*kids)) {
        if (Clock::now() > w.deadline) {
            w.partial = true;
            return;
        }
        walk(c, depth + 1, w);
    }
}

long residentKiB() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Walks the window as the watcher does and counts which of the expected pieces it read.
void report(const char* what, const ax::ElementRef& window, const std::set<std::string>& expected,
            int deadlineMs = 300) {
    Walk w;
    auto start = Clock::now();
    w.deadline = start + std::chrono::milliseconds(deadlineMs);
    walk(window, 0, w);
    double took = seconds(start);
    size_t found = 0;
    for (auto& e : expected)
        found += w.texts.count(e);
    std::printf("%-28s %7.1f ms %6d elements %9.0f elements/s  pieces %zu/%zu  %s\n", what,
                took * 1000, w.count, w.count / took, found, expected.size(),
                w.partial || found < expected.size() ? "partial" : "complete");
}

std::set<std::string> gridLabels(int rows) {
    std::set<std::string> out;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < 20; ++c)
            out.insert("r" + std::to_string(r) + "c" + std::to_string(c));
    return out;
}

// Waits until the mirror holds every piece of every node it knows.
axmirror::Stats settled(const std::string& bus, int limitMs) {
    axmirror::Stats s;
    for (int waited = 0; waited < limitMs; waited += 20) {
        s = axmirror::stats(bus);
        if (s.nodes > 0 && s.pending == 0 && s.complete == s.nodes) break;
        g_usleep(20000);
    }
    return s;
}

size_t countElements(const ax::ElementRef& e, int depth = 0) {
    if (depth > 40) return 0;
    size_t n = 1;
    if (auto kids = ax::copyAttribute(e, "AXChildren"))
        for (auto& c : std::get<std::vector<ax::ElementRef>>(*kids))
            n += countElements(c, depth + 1);
    return n;
}

// A page of ROWS rows (a heading, a paragraph of three pieces, a link, a button) in Chromium:
// the naive walk, then the mirror's first and later walks, and a walk after the page changed.
int browserFigures(const char* browserScript, const char* pages, int rows) {
    std::string path = "/big.html?rows=" + std::to_string(rows);
    const char* argv[] = {"/usr/bin/python3", browserScript, pages, path.c_str(), nullptr};
    GPid helper = 0;
    int in = -1, out = -1;
    GError* error = nullptr;
    if (!g_spawn_async_with_pipes(nullptr, const_cast<char**>(argv), nullptr,
                                  G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &helper, &in, &out,
                                  nullptr, &error)) {
        std::fprintf(stderr, "cannot start the browser: %s\n", error->message);
        return 1;
    }
    auto finish = [&](int rc) {
        close(in); // the helper stops the browser and waits for it
        waitpid(helper, nullptr, 0);
        close(out);
        return rc;
    };
    char buf[128] = {};
    if (read(out, buf, sizeof buf - 1) <= 0) return finish(1);
    int port = 0, pid = 0;
    if (std::sscanf(buf, "ready %d %d", &port, &pid) != 2) return finish(1);
    ax::ElementRef app, window;
    for (int i = 0; i < 400 && !window; ++i) {
        app = ax::applicationElement(pid);
        ax::setAttribute(app, "AXEnhancedUserInterface", true);
        if (auto w = ax::copyAttribute(app, "AXFocusedWindow")) {
            auto candidate = std::get<ax::ElementRef>(*w);
            if (str(candidate, "AXTitle").starts_with("Big page")) window = candidate;
        }
        if (!window) g_usleep(50000);
    }
    if (!window) {
        std::fprintf(stderr, "the page did not appear\n");
        return finish(1);
    }
    std::set<std::string> expected;
    for (int r = 0; r < rows; ++r) {
        expected.insert("row " + std::to_string(r));
        expected.insert("bold r" + std::to_string(r) + "b");
        expected.insert("link r" + std::to_string(r));
    }
    // The page's last row is there once its text is.
    for (int i = 0; i < 200; ++i) {
        Walk w;
        w.deadline = Clock::now() + std::chrono::seconds(20);
        walk(window, 0, w);
        if (w.texts.count("link r" + std::to_string(rows - 1))) break;
        g_usleep(100000);
    }
    axmirror::setEnabled(false);
    std::printf("\nChromium page of %d rows: %zu elements in the window\n", rows,
                countElements(window));
    report("naive walk (round trips)", window, expected);
    report("naive walk, no deadline", window, expected, 600000);
    axmirror::setEnabled(true);
    long before = residentKiB();
    auto building = Clock::now();
    auto observer = ax::createObserver(pid, [](const ax::ElementRef&, const std::string&) {});
    report("first walk (mirror building)", window, expected);
    axmirror::Stats s = settled(window->bus, 30000);
    double built = seconds(building);
    long after = residentKiB();
    std::printf("mirror built in %.0f ms: %zu nodes, %zu complete\n", built * 1000, s.nodes,
                s.complete);
    for (int i = 2; i <= 4; ++i)
        report(("walk " + std::to_string(i) + " (mirror)").c_str(), window, expected);
    std::printf("mirror memory per 1,000 elements: %.1f KiB counted, %.1f KiB resident growth\n",
                double(s.bytes) / 1024 / (s.nodes / 1000.0),
                double(after - before) / (s.nodes / 1000.0));
    ax::detachObserver(observer);
    axmirror::forget(window->bus);
    g_usleep(100000);
    axmirror::setCacheUse(false);
    building = Clock::now();
    observer = ax::createObserver(pid, [](const ax::ElementRef&, const std::string&) {});
    report("first walk (no Cache)", window, expected);
    s = settled(window->bus, 60000);
    std::printf("mirror built object by object in %.0f ms: %zu nodes, %zu complete\n",
                seconds(building) * 1000, s.nodes, s.complete);
    report("walk 2 (mirror, no Cache)", window, expected);
    ax::detachObserver(observer);
    axmirror::setCacheUse(true);
    return finish(0);
}

} // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const char* script = std::getenv("ATSPI_BENCH_APP");
    int rows = std::atoi(std::getenv("ATSPI_BENCH_ROWS") ? std::getenv("ATSPI_BENCH_ROWS") : "200");
    if (!script) {
        std::fprintf(stderr, "run through bench/atspi/run.sh\n");
        return 64;
    }
    std::string r = std::to_string(rows);
    const char* argv[] = {"/usr/bin/python3", script, "benchapp", r.c_str(), nullptr};
    GPid pid = 0;
    int in = -1, out = -1; // the app quits when its standard input ends: held open to the end
    GError* error = nullptr;
    if (!g_spawn_async_with_pipes(nullptr, const_cast<char**>(argv), nullptr,
                                  G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &pid, &in, &out,
                                  nullptr, &error)) {
        std::fprintf(stderr, "cannot start the test window: %s\n", error->message);
        return 1;
    }
    char buf[64] = {};
    if (read(out, buf, sizeof buf - 1) <= 0) {
        std::fprintf(stderr, "the test window did not start\n");
        return 1;
    }

    ax::ElementRef app, window;
    for (int i = 0; i < 200 && !window; ++i) {
        app = ax::applicationElement(pid);
        if (auto w = ax::copyAttribute(app, "AXFocusedWindow"))
            window = std::get<ax::ElementRef>(*w);
        if (!window) g_usleep(50000);
    }
    if (!window) {
        std::fprintf(stderr, "the test window did not appear\n");
        return 1;
    }
    std::printf("window of %d labels (rows of 20)\n\n", rows * 20);

    // 1. Calls per second: GetRole of the window, many in flight against one at a time.
    {
        const int n = 4000;
        std::string bus = window->bus, path = window->path;
        GMainContext* ctx = g_main_context_new();
        g_main_context_push_thread_default(ctx);
        std::atomic<int> left{n};
        auto start = Clock::now();
        for (int i = 0; i < n; ++i)
            atspi::callAsync(bus, path, "org.a11y.atspi.Accessible", "GetRole", nullptr, "(u)",
                             5000, [&](atspi::Variant) { --left; });
        while (left > 0)
            g_main_context_iteration(ctx, TRUE);
        double inFlight = n / seconds(start);
        g_main_context_pop_thread_default(ctx);
        g_main_context_unref(ctx);

        atspi_init();
        AtspiAccessible* desktop = atspi_get_desktop(0);
        AtspiAccessible* target = nullptr;
        for (int i = 0; i < atspi_accessible_get_child_count(desktop, nullptr) && !target; ++i) {
            AtspiAccessible* a = atspi_accessible_get_child_at_index(desktop, i, nullptr);
            if (a && int(atspi_accessible_get_process_id(a, nullptr)) == pid)
                target = atspi_accessible_get_child_at_index(a, 0, nullptr);
            else if (a)
                g_object_unref(a);
        }
        double oneByOne = 0;
        if (target) {
            start = Clock::now();
            for (int i = 0; i < n / 4; ++i) {
                atspi_accessible_clear_cache(target);
                atspi_accessible_get_role(target, nullptr);
            }
            oneByOne = (n / 4) / seconds(start);
        }
        std::printf("calls/s, many in flight (GDBus)  %8.0f\n", inFlight);
        std::printf("calls/s, one at a time (libatspi) %8.0f\n", oneByOne);
        std::printf("ratio                             %8.1fx\n\n",
                    oneByOne ? inFlight / oneByOne : 0);
    }

    // 2. Walks: round trips only, then the mirror's first and later walks.
    axmirror::setEnabled(false);
    report("naive walk (round trips)", window, gridLabels(rows));
    axmirror::setEnabled(true);

    long before = residentKiB();
    auto building = Clock::now();
    auto observer = ax::createObserver(pid, [](const ax::ElementRef&, const std::string&) {});
    report("first walk (mirror building)", window, gridLabels(rows));
    axmirror::Stats s;
    for (int i = 0; i < 600; ++i) {
        s = axmirror::stats(window->bus);
        if (s.nodes > 0 && s.pending == 0 && s.complete == s.nodes) break;
        g_usleep(20000);
    }
    double built = seconds(building);
    long after = residentKiB();
    std::printf("mirror built in %.0f ms: %zu nodes, %zu complete\n", built * 1000, s.nodes,
                s.complete);
    for (int i = 2; i <= 4; ++i)
        report(("walk " + std::to_string(i) + " (mirror)").c_str(), window, gridLabels(rows));
    std::printf("\nmirror memory per 1,000 elements: %.1f KiB counted (nodes and their strings), "
                "%.1f KiB growth of the resident set while building (an upper bound)\n",
                double(s.bytes) / 1024 / (s.nodes / 1000.0),
                double(after - before) / (s.nodes / 1000.0));
    ax::detachObserver(observer);

    // 4. Focus change in the app to the observer's callback on the main thread.
    {
        std::vector<double> ms;
        Clock::time_point arrived{};
        auto focusObserver = ax::createObserver(
            pid, [&](const ax::ElementRef&, const std::string&) { arrived = Clock::now(); });
        ax::addNotification(focusObserver, app, "AXFocusedUIElementChanged");
        ax::attachObserver(focusObserver);
        std::string pending;
        for (int i = 0; i < 101; ++i) {
            // Late notifications of the previous change are let through first.
            for (auto settle = Clock::now(); seconds(settle) < 0.05;)
                g_main_context_iteration(nullptr, FALSE);
            arrived = {};
            if (write(in, "focus\n", 6) != 6) break;
            auto start = Clock::now();
            while (arrived == Clock::time_point{} && seconds(start) < 2)
                g_main_context_iteration(nullptr, FALSE);
            std::string line;
            char c;
            while (read(out, &c, 1) == 1 && c != '\n')
                line += c;
            if (arrived == Clock::time_point{} || line.size() < 4) continue;
            auto sent = std::chrono::nanoseconds(std::stoll(line.substr(3)));
            double d = std::chrono::duration<double, std::milli>(arrived.time_since_epoch() - sent)
                           .count();
            if (i > 0) ms.push_back(d); // the first warms up
        }
        std::sort(ms.begin(), ms.end());
        if (!ms.empty())
            std::printf("focus change to callback: p50 %.1f ms, p99 %.1f ms (%zu changes)\n",
                        ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 99 / 100)],
                        ms.size());
        ax::detachObserver(focusObserver);
    }

    // The same tree built object by object, as for a toolkit without the Cache.
    axmirror::forget(window->bus);
    axmirror::setCacheUse(false);
    g_usleep(100000);
    building = Clock::now();
    observer = ax::createObserver(pid, [](const ax::ElementRef&, const std::string&) {});
    for (int i = 0; i < 1500; ++i) {
        s = axmirror::stats(window->bus);
        if (s.nodes > 0 && s.pending == 0 && s.complete == s.nodes) break;
        g_usleep(20000);
    }
    std::printf("mirror built object by object in %.0f ms: %zu nodes, %zu complete\n",
                seconds(building) * 1000, s.nodes, s.complete);
    report("walk (mirror, no Cache)", window, gridLabels(rows));
    ax::detachObserver(observer);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    close(in);
    close(out);
    axmirror::setCacheUse(true);
    int pageRows = std::atoi(
        std::getenv("ATSPI_BENCH_PAGE_ROWS") ? std::getenv("ATSPI_BENCH_PAGE_ROWS") : "0");
    if (pageRows > 0)
        return browserFigures(std::getenv("ATSPI_BENCH_BROWSER"), std::getenv("ATSPI_BENCH_PAGES"),
                              pageRows);
    return 0;
}
