#pragma once
// Frame capture scheduling.
#include "platform/loop.h"

extern loop::TimerRef frameTimer; // the single pending frame request
