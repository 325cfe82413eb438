#pragma once
// The command line as read once, and the three ways an answer leaves the process.
#include "common/jsonline.h"

#include <string>
#include <vector>

// The only process that may receive input; 0 when no "--pid" was given.
extern int only;
// The words that belong to the action: the count, program name included, and the words.
extern int argc_;
extern std::vector<std::string> argv_;

// Writes the object as one compact line and exits with status.
[[noreturn]] void reply(const json& object, int status);

// Writes and exits like reply, without undoing what posting changed: for when the window
// system is gone.
[[noreturn]] void answerWithoutPosting(const json& object, int status);

// {"ok":false,"error":message}, status 2.
[[noreturn]] void fail(const std::string& message);

// The word at position as a coordinate from 0 to 100000, or fails with "Invalid coordinate.".
double number(int position);
