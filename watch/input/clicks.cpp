#include "watch/input/clicks.h"

loop::TimerRef scrollTimer;
