#include "watch/frames/keep.h"

// Owned by the program, not by the image module: the idle check and the text walk read
// lastFrameAt whether or not a frame was ever kept.
std::uint64_t lastFrameHash = 0;
std::string lastFrameWindow;
double lastFrameAt = 0;
