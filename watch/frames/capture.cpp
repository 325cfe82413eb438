#include "watch/frames/capture.h"

loop::TimerRef frameTimer;
