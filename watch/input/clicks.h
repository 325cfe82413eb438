#pragma once
// Clicks and scrolls.
#include "platform/loop.h"

extern loop::TimerRef scrollTimer; // reports a scroll burst once it has ended
