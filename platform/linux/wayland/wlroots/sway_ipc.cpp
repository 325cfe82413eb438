#include "platform/linux/wayland/wlroots/sway_ipc.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace swayipc {
namespace {

constexpr char magic[] = {'i', '3', '-', 'i', 'p', 'c'};
constexpr std::size_t headerSize = sizeof magic + 8;
constexpr uint32_t largestPayload = 64u << 20;

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool readAll(int fd, char* data, std::size_t size) {
    while (size > 0) {
        pollfd p{fd, POLLIN, 0};
        int ready = ::poll(&p, 1, 1000);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        ssize_t n = ::recv(fd, data, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

int open(const std::string& path) {
    sockaddr_un addr{};
    if (path.empty() || path.size() >= sizeof addr.sun_path) return -1;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

std::string socketPath() {
    if (const char* s = std::getenv("SWAYSOCK"); s && *s) return s;
    // sway names its socket sway-ipc.UID.PID.sock; the one whose compositor still answers wins.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || !*runtime) return {};
    std::string prefix = "sway-ipc." + std::to_string(::getuid()) + ".";
    DIR* dir = ::opendir(runtime);
    if (!dir) return {};
    std::string found;
    while (dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (!name.starts_with(prefix) || !name.ends_with(".sock")) continue;
        std::string path = std::string(runtime) + "/" + name;
        int fd = open(path);
        if (fd < 0) continue;
        ::close(fd);
        found = path;
        break;
    }
    ::closedir(dir);
    return found;
}

int connect() {
    static const std::string path = socketPath();
    return open(path);
}

bool send(int fd, uint32_t type, const std::string& payload) {
    std::string message(magic, sizeof magic);
    uint32_t header[2] = {static_cast<uint32_t>(payload.size()), type};
    message.append(reinterpret_cast<const char*>(header), sizeof header);
    message += payload;
    return writeAll(fd, message.data(), message.size());
}

std::optional<Reply> receive(int fd) {
    char header[headerSize];
    if (!readAll(fd, header, sizeof header) || std::memcmp(header, magic, sizeof magic) != 0)
        return std::nullopt;
    uint32_t size = 0;
    Reply r;
    std::memcpy(&size, header + sizeof magic, 4);
    std::memcpy(&r.type, header + sizeof magic + 4, 4);
    if (size > largestPayload) return std::nullopt;
    std::string payload(size, '\0');
    if (!readAll(fd, payload.data(), size)) return std::nullopt;
    r.body = nlohmann::json::parse(payload, nullptr, false);
    if (r.body.is_discarded()) return std::nullopt;
    return r;
}

std::optional<nlohmann::json> ask(uint32_t type, const std::string& payload) {
    int fd = connect();
    if (fd < 0) return std::nullopt;
    std::optional<nlohmann::json> answer;
    if (send(fd, type, payload))
        if (auto r = receive(fd); r && r->type == type) answer = std::move(r->body);
    ::close(fd);
    return answer;
}

} // namespace swayipc
