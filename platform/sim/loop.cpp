#include "platform/loop.h"
#include "platform/sim/sim.h"

#include <deque>
#include <map>
#include <mutex>
#include <vector>

namespace loop {

struct Queue {
    std::string label;
    std::deque<Job> jobs;
};

struct Timer {
    double due = 0;
    double interval = 0;
    bool repeats = false;
    bool live = true;
    unsigned long seq = 0;
    Job job;
};

} // namespace loop

namespace {

using namespace loop;

double virtualNow = 1700000000.0;
unsigned long timerSeq = 0;
std::deque<Job> mainJobs;
std::deque<Job> utilityJobs;
std::vector<Queue*> queues;
std::vector<TimerRef> timers;
std::map<int, Job> signalJobs;
std::function<void(std::string_view)> stdinHandler;
std::string captured;
std::size_t takenUpTo = 0;
// Jobs may be posted from real threads (image jobs in tests); everything else stays on the
// test's thread.
std::mutex jobsLock;

bool runOne(bool mainToo = true) {
    Job job;
    std::unique_lock lock(jobsLock);
    if (mainToo && !mainJobs.empty()) {
        job = std::move(mainJobs.front());
        mainJobs.pop_front();
    } else {
        for (Queue* q : queues) {
            if (!q->jobs.empty()) {
                job = std::move(q->jobs.front());
                q->jobs.pop_front();
                break;
            }
        }
        if (!job && !utilityJobs.empty()) {
            job = std::move(utilityJobs.front());
            utilityJobs.pop_front();
        }
    }
    lock.unlock();
    if (!job) return false;
    job();
    return true;
}

} // namespace

namespace loop {

void onMain(Job job) {
    std::lock_guard lock(jobsLock);
    mainJobs.push_back(std::move(job));
}

Queue* makeSerialQueue(const char* label) {
    auto* q = new Queue;
    q->label = label;
    queues.push_back(q);
    return q;
}

void async(Queue* queue, Job job) {
    std::lock_guard lock(jobsLock);
    queue->jobs.push_back(std::move(job));
}

void sync(Queue* queue, Job job) {
    for (;;) {
        std::unique_lock lock(jobsLock);
        if (queue->jobs.empty()) break;
        Job next = std::move(queue->jobs.front());
        queue->jobs.pop_front();
        lock.unlock();
        next();
    }
    job();
}

void onUtility(Job job) {
    std::lock_guard lock(jobsLock);
    utilityJobs.push_back(std::move(job));
}

// Without threads the work waited for runs here, and time does not move.
bool awaitWork(double, const std::function<bool()>& done) {
    while (!done())
        if (!runOne(false)) return false;
    return true;
}

namespace {
TimerRef startTimer(double seconds, Job job, bool repeats) {
    auto t = std::make_shared<Timer>();
    t->interval = seconds < 0 ? 0 : seconds;
    t->due = virtualNow + t->interval;
    t->repeats = repeats;
    t->seq = ++timerSeq;
    t->job = std::move(job);
    timers.push_back(t);
    return t;
}
} // namespace

TimerRef oneShot(double seconds, Job job) {
    return startTimer(seconds, std::move(job), false);
}
TimerRef repeating(double seconds, Job job) {
    return startTimer(seconds, std::move(job), true);
}

void cancel(const TimerRef& timer) {
    if (timer) timer->live = false;
}

void onSignal(int signo, Job job) {
    signalJobs[signo] = std::move(job);
}

void readStdin(std::function<void(std::string_view)> handler) {
    stdinHandler = std::move(handler);
}

void writeStdout(std::string_view bytes) {
    captured.append(bytes);
}
void flushStdout() {}

double now() {
    return virtualNow;
}

void run() {
    for (;;)
        sim::drain();
}

void exitProcess(int status) {
    throw sim::Exit{status};
}

} // namespace loop

namespace sim {

void reset(double startSeconds) {
    virtualNow = startSeconds;
    std::lock_guard lock(jobsLock);
    mainJobs.clear();
    utilityJobs.clear();
    for (Queue* q : queues)
        q->jobs.clear();
    for (auto& t : timers)
        t->live = false;
    timers.clear();
    signalJobs.clear();
    stdinHandler = nullptr;
    captured.clear();
    takenUpTo = 0;
}

void drain() {
    while (runOne()) {
    }
}

void advance(double seconds) {
    double target = virtualNow + seconds;
    drain();
    for (;;) {
        std::erase_if(timers, [](const TimerRef& t) { return !t->live; });
        TimerRef next;
        for (auto& t : timers)
            if (t->due <= target &&
                (!next || t->due < next->due || (t->due == next->due && t->seq < next->seq)))
                next = t;
        if (!next) break;
        if (next->due > virtualNow) virtualNow = next->due;
        if (next->repeats) {
            next->due += next->interval > 0 ? next->interval : 1e-3;
            next->seq = ++timerSeq;
        } else {
            next->live = false;
        }
        Job job = next->job;
        job();
        drain();
    }
    if (virtualNow < target) virtualNow = target;
}

void elapse(double seconds) {
    if (seconds > 0) virtualNow += seconds;
}

double clock() {
    return virtualNow;
}

std::size_t pendingTimers() {
    std::size_t n = 0;
    for (auto& t : timers)
        n += t->live ? 1 : 0;
    return n;
}

void feedStdin(std::string_view chunk) {
    if (stdinHandler) stdinHandler(chunk);
}

void raiseSignal(int signo) {
    auto it = signalJobs.find(signo);
    if (it != signalJobs.end()) loop::onMain(it->second);
}

std::string output() {
    return captured;
}

std::vector<std::string> takeLines() {
    std::vector<std::string> lines;
    for (;;) {
        auto nl = captured.find('\n', takenUpTo);
        if (nl == std::string::npos) break;
        lines.push_back(captured.substr(takenUpTo, nl - takenUpTo));
        takenUpTo = nl + 1;
    }
    return lines;
}

} // namespace sim
