#pragma once
// sway's IPC: the layout tree and its events, over the compositor's UNIX socket (i3's message
// framing: "i3-ipc", payload length, message type, JSON payload).
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace swayipc {

enum Message : uint32_t { runCommand = 0, subscribe = 2, getOutputs = 3, getTree = 4 };

// The socket's path: SWAYSOCK, else the compositor's own socket in XDG_RUNTIME_DIR; "" when none.
std::string socketPath();

// A connection of its own; -1 when the compositor can't be reached.
int connect();

bool send(int fd, uint32_t type, const std::string& payload);

// One message; nullopt when the connection ended or broke the framing.
struct Reply {
    uint32_t type = 0;
    nlohmann::json body;
};
std::optional<Reply> receive(int fd);

// One request on a connection made for it, answered within a second.
std::optional<nlohmann::json> ask(uint32_t type, const std::string& payload = {});

} // namespace swayipc
