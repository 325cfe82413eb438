#pragma once
// Accessibility elements in the vocabulary the host speaks ("AXRole", "AXButton", ...).
#include <memory>

namespace ax {

// An element of another application's accessibility tree. Each holder owns its reference.
struct Element;
using ElementRef = std::shared_ptr<Element>;

// An observer of one application's notifications; dropping the last reference detaches it.
struct Observer;
using ObserverRef = std::shared_ptr<Observer>;

// Removes the observer's notifications from the main loop.
void detachObserver(const ObserverRef& observer);

} // namespace ax
