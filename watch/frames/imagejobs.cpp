#include "watch/frames/imagejobs.h"
#include "platform/loop.h"
#include "watch/core/emit.h"
#include "watch/core/state.h"
#include "watch/frames/names.h"

#include <climits>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string stringField(const json& command, const char* key) {
    auto it = command.find(key);
    return it != command.end() && it->is_string() ? it->get<std::string>() : "";
}

// "~" and "~/..." are the user's home, "~name/..." that user's.
std::string expandHome(const std::string& path) {
    if (path.empty() || path[0] != '~') return path;
    const std::size_t slash = path.find('/');
    const std::string user = path.substr(1, slash == std::string::npos ? slash : slash - 1);
    const std::string rest = slash == std::string::npos ? "" : path.substr(slash);
    std::vector<char> buffer(16384);
    passwd entry{}, *found = nullptr;
    if (user.empty()) {
        const char* home = std::getenv("HOME");
        if (home && *home) return home + rest;
        ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found);
    } else {
        ::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found);
    }
    return found && found->pw_dir ? found->pw_dir + rest : path;
}

std::optional<std::string> resolved(const std::string& path) {
    char buffer[PATH_MAX];
    if (!::realpath(path.c_str(), buffer)) return std::nullopt;
    return std::string(buffer);
}

} // namespace

std::optional<std::string> writableFrame(const std::string& path, const std::string& frames) {
    if (frames.empty() || path.empty()) return std::nullopt;
    std::string wanted = expandHome(path), framesPath = expandHome(frames);
    // A relative path can lie inside only a relative frames directory (both from the working
    // directory).
    if (wanted[0] != '/' && framesPath[0] == '/') return std::nullopt;
    auto dir = resolved(framesPath);
    auto file = resolved(wanted);
    if (!dir || !file) return std::nullopt;
    std::string prefix = *dir == "/" ? "/" : *dir + "/";
    if (file->size() <= prefix.size() || file->compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    struct stat st {};
    if (::lstat(file->c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return file;
}

void dispatchNames(const json& command) {
    loop::onUtility([id = stringField(command, "id"), text = stringField(command, "text")] {
        emit({{"kind", "names"}, {"id", id}, {"names", personalNames(text)}});
    });
}

void dispatchBlur(const json& command) {
    std::string path = stringField(command, "path");
    auto boxes = command.find("boxes");
    json list = boxes != command.end() && boxes->is_array() ? *boxes : json::array();
    auto target = writableFrame(path, framesDir);
    loop::onUtility([id = stringField(command, "id"), path = target.value_or(path),
                     list = std::move(list),
                     permitted = target.has_value()] { blurImage(path, list, id, permitted); });
}

void dispatchOcr(const json& command) {
    loop::onUtility([id = stringField(command, "id"), path = stringField(command, "path")] {
        recognizeText(path, id);
    });
}
