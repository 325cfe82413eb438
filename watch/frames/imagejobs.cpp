#include "watch/frames/imagejobs.h"
#include "platform/loop.h"
#include "watch/core/emit.h"
#include "watch/core/state.h"
#include "watch/frames/names.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
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

// A box coordinate: numbers as they are, strings read as decimals, anything else 0.
double coordinate(const json& box, const char* key) {
    auto it = box.find(key);
    if (it == box.end()) return 0;
    double value = 0;
    if (it->is_number()) {
        value = it->get<double>();
    } else if (it->is_boolean()) {
        value = it->get<bool>() ? 1 : 0;
    } else if (it->is_string()) {
        const std::string& s = it->get_ref<const std::string&>();
        std::size_t i = s.find_first_not_of(" \t\n\r\f\v");
        if (i == std::string::npos) return 0;
        if (s[i] == '+') ++i;
        std::from_chars(s.data() + i, s.data() + s.size(), value);
    }
    return std::isfinite(value) ? value : 0;
}

// Requests not yet answered, each with the answer it gets when it cannot finish. A job answers
// under the lock, so an answer is either out before the final settling or never.
std::mutex answersLock;
std::map<std::uint64_t, json> unanswered;
std::uint64_t lastRequest = 0;

std::uint64_t expectAnswer(json failure) {
    std::lock_guard lock(answersLock);
    unanswered.emplace(++lastRequest, std::move(failure));
    return lastRequest;
}

void answer(std::uint64_t request, json record) {
    std::lock_guard lock(answersLock);
    if (unanswered.erase(request)) emit(std::move(record));
}

json blurred(const std::string& id, bool ok) {
    return {{"kind", "blurred"}, {"id", id}, {"ok", ok}};
}

json recognised(const std::string& id, const std::vector<TextLine>& lines) {
    std::string text;
    json boxes = json::array();
    for (auto& line : lines) {
        text += line.text + "\n";
        boxes.push_back(
            {{"text", line.text}, {"x", line.x}, {"y", line.y}, {"w", line.w}, {"h", line.h}});
    }
    return {{"kind", "ocr"}, {"id", id}, {"text", text}, {"boxes", boxes}};
}

// Blurs of one file take turns: each reads the file, blurs and replaces it, so two at once would
// each start from the unblurred picture and the later rename would bring back what the earlier
// one hid. A blur whose file is busy waits in this line, not on a pool thread.
std::mutex turnsLock;
std::map<std::string, std::deque<loop::Job>> blurLines; // by resolved file; the front one runs

void runFront(const std::string& file) {
    loop::onUtility([file] {
        loop::Job job;
        {
            std::lock_guard lock(turnsLock);
            job = std::move(blurLines[file].front());
        }
        job();
        job = nullptr;
        std::lock_guard lock(turnsLock);
        auto line = blurLines.find(file);
        line->second.pop_front();
        if (line->second.empty())
            blurLines.erase(line);
        else
            runFront(file);
    });
}

void blurInTurn(const std::string& file, loop::Job job) {
    std::lock_guard lock(turnsLock);
    auto& line = blurLines[file];
    line.push_back(std::move(job));
    if (line.size() == 1) runFront(file);
}

// One recognition engine serves every request: recognitions wait for it in a queue of their
// own instead of holding pool threads that other jobs need.
loop::Queue* ocrQueue() {
    static loop::Queue* queue = loop::makeSerialQueue("zephrin.watch.ocr");
    return queue;
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
    // The root as frames directory would open every file on the machine to rewriting.
    if (!dir || !file || *dir == "/") return std::nullopt;
    const std::string prefix = *dir + "/";
    if (file->size() <= prefix.size() || file->compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    struct stat st {};
    if (::lstat(file->c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return file;
}

std::vector<BlurBox> readBoxes(const json& list) {
    std::vector<BlurBox> boxes;
    if (!list.is_array()) return boxes;
    for (const json& box : list)
        if (box.is_object())
            boxes.push_back({coordinate(box, "x"), coordinate(box, "y"), coordinate(box, "w"),
                             coordinate(box, "h")});
    return boxes;
}

void dispatchNames(const json& command) {
    std::string id = stringField(command, "id");
    auto request = expectAnswer({{"kind", "names"}, {"id", id}, {"names", json::array()}});
    loop::onUtility([request, id = std::move(id), text = stringField(command, "text")] {
        answer(request, {{"kind", "names"}, {"id", id}, {"names", personalNames(text)}});
    });
}

void dispatchBlur(const json& command) {
    std::string id = stringField(command, "id");
    auto request = expectAnswer(blurred(id, false));
    auto list = command.find("boxes");
    const bool listed = list != command.end() && list->is_array() && !list->empty();
    auto target = listed ? writableFrame(stringField(command, "path"), framesDir) : std::nullopt;
    if (!target) {
        loop::onUtility([request, id] { answer(request, blurred(id, false)); });
        return;
    }
    blurInTurn(*target, [request, id, file = *target, boxes = readBoxes(*list)] {
        answer(request, blurred(id, blurImage(file, boxes)));
    });
}

void dispatchOcr(const json& command) {
    std::string id = stringField(command, "id"), path = stringField(command, "path");
    auto request = expectAnswer(recognised(id, {}));
    if (path.empty()) {
        loop::onUtility([request, id] { answer(request, recognised(id, {})); });
        return;
    }
    loop::async(ocrQueue(),
                [request, id, path] { answer(request, recognised(id, recognizeText(path))); });
}

void settleImageRequests(double seconds) {
    loop::awaitWork(seconds, [] {
        std::lock_guard lock(answersLock);
        return unanswered.empty();
    });
    std::lock_guard lock(answersLock);
    for (auto& [request, failure] : unanswered)
        emit(std::move(failure));
    unanswered.clear();
}
