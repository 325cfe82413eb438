#pragma once
// The life of the watcher process.
#include "common/jsonline.h"

// Handles the command line and sets the process up. Returns the exit status when the process
// is done (the one-shot options), or -1 when the main loop should run.
int startWatch(int argc, char** argv);

// The permission record: "kind", "version", "ax", "listen", "screen", "macos", "pid".
json probe();

// Tears recording down, says "stopped", waits for every line to be written and exits 0.
[[noreturn]] void finish();
