#pragma once
// What the accessibility backend's end-to-end tests share: the main loop, a child program with
// line commands, xdotool, and reads of the tree.
#include "platform/ax.h"
#include "platform/linux/shared/ax_mirror.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace harness {

using namespace std::chrono_literals;

// Runs the main loop until done() holds or the time is up.
inline bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        if (done()) return true;
        g_usleep(10000);
    }
    return done();
}

inline void pumpFor(std::chrono::milliseconds span) {
    pumpUntil([] { return false; }, span);
}

struct TestApp {
    GPid pid = 0;
    int in = -1, out = -1, err = -1;
    std::string buffered;

    explicit TestApp(const std::string& name, int rows = 10)
        : TestApp({"/usr/bin/python3", std::getenv("ATSPI_TEST_APP"), name, std::to_string(rows)}) {
    }
    explicit TestApp(const std::vector<std::string>& args) {
        std::vector<const char*> argv;
        for (auto& a : args)
            argv.push_back(a.c_str());
        argv.push_back(nullptr);
        g_spawn_async_with_pipes(nullptr, const_cast<char**>(argv.data()), nullptr,
                                 G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &pid, &in, &out, &err,
                                 nullptr);
    }
    ~TestApp() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        close(in);
        close(out);
        close(err);
    }
    // The next line the app prints, within the time.
    std::string line(std::chrono::milliseconds limit = 10000ms) {
        std::string got;
        pumpUntil(
            [&] {
                auto nl = buffered.find('\n');
                if (nl != std::string::npos) {
                    got = buffered.substr(0, nl);
                    buffered.erase(0, nl + 1);
                    return true;
                }
                pollfd p{out, POLLIN, 0};
                if (poll(&p, 1, 0) > 0) {
                    char buf[512];
                    ssize_t n = read(out, buf, sizeof buf);
                    if (n > 0) buffered.append(buf, n);
                }
                return false;
            },
            limit);
        return got;
    }
    // What the program wrote on its standard error so far (passed on to ours as well).
    std::string errors() {
        pollfd p{err, POLLIN, 0};
        char buf[4096];
        while (poll(&p, 1, 0) > 0) {
            ssize_t n = read(err, buf, sizeof buf);
            if (n <= 0) break;
            stderrSeen.append(buf, n);
            std::fwrite(buf, 1, n, stderr);
        }
        return stderrSeen;
    }
    std::string stderrSeen;
    void send(const std::string& command, std::chrono::milliseconds limit = 10000ms) {
        std::string l = command + "\n";
        ASSERT_EQ(write(in, l.data(), l.size()), ssize_t(l.size()));
        EXPECT_EQ(line(limit), "ok");
    }
};

inline void xdo(const std::string& args) {
    std::string cmd = "xdotool " + args;
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
}

inline std::string str(const ax::ElementRef& e, std::string_view name) {
    auto v = ax::copyAttribute(e, name);
    if (!v) return "<absent>";
    if (auto s = std::get_if<std::string>(&*v)) return *s;
    return "<other>";
}

inline std::vector<ax::ElementRef> children(const ax::ElementRef& e) {
    auto v = ax::copyAttribute(e, "AXChildren");
    if (!v) return {};
    if (auto c = std::get_if<std::vector<ax::ElementRef>>(&*v)) return *c;
    return {};
}

inline ax::ElementRef find(const ax::ElementRef& from, const std::string& role,
                           const std::string& title, int depth = 0) {
    if (depth > 30 || !from) return nullptr;
    if (str(from, "AXRole") == role && (title.empty() || str(from, "AXTitle") == title))
        return from;
    for (auto& c : children(from))
        if (auto f = find(c, role, title, depth + 1)) return f;
    return nullptr;
}

// Role, subrole, labels and value of every element, one line each.
inline void dump(const ax::ElementRef& e, std::string& out, int depth = 0) {
    if (depth > 40) return;
    out += std::string(depth, ' ') + str(e, "AXRole") + "|" + str(e, "AXSubrole") + "|" +
           str(e, "AXTitle") + "|" + str(e, "AXDescription") + "|" + str(e, "AXValue") + "|" +
           str(e, "AXPlaceholderValue") + "|" + str(e, "AXHelp") + "|";
    auto enabled = ax::copyAttribute(e, "AXEnabled");
    out += enabled ? (std::get<bool>(*enabled) ? "enabled|" : "disabled|") : "|";
    auto t = ax::copyAttribute(e, "AXTitleUIElement");
    if (t) {
        if (auto te = std::get_if<ax::ElementRef>(&*t)) out += str(*te, "AXValue");
    }
    out += "\n";
    for (auto& c : children(e))
        dump(c, out, depth + 1);
}

} // namespace harness

namespace harness {

inline std::pair<double, double> centre(const ax::ElementRef& e) {
    auto p = ax::copyAttribute(e, "AXPosition");
    auto s = ax::copyAttribute(e, "AXSize");
    if (!p || !s) return {-1, -1};
    auto pt = std::get<ax::Point>(*p);
    auto sz = std::get<ax::Size>(*s);
    return {pt.x + sz.w / 2, pt.y + sz.h / 2};
}

inline void clickOn(const ax::ElementRef& e) {
    auto [x, y] = centre(e);
    xdo("mousemove " + std::to_string(int(x)) + " " + std::to_string(int(y)) +
        " sleep 0.1 click 1");
}

// The first element of a role, breadth first within a depth, as the watcher looks for a web area.
inline ax::ElementRef findRole(const ax::ElementRef& from, const std::string& role,
                               int depth = 12) {
    std::vector<ax::ElementRef> level{from};
    for (int d = 0; d <= depth && !level.empty(); ++d) {
        std::vector<ax::ElementRef> next;
        for (auto& e : level) {
            if (str(e, "AXRole") == role) return e;
            for (auto& c : children(e))
                next.push_back(c);
        }
        level = std::move(next);
    }
    return nullptr;
}

// Waits until the mirror reads the subtree as the application tells it live; the differences
// become the failure's message.
inline bool mirrorAgrees(const std::function<ax::ElementRef()>& subtree,
                         std::chrono::milliseconds limit = 5000ms) {
    std::string live, mirrored;
    auto read = [&] {
        live.clear();
        mirrored.clear();
        ax::ElementRef e = subtree();
        axmirror::setEnabled(false);
        dump(e, live);
        axmirror::setEnabled(true);
        dump(e, mirrored);
        return !live.empty() && live == mirrored;
    };
    if (pumpUntil(read, limit)) return true;
    std::istringstream a(mirrored), b(live);
    std::string la, lb, diff;
    while (bool(std::getline(a, la)) | bool(std::getline(b, lb)))
        if (la != lb) diff += "mirror: " + la + "\nlive:   " + lb + "\n";
    ADD_FAILURE() << "mirror differs:\n" << diff;
    return false;
}

} // namespace harness
