#include "platform/ax.h"

namespace ax {

struct Element {};
struct Observer {
    bool attached = true;
};

void detachObserver(const ObserverRef& observer) {
    if (observer) observer->attached = false;
}

} // namespace ax
