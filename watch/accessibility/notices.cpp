#include "watch/accessibility/notices.h"

loop::TimerRef valueTimer;
ax::ElementRef pendingValueElement;
double lastContentChangeAt = 0;
