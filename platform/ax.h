#pragma once
// Accessibility elements, in the vocabulary the host speaks: attribute names ("AXRole",
// "AXFocusedWindow", "AXValue"), role names ("AXButton", "AXSecureTextField") and notification
// names ("AXValueChanged"). A backend translates its own tree into this; no backend type leaks.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace ax {

struct Element;
using ElementRef = std::shared_ptr<Element>; // each holder owns its reference

struct Point {
    double x = 0, y = 0;
};
struct Size {
    double w = 0, h = 0;
};

// An attribute's value. monostate: present but of a type the host doesn't read.
using Value = std::variant<std::monostate, bool, double, std::string, Point, Size, ElementRef,
                           std::vector<ElementRef>>;

// The element of a running application's process.
ElementRef applicationElement(int pid);

// How long a request through this element waits for the application to answer.
void setMessagingTimeout(const ElementRef& element, float seconds);

// nullopt when the read failed, the attribute is absent or its value is null.
std::optional<Value> copyAttribute(const ElementRef& element, std::string_view name);
bool setAttribute(const ElementRef& element, std::string_view name, const Value& value);

// The deepest element at a point (global points, top-left origin), asked through an app element.
ElementRef elementAtPosition(const ElementRef& application, double x, double y);

int processOf(const ElementRef& element);

// Requests made on the calling thread that got no answer (the application timed out or left the
// bus), counted since the thread began: compared before and after a read, it tells a read that
// failed from a value that is absent.
unsigned long unansweredRequests();
bool sameElement(const ElementRef& a, const ElementRef& b);

// Notifications of one application, delivered on the main thread while attached.
struct Observer;
using ObserverRef = std::shared_ptr<Observer>;
using Callback = std::function<void(const ElementRef& element, const std::string& notification)>;
ObserverRef createObserver(int pid, Callback callback); // nullptr on failure
bool addNotification(const ObserverRef& observer, const ElementRef& element,
                     std::string_view notification);
void attachObserver(const ObserverRef& observer); // starts delivery on the main loop
void detachObserver(const ObserverRef& observer); // stops delivery

} // namespace ax
