#pragma once
// Controls of the simulated desktop, for tests. Time only moves when a test moves it; all
// queues run on the test's thread, so runs are deterministic.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// Thrown by loop::exitProcess so a test can observe the end of the program.
struct Exit {
    int status;
};

// Resets the clock, queues, timers, captured output and stdin handler.
void reset(double startSeconds = 1700000000.0);

// Runs every queued job (main, serial and utility queues) until none is left.
void drain();

// Moves the virtual clock forward, firing due timers in time order and draining after each.
void advance(double seconds);

double clock();

// Moves the virtual clock without running anything: the time a blocking request takes inside a
// job. Timers that fall due meanwhile fire at the next advance, late, as they would.
void elapse(double seconds);
std::size_t pendingTimers();

// Delivers bytes to the standard-input handler, as the reader thread would; "" is end of input.
void feedStdin(std::string_view chunk);

// Delivers a signal handled with loop::onSignal.
void raiseSignal(int signo);

// Everything written to standard output so far, and the complete lines taken out of it.
std::string output();
std::vector<std::string> takeLines();

} // namespace sim
