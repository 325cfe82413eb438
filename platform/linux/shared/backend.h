#pragma once
// The display server's half of the Linux platform. One backend is chosen at start from the
// environment (a Wayland socket first, then an X display) and every facility that depends on
// the display server forwards to it; what the session bus and the accessibility bus give is
// shared and lives beside this.
#include "platform/ax.h"
#include "platform/capture.h"
#include "platform/input.h"
#include "platform/post.h"
#include "platform/windows.h"
#include "platform/workspace.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace backend {

enum class Kind { x11, wlroots, gnome };

// Chosen once: WAYLAND_DISPLAY (or WAYLAND_SOCKET) picks Wayland, else X (with or without a
// display: the X backend runs as without one).
Kind kind();
Kind kindFor(const char* waylandDisplay, const char* waylandSocket);
// A Wayland session whose compositor is Mutter (the desktop says GNOME, or Mutter's names are on
// the session bus) is GNOME's; any other is taken for a wlroots compositor.
Kind kindFor(const char* waylandDisplay, const char* waylandSocket, const char* currentDesktop,
             bool mutterOnBus);

// What the accessibility reader needs of the display server to match a frame to the window in
// front and to place toolkits that answer window coordinates.
struct WindowFacts {
    std::string title;
    std::optional<windows::Rect> rect; // screen coordinates
};

// The chosen backend's answers to the questions above.
std::optional<WindowFacts> activeWindowOf(int pid, bool owner);
std::optional<WindowFacts> windowFacts(unsigned long window);
std::optional<ax::Point> contentOrigin(unsigned long window);

} // namespace backend

// Each backend implements the same set, in a namespace of its own below the facility's.
#define ZEPHRIN_DISPLAY_BACKEND(NS)                                                                \
    namespace capture::NS {                                                                        \
    void hold(bool on);                                                                            \
    void captureWindow(uint32_t windowId, std::function<void(Result)> done);                       \
    }                                                                                              \
    namespace input::NS {                                                                          \
    TapRef createTap(bool withKeys, std::function<void(const Event&)> callback);                   \
    void enableTap(const TapRef& tap);                                                             \
    void disableTap(const TapRef& tap);                                                            \
    MonitorRef addMouseMonitor(std::function<void(const Event&)> handler);                         \
    void removeMonitor(const MonitorRef& monitor);                                                 \
    double secondsSinceLastInput();                                                                \
    Point pointerLocation();                                                                       \
    std::optional<Rect> mainScreenFrame();                                                         \
    }                                                                                              \
    namespace notices::NS {                                                                        \
    void onActivate(std::function<void(const std::optional<workspace::App>&)> handler);            \
    void onFrontWindow(std::function<void()> handler);                                             \
    }                                                                                              \
    namespace pasteboard::NS {                                                                     \
    long changeCount();                                                                            \
    double changedAt();                                                                            \
    std::vector<std::string> types();                                                              \
    std::optional<std::string> plainText();                                                        \
    }                                                                                              \
    namespace permissions::NS {                                                                    \
    bool listenAccess();                                                                           \
    bool screenAccess();                                                                           \
    }                                                                                              \
    namespace post::NS {                                                                           \
    Result post(const Event& event);                                                               \
    void prepareText(const std::u16string& text);                                                  \
    bool keysRead();                                                                               \
    void pause(int ms);                                                                            \
    void finish();                                                                                 \
    void whenConnectionLost(void (*handler)());                                                    \
    bool inputTrusted();                                                                           \
    }                                                                                              \
    namespace windows::NS {                                                                        \
    std::optional<std::vector<Info>> onScreen();                                                   \
    }                                                                                              \
    namespace workspace::NS {                                                                      \
    std::optional<App> frontApplication();                                                         \
    std::optional<App> runningApplication(int pid);                                                \
    }                                                                                              \
    namespace backend::NS {                                                                        \
    /* The active window when process pid owns it; with owner, the window the active dialog  */    \
    /* belongs to, when pid owns both. */                                                          \
    std::optional<WindowFacts> activeWindowOf(int pid, bool owner);                                \
    /* A listed window's title and content rectangle. */                                           \
    std::optional<WindowFacts> windowFacts(unsigned long window);                                  \
    /* Where a listed window's content begins on the screen. */                                    \
    std::optional<ax::Point> contentOrigin(unsigned long window);                                  \
    }

ZEPHRIN_DISPLAY_BACKEND(x11)
ZEPHRIN_DISPLAY_BACKEND(wlroots)
ZEPHRIN_DISPLAY_BACKEND(gnome)
