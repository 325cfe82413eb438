// The loop on GLib's default main context. Everything that must happen on the main thread
// goes through one FIFO of our own, so jobs keep the order in which they were posted
// whichever thread posted them.
#include "platform/loop.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <glib-unix.h>
#include <glib.h>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace loop {
namespace {

std::mutex mainMutex;
std::deque<Job> mainJobs;
bool mainScheduled = false;

gboolean drainMain(gpointer) {
    for (;;) {
        Job job;
        {
            std::lock_guard lock(mainMutex);
            if (mainJobs.empty()) {
                mainScheduled = false;
                return G_SOURCE_REMOVE;
            }
            job = std::move(mainJobs.front());
            mainJobs.pop_front();
        }
        job();
    }
}

// A FIFO worked by threads. A serial queue has one. The utility pool keeps two and, like a
// system work queue, adds threads while jobs wait and none is free: image jobs take turns on one
// engine or one file by blocking, and must not hold back jobs that need neither. The extra
// threads end after a while without work.
struct Workers {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<Job> jobs;
    const int base, most;
    int threads = 0;
    int idle = 0;     // threads not running a job
    int sleeping = 0; // threads blocked in wait; only they need a wake-up

    Workers(int base, int most) : base(base), most(most) {
        std::lock_guard lock(mutex);
        for (int i = 0; i < base; ++i)
            start();
    }
    void start() {
        ++threads;
        ++idle;
        std::thread([this] { work(); }).detach();
    }
    void push(Job job) {
        bool wake;
        {
            std::lock_guard lock(mutex);
            jobs.push_back(std::move(job));
            if (static_cast<int>(jobs.size()) > idle && threads < most) start();
            wake = sleeping > 0;
        }
        if (wake) ready.notify_one();
    }
    void work() {
        std::unique_lock lock(mutex);
        for (;;) {
            // A burst usually brings the next job within microseconds: look again a few
            // times before sleeping, so the poster rarely pays for a wake-up.
            for (int spin = 0; spin < 64 && jobs.empty(); ++spin) {
                lock.unlock();
                std::this_thread::yield();
                lock.lock();
            }
            ++sleeping;
            auto waiting = [this] { return !jobs.empty(); };
            if (threads > base) {
                if (!ready.wait_for(lock, std::chrono::seconds(10), waiting)) {
                    --sleeping;
                    if (threads <= base) continue; // others ended first: this one stays
                    --idle;
                    --threads;
                    return;
                }
            } else {
                ready.wait(lock, waiting);
            }
            --sleeping;
            Job job = std::move(jobs.front());
            jobs.pop_front();
            --idle;
            lock.unlock();
            job();
            job = nullptr; // what it holds goes before the thread counts as free
            lock.lock();
            ++idle;
        }
    }
};

Workers* utilityPool() {
    // Never destroyed: workers may still run while the process exits.
    static Workers* pool = new Workers(2, 16);
    return pool;
}

} // namespace

struct Queue {
    std::string label;
    Workers workers{1, 1};
};

struct Timer {
    guint source = 0;
    bool repeats = false;
    Job job;
};

void onMain(Job job) {
    bool schedule;
    {
        std::lock_guard lock(mainMutex);
        mainJobs.push_back(std::move(job));
        schedule = !mainScheduled;
        mainScheduled = true;
    }
    if (schedule) g_idle_add_full(G_PRIORITY_DEFAULT, drainMain, nullptr, nullptr);
}

Queue* makeSerialQueue(const char* label) {
    auto* q = new Queue;
    q->label = label;
    return q;
}

void async(Queue* queue, Job job) {
    queue->workers.push(std::move(job));
}

void sync(Queue* queue, Job job) {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    queue->workers.push([&] {
        job();
        std::lock_guard lock(m);
        done = true;
        cv.notify_one();
    });
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return done; });
}

void onUtility(Job job) {
    utilityPool()->push(std::move(job));
}

bool awaitWork(double seconds, const std::function<bool()>& done) {
    // Polled: such waits are short and rare (the front application at a command, the end of the
    // process), and done() is cheap.
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

namespace {

gboolean fireTimer(gpointer data) {
    // The source holds its own reference so a fired one-shot outlives a dropped handle.
    auto* holder = static_cast<TimerRef*>(data);
    TimerRef timer = *holder;
    if (!timer->repeats) timer->source = 0;
    Job job = timer->job; // the job may cancel or replace its own timer
    job();
    return timer->repeats && timer->source != 0 ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

void dropHolder(gpointer data) {
    delete static_cast<TimerRef*>(data);
}

TimerRef startTimer(double seconds, Job job, bool repeats) {
    auto timer = std::make_shared<Timer>();
    timer->repeats = repeats;
    timer->job = std::move(job);
    guint ms = seconds <= 0 ? 0 : static_cast<guint>(seconds * 1000.0 + 0.5);
    timer->source =
        g_timeout_add_full(G_PRIORITY_DEFAULT, ms, fireTimer, new TimerRef(timer), dropHolder);
    return timer;
}

} // namespace

TimerRef oneShot(double seconds, Job job) {
    return startTimer(seconds, std::move(job), false);
}
TimerRef repeating(double seconds, Job job) {
    return startTimer(seconds, std::move(job), true);
}

void cancel(const TimerRef& timer) {
    if (!timer || timer->source == 0) return;
    g_source_remove(timer->source);
    timer->source = 0;
}

namespace {
gboolean fireSignal(gpointer data) {
    (*static_cast<Job*>(data))();
    return G_SOURCE_CONTINUE;
}
} // namespace

void onSignal(int signo, Job job) {
    g_unix_signal_add(signo, fireSignal, new Job(std::move(job)));
}

namespace {
// A host may hand over descriptors in non-blocking mode; "try again" is then a wait, not an end.
bool waitUntil(int fd, short events) {
    pollfd p{fd, events, 0};
    int n;
    do {
        n = ::poll(&p, 1, -1);
    } while (n < 0 && errno == EINTR);
    return n > 0;
}
} // namespace

void readStdin(std::function<void(std::string_view)> handler) {
    std::thread([handler = std::move(handler)] {
        std::vector<char> buf(65536);
        for (;;) {
            ssize_t n = ::read(STDIN_FILENO, buf.data(), buf.size());
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
                waitUntil(STDIN_FILENO, POLLIN))
                continue;
            if (n <= 0) {
                handler(std::string_view());
                return;
            }
            handler(std::string_view(buf.data(), static_cast<std::size_t>(n)));
        }
    }).detach();
}

// Straight to the descriptor, each line whole: stdio drops what a non-blocking pipe refuses.
void writeStdout(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitUntil(STDOUT_FILENO, POLLOUT))
            continue;
        if (n <= 0) return; // the host has closed its end: nothing more can reach it
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

void flushStdout() {}

double now() {
    return static_cast<double>(g_get_real_time()) / 1e6;
}

void run() {
    GMainLoop* mainLoop = g_main_loop_new(nullptr, FALSE);
    for (;;)
        g_main_loop_run(mainLoop);
}

void exitProcess(int status) {
    // Worker threads may still be running: skip static destructors they could race with.
    _exit(status);
}

} // namespace loop
