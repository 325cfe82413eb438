#pragma once
// The windows of sway's layout tree, as get_tree answers it.
#include "platform/windows.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace swaytree {

struct View {
    unsigned long id = 0; // the container's id
    int pid = -1;
    std::string appId; // app_id, or an X client's class under Xwayland
    std::string title;
    windows::Rect frame;               // the container, decorations included
    windows::Rect content;             // the client's own area
    double surfaceX = 0, surfaceY = 0; // where its surface begins (before client-drawn shadows)
    bool floating = false;
    bool focused = false;
};

// The views on screen, frontmost first: on each output's visible workspace, floating views above
// tiled ones, each group in the order it was last focused. Hidden views (other workspaces,
// background tabs) are left out. A tree that isn't one (malformed JSON) has none.
std::vector<View> visibleViews(const nlohmann::json& tree);

// The focused view, wherever it is; nullopt when focus is on no view (an empty workspace).
std::optional<View> focusedView(const nlohmann::json& tree);

struct Output {
    std::string name;
    windows::Rect rect; // in the layout
    bool focused = false;
};

// The active outputs, as get_outputs answers them; none from a malformed answer.
std::vector<Output> activeOutputs(const nlohmann::json& outputs);

} // namespace swaytree
