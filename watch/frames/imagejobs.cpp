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

namespace {

std::string stringField(const json& command, const char* key) {
    auto it = command.find(key);
    return it != command.end() && it->is_string() ? it->get<std::string>() : "";
}

std::string expandHome(const std::string& path) {
    if (path.empty() || path[0] != '~' || (path.size() > 1 && path[1] != '/')) return path;
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        if (const passwd* pw = ::getpwuid(::getuid())) home = pw->pw_dir;
    }
    return home ? std::string(home) + path.substr(1) : path;
}

std::optional<std::string> resolved(const std::string& path) {
    char buffer[PATH_MAX];
    if (!::realpath(path.c_str(), buffer)) return std::nullopt;
    return std::string(buffer);
}

} // namespace

std::optional<std::string> writableFrame(const std::string& path, const std::string& frames) {
    if (frames.empty() || path.empty()) return std::nullopt;
    std::string wanted = expandHome(path);
    if (wanted[0] != '/') return std::nullopt;
    auto dir = resolved(expandHome(frames));
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
