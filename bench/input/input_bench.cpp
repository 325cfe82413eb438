// A key press sent through XTest: how long until the watcher writes its "key_shortcut" line,
// against how long until a bare XInput2 listener (this program in "listen" mode, a process of its
// own reading raw events the same way) writes its line; then the CPU time of both while the
// person types 20 keys a second and while nobody types. Run it on a virtual desktop:
//   scripts/desktop.py run -- build/bench/input/input_bench build/watch/watch [presses] [seconds]
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int listen() {
    Display* dpy = XOpenDisplay(nullptr);
    int opcode, event, error, major = 2, minor = 2;
    if (!dpy || !XQueryExtension(dpy, "XInputExtension", &opcode, &event, &error) ||
        XIQueryVersion(dpy, &major, &minor) != Success)
        return 1;
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(bits, XI_RawKeyPress);
    XIEventMask mask{XIAllMasterDevices, sizeof bits, bits};
    XISelectEvents(dpy, DefaultRootWindow(dpy), &mask, 1);
    XSync(dpy, False);
    std::puts("ready");
    std::fflush(stdout);
    for (;;) {
        XEvent ev;
        XNextEvent(dpy, &ev);
        if (ev.xcookie.type == GenericEvent && ev.xcookie.extension == opcode &&
            XGetEventData(dpy, &ev.xcookie)) {
            std::printf("key %d\n", static_cast<XIRawEvent*>(ev.xcookie.data)->detail);
            std::fflush(stdout);
            XFreeEventData(dpy, &ev.xcookie);
        }
    }
}

struct Child {
    pid_t pid = -1;
    int in = -1, out = -1;
    std::string buffer;
};

Child spawn(const std::vector<std::string>& argv) {
    int toChild[2], fromChild[2];
    if (pipe(toChild) || pipe(fromChild)) std::exit(1);
    Child c;
    c.pid = fork();
    if (c.pid == 0) {
        dup2(toChild[0], 0);
        dup2(fromChild[1], 1);
        close(toChild[1]);
        close(fromChild[0]);
        std::vector<char*> args;
        for (auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    c.in = toChild[1];
    c.out = fromChild[0];
    return c;
}

// Waits for a line containing needle; false after the timeout.
bool waitLine(Child& c, const char* needle, int timeoutMs = 5000) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        for (std::size_t nl; (nl = c.buffer.find('\n')) != std::string::npos;) {
            std::string line = c.buffer.substr(0, nl);
            c.buffer.erase(0, nl + 1);
            if (line.find(needle) != std::string::npos) return true;
        }
        int left = int(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        pollfd fd{c.out, POLLIN, 0};
        if (poll(&fd, 1, std::max(left, 0)) <= 0) {
            if (left <= 0) return false;
            continue;
        }
        char chunk[4096];
        ssize_t n = read(c.out, chunk, sizeof chunk);
        if (n <= 0) return false;
        c.buffer.append(chunk, std::size_t(n));
    }
}

// Drops whatever the child has written so far.
void drain(Child& c) {
    char chunk[4096];
    pollfd fd{c.out, POLLIN, 0};
    while (poll(&fd, 1, 0) > 0 && read(c.out, chunk, sizeof chunk) > 0) {
    }
    c.buffer.clear();
}

double cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
    double ns = 0;
    in >> ns;
    return ns / 1e9;
}

long rssKb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string word;
    while (in >> word)
        if (word == "VmRSS:") {
            long kb = 0;
            in >> kb;
            return kb;
        }
    return 0;
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, std::size_t(p * double(v.size())))];
}

void press(Display* dpy, KeyCode modifier, KeyCode key) {
    if (modifier) XTestFakeKeyEvent(dpy, modifier, True, 0);
    XTestFakeKeyEvent(dpy, key, True, 0);
    XTestFakeKeyEvent(dpy, key, False, 0);
    if (modifier) XTestFakeKeyEvent(dpy, modifier, False, 0);
    XFlush(dpy);
}

