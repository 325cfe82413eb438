#pragma once
// The event stream: every line the watcher writes leaves through here, in hand-over order.
#include "common/jsonline.h"
#include "platform/loop.h"

#include <string_view>

extern loop::Queue* outQueue; // the only writer of standard output
extern loop::Queue* axQueue;  // accessibility reads that may block on another application

// Creates the two serial queues and opens the event stream; called first thing at start-up.
void makeQueues();

// Milliseconds since 1970, truncated toward zero.
long long millisecondsNow();

// Stamps "t" unless the record has one, serialises on the caller's thread and queues the write.
// Takes its own copy of the record (moved in when the caller is done with it). Any thread.
void emit(json record);

// Emits the last record of the stream: whatever any thread emits after it is dropped, so it
// stays the last line. Any thread.
void emitLast(json record);

// Adds the front application's and window's context, then the caller's fields (which win on
// a clash), and emits. Main thread only.
void emitWith(std::string_view kind, const json& fields = nullptr);
