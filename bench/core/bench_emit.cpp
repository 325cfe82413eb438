// The event stream's cost: events per second through emitWith for a click-sized record, and what
// the calling thread pays, against a plain formatted write of a line of the same size.
//   build/bench/core/bench_emit [events]
#include "platform/loop.h"
#include "watch/accessibility/observe.h"
#include "watch/core/emit.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

json clickFields() {
    return {{"button", "left"},
            {"x", 812.5},
            {"y", 431.0},
            {"count", 1},
            {"element",
             {{"role", "AXButton"},
              {"subrole", ""},
              {"label", "Send message"},
              {"frame", {{"x", 790}, {"y", 420}, {"w", 64}, {"h", 24}}},
              {"secure", false}}}};
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    int events = argc > 1 ? std::atoi(argv[1]) : 100000;
    // Lines go to /dev/null: we measure our own cost, not a terminal's.
    if (!std::freopen("/dev/null", "w", stdout)) return 1;
    makeQueues();
    currentApp = "Mail";
    currentBundle = "org.example.mail";
    currentWindow = "Inbox - someone@example.org";
    currentUrl = "mail.example.org/inbox";

    json fields = clickFields();
    std::vector<double> caller, total, plain;
    std::size_t lineSize = 0;
    for (int rep = 0; rep < 5; ++rep) {
        auto t0 = Clock::now();
        for (int i = 0; i < events; ++i)
            emitWith("click", fields);
        auto t1 = Clock::now();
        loop::sync(outQueue, [] { loop::flushStdout(); });
        auto t2 = Clock::now();
        caller.push_back(seconds(t0, t1));
        total.push_back(seconds(t0, t2));

        // Baseline: the same line built with a format string and written and flushed in place.
        char line[1024];
        auto t3 = Clock::now();
        for (int i = 0; i < events; ++i) {
            int n = std::snprintf(
                line, sizeof line,
                "{\"app\":\"%s\",\"bundle\":\"%s\",\"button\":\"left\",\"count\":1,\"element\":"
                "{\"frame\":{\"h\":24,\"w\":64,\"x\":790,\"y\":420},\"label\":\"Send message\","
                "\"role\":\"AXButton\",\"secure\":false,\"subrole\":\"\"},\"kind\":\"click\","
                "\"t\":%lld,\"url\":\"%s\",\"window\":\"%s\",\"x\":%.1f,\"y\":%.1f}\n",
                currentApp.c_str(), currentBundle.c_str(), millisecondsNow(), currentUrl.c_str(),
                currentWindow.c_str(), 812.5, 431.0);
            std::fwrite(line, 1, static_cast<std::size_t>(n), stdout);
            std::fflush(stdout);
            lineSize = static_cast<std::size_t>(n);
        }
        plain.push_back(seconds(t3, Clock::now()));
    }
    double c = median(caller), t = median(total), p = median(plain);
    std::fprintf(stderr, "events per run: %d, line size: %zu bytes, median of 5 runs\n", events,
                 lineSize);
    std::fprintf(stderr, "emitWith, calling thread:   %8.0f ns/event\n", c / events * 1e9);
    std::fprintf(stderr, "emitWith, written:          %8.0f events/s\n", events / t);
    std::fprintf(stderr, "plain formatted write:      %8.0f ns/event, %8.0f events/s\n",
                 p / events * 1e9, events / p);
    std::fprintf(stderr, "ratio caller cost / plain write: %.2f\n", c / p);
    std::fprintf(stderr, "ratio throughput emit / plain:   %.2f\n", (events / t) / (events / p));
    return 0;
}
