#pragma once
// The watcher on a simulated desktop whose applications have accessibility trees.
#include "platform/sim/ax_desktop.h"
#include "tests/core/watcher.h"
#include "watch/accessibility/window.h"

#include <string>
#include <utility>
#include <vector>

using Kinds = std::vector<std::string>;
using Attributes = std::vector<std::pair<std::string, ax::Value>>;

inline const workspace::App editor{321, "Editor", "com.example.editor"};
inline const workspace::App browser{555, "Browser", "com.example.Chrome"};

// Clears the desktop before the watcher starts on it.
struct CleanDesk {
    CleanDesk() {
        sim::axReset();
        sim::clearApps();
    }
};

struct Desk : CleanDesk, Watcher {
    std::vector<std::pair<std::string, double>> frames; // frame requests: reason, delay

    explicit Desk(std::optional<workspace::App> front = editor) : Watcher(front) {
        lines();
        frameAsked = [this](const std::string& why, double delay) {
            frames.emplace_back(why, delay);
        };
    }
    ~Desk() { frameAsked = nullptr; }

    // Starts recording and lets the first window read and walk happen.
    Desk& record(const json& config = {{"cmd", "config"}}) {
        command(config);
        run(0.3);
        return *this;
    }

    // Lines of one kind.
    std::vector<json> of(const std::vector<json>& all, const std::string& kind) {
        std::vector<json> out;
        for (auto& l : all)
            if (l.value("kind", "") == kind) out.push_back(l);
        return out;
    }

    std::vector<std::string> frameReasons() {
        std::vector<std::string> out;
        for (auto& f : frames)
            out.push_back(f.first);
        frames.clear();
        return out;
    }
};

inline Kinds kindsOf(const std::vector<json>& lines) {
    Kinds out;
    for (auto& l : lines)
        out.push_back(l.value("kind", "?"));
    return out;
}

// An element of pid with a role and more attributes.
inline ax::ElementRef element(int pid, const std::string& role, Attributes more = {}) {
    more.emplace_back("AXRole", role);
    return sim::axElement(pid, std::move(more));
}

// Gives pid a focused window with a title and returns the window.
inline ax::ElementRef focusedWindow(int pid, const std::string& title, Attributes more = {}) {
    more.emplace_back("AXTitle", title);
    auto window = sim::axAdd(sim::axApp(pid), element(pid, "AXWindow", std::move(more)));
    sim::axSet(sim::axApp(pid), "AXFocusedWindow", window);
    return window;
}

// A static text with a value, added to parent.
inline ax::ElementRef addText(const ax::ElementRef& parent, int pid, const std::string& text) {
    return sim::axAdd(parent, element(pid, "AXStaticText", {{"AXValue", text}}));
}
