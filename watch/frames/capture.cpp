#include "watch/frames/capture.h"

loop::TimerRef frameTimer;

// Placeholders until frame capture lands.
void frameSoon(const std::string&, double) {}
void captureFrame(const std::string&) {}