void sendAll(Child& c, const std::string& text) {
    (void)!write(c.in, text.data(), text.size());
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "listen") == 0) return listen();
    if (argc < 2) {
        std::fprintf(stderr, "usage: input_bench WATCH [presses] [seconds]\n");
        return 2;
    }
    int presses = argc > 2 ? std::atoi(argv[2]) : 1000;
    int seconds = argc > 3 ? std::atoi(argv[3]) : 60;
    signal(SIGPIPE, SIG_IGN);

    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) return 1;
    KeyCode ctrl = XKeysymToKeycode(dpy, XK_Control_L), s = XKeysymToKeycode(dpy, XK_s),
            a = XKeysymToKeycode(dpy, XK_a);

    char self[4096];
    ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    if (len <= 0) return 1;
    self[len] = 0;
    Child bare = spawn({self, "listen"});
    Child watch = spawn({argv[1]});
    if (!waitLine(bare, "ready") || !waitLine(watch, "\"probe\"")) return 1;
    sendAll(watch, "{\"cmd\":\"config\",\"frames\":false}\n");
    waitLine(watch, "\"resumed\"");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    drain(watch);
    drain(bare);

    std::vector<double> toWatch, toBare;
    for (int i = 0; i < presses; ++i) {
        auto t0 = Clock::now();
        press(dpy, ctrl, s);
        // Both are watched at once, each timed when its own line arrives; the bare listener's
        // second line is the s (its first is the ctrl).
        Clock::time_point t1{}, t2{};
        int bareLines = 0;
        auto deadline = t0 + std::chrono::seconds(5);
        while ((bareLines < 2 || t2 == Clock::time_point{}) && Clock::now() < deadline) {
            pollfd fds[2] = {{bare.out, POLLIN, 0}, {watch.out, POLLIN, 0}};
            poll(fds, 2, 100);
            if (fds[0].revents && bareLines < 2) {
                while (bareLines < 2 && waitLine(bare, "key", 0))
                    if (++bareLines == 2) t1 = Clock::now();
            }
            if (fds[1].revents && t2 == Clock::time_point{} &&
                waitLine(watch, "\"key_shortcut\"", 0))
                t2 = Clock::now();
        }
        if (bareLines < 2 || t2 == Clock::time_point{}) {
            std::fprintf(stderr, "press %d was not seen\n", i);
            return 1;
        }
        toBare.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        toWatch.push_back(std::chrono::duration<double, std::milli>(t2 - t0).count());
        drain(bare);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::printf("XTest ctrl+s -> line on standard output, %d presses\n", presses);
    std::printf("  watch \"key_shortcut\": p50 %.2f ms  p99 %.2f ms   (goal p99 <= 5 ms)\n",
                percentile(toWatch, 0.5), percentile(toWatch, 0.99));
    std::printf("  bare XInput2 listener: p50 %.2f ms  p99 %.2f ms\n", percentile(toBare, 0.5),
                percentile(toBare, 0.99));
    std::printf("  ratio watch / bare: p50 %.2f  p99 %.2f\n",
                percentile(toWatch, 0.5) / percentile(toBare, 0.5),
                percentile(toWatch, 0.99) / percentile(toBare, 0.99));

    // Typing: 20 keys a second, read away from both pipes as it comes.
    auto measure = [&](bool typing) {
        double w0 = cpuSeconds(watch.pid), b0 = cpuSeconds(bare.pid);
        auto start = Clock::now();
        for (int tick = 0; Clock::now() - start < std::chrono::seconds(seconds); ++tick) {
            if (typing) press(dpy, 0, a);
            std::this_thread::sleep_until(start + std::chrono::milliseconds(50 * (tick + 1)));
            drain(watch);
            drain(bare);
        }
        double w = cpuSeconds(watch.pid) - w0, b = cpuSeconds(bare.pid) - b0;
        std::printf("%s for %d s: watch %.3f %% of one core, bare listener %.3f %%",
                    typing ? "typing 20 keys/s" : "no input", seconds, w / seconds * 100,
                    b / seconds * 100);
        if (b > 0) std::printf(", ratio %.1f", w / b);
        std::printf("   (goal %s)\n", typing ? "<= 1 %" : "<= 0.1 %");
    };
    measure(true);
    measure(false);
    std::printf("RSS at the end: watch %.1f MB, bare listener %.1f MB\n", rssKb(watch.pid) / 1024.0,
                rssKb(bare.pid) / 1024.0);

    sendAll(watch, "{\"cmd\":\"stop\"}\n");
    close(watch.in);
    kill(bare.pid, SIGTERM);
    waitpid(watch.pid, nullptr, 0);
    waitpid(bare.pid, nullptr, 0);
    return 0;
}
