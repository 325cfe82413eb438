#include "watch/core/state.h"
#include "platform/workspace.h"
#include "watch/accessibility/notices.h"
#include "watch/accessibility/observe.h"
#include "watch/accessibility/window.h"
#include "watch/core/emit.h"
#include "watch/core/process.h"
#include "watch/frames/capture.h"
#include "watch/frames/framesdir.h"
#include "watch/frames/imagejobs.h"
#include "watch/input/clicks.h"
#include "watch/input/keys.h"
#include "watch/input/pasteboard.h"

#include <cctype>

std::atomic<bool> paused{true};
std::atomic<bool> framesOn{true};
std::string framesDir;
std::set<std::string> skipBundles;
std::vector<std::string> skipHosts;

bool truthOf(const json& value) {
    if (value.is_boolean()) return value.get<bool>();
    if (value.is_number_integer()) return value.get<long long>() != 0;
    if (value.is_number_unsigned()) return value.get<unsigned long long>() != 0;
    if (value.is_number_float()) return value.get<double>() != 0.0;
    if (!value.is_string()) return false;
    const std::string& s = value.get_ref<const std::string&>();
    std::size_t i = 0;
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i])))
        ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    while (i < s.size() && s[i] == '0')
        ++i;
    if (i >= s.size()) return false;
    char c = s[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

namespace {

bool isFalseStart(const json& start) {
    if (start.is_boolean()) return !start.get<bool>();
    if (start.is_number()) return start.get<double>() == 0.0;
    return false;
}

void configure(const json& cmd) {
    skipBundles.clear();
    if (auto it = cmd.find("skip_bundles"); it != cmd.end() && it->is_array())
        for (auto& v : *it)
            if (v.is_string()) skipBundles.insert(v.get<std::string>());

    skipHosts.clear();
    if (auto it = cmd.find("skip_hosts"); it != cmd.end() && it->is_array())
        for (auto& v : *it)
            if (v.is_string()) skipHosts.push_back(v.get<std::string>());

    if (auto it = cmd.find("frames_dir"); it != cmd.end() && it->is_string()) {
        framesDir = it->get<std::string>();
        framesDirChanged();
    }
    if (auto it = cmd.find("frames"); it != cmd.end()) framesOn.store(truthOf(*it));

    emit({{"kind", "configured"},
          {"skip_bundles", skipBundles.size()},
          {"skip_hosts", skipHosts.size()}});

    if (paused.load()) {
        auto start = cmd.find("start");
        if (start != cmd.end() && isFalseStart(*start)) return;
        doResume();
    } else {
        observeFront();
    }
}

} // namespace

void doResume() {
    if (!paused.load()) return;
    paused.store(false);
    // A copy made while paused is never told, also when it is seen only now.
    rememberPasteboardCount();
    emit({{"kind", "resumed"}});
    if (!tap && !globalMonitor) startInput();
    observeFront();
}

void pauseRecording() {
    if (paused.load()) return;
    paused.store(true);
    for (auto* timer : {&valueTimer, &frameTimer, &scrollTimer, &windowTimer, &walkTimer})
        if (*timer) loop::cancel(*timer);
    pendingValueElement.reset();
    flushKeys();
    stopInput();
    tearDownObservation();
    restoreAll();
    emit({{"kind", "paused"}});
}

void handleCommand(const json& command) {
    static const std::string none;
    auto it = command.find("cmd");
    const std::string& cmd =
        (it != command.end() && it->is_string()) ? it->get_ref<const std::string&>() : none;
    if (cmd == "config") {
        configure(command);
        framesChanged();
    } else if (cmd == "frames") {
        auto on = command.find("on");
        framesOn.store(on != command.end() && truthOf(*on));
        framesChanged();
    } else if (cmd == "pause") {
        pauseRecording();
        framesChanged();
    } else if (cmd == "resume") {
        doResume();
        framesChanged();
    } else if (cmd == "stop") {
        finish();
    } else if (cmd == "probe") {
        emit(probe());
    } else if (cmd == "names") {
        dispatchNames(command);
    } else if (cmd == "blur") {
        dispatchBlur(command);
    } else if (cmd == "ocr") {
        dispatchOcr(command);
    }
}
