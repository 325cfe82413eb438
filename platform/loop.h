#pragma once
// The loop facility: one main queue with timers, serial queues, a utility pool, signals
// and the standard-input reader. Shipped on GLib; the simulated build runs it on a
// virtual clock so that every timing rule can be tested without sleeping.
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace loop {

using Job = std::function<void()>;

// Runs job on the main thread, after everything posted before it.
void onMain(Job job);

// A serial queue: one thread, jobs run one at a time in the order they were handed over.
struct Queue;
Queue* makeSerialQueue(const char* label); // lives until the process exits
void async(Queue* queue, Job job);
void sync(Queue* queue, Job job); // waits until job (and everything before it) has run

// Concurrent pool for work that reads no shared state (the image jobs).
void onUtility(Job job);

// Main thread: waits at most `seconds` until done() holds, while the serial queues and the
// utility pool go on working (main-thread jobs wait). True when done() held in time.
bool awaitWork(double seconds, const std::function<bool()>& done);

// Timers run on the main thread. Cancelling stops a timer from firing; the handle stays valid.
struct Timer;
using TimerRef = std::shared_ptr<Timer>;
TimerRef oneShot(double seconds, Job job);
TimerRef repeating(double seconds, Job job);
void cancel(const TimerRef& timer);

// SIGTERM or SIGINT become main-thread work.
void onSignal(int signo, Job job);

// Reads standard input on a thread of its own. handler gets each chunk as it arrives and
// an empty chunk once at end of input; it is called one chunk at a time, never on the main thread.
void readStdin(std::function<void(std::string_view chunk)> handler);

// Standard output, used only from the output queue.
void writeStdout(std::string_view bytes);
void flushStdout(); // writes are unbuffered on Linux; kept for platforms that buffer

// Wall-clock seconds since 1970.
double now();

// Runs the main loop; does not return.
[[noreturn]] void run();

// Ends the process with status after standard output has been flushed by the caller.
[[noreturn]] void exitProcess(int status);

} // namespace loop
