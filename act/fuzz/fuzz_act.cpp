// Command lines as the host could write them, on a simulated desktop where the target is in
// front: every run must end in exactly one JSON line and status 0 (ok) or 2 (not ok).
#include "act/act.h"
#include "common/jsonline.h"
#include "platform/sim/act_desktop.h"
#include "platform/sim/desktop.h"
#include "platform/sim/sim.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = [] {
        sim::setFrontApp(workspace::App{700, "Notes", "org.example.Notes"});
        windows::Info w;
        w.pid = 700;
        w.bounds = windows::Rect{0, 0, 2000, 2000};
        sim::setWindows(std::vector<windows::Info>{w});
        return true;
    }();
    (void)ready;
    // Words are separated by NUL bytes, as they are in a real argument vector.
    std::vector<std::string> words{"act"};
    std::string word;
    for (size_t i = 0; i < size && words.size() < 12; ++i) {
        if (data[i] == 0) {
            words.push_back(word);
            word.clear();
        } else {
            word += static_cast<char>(data[i]);
        }
    }
    if (words.size() < 12) words.push_back(word);
    std::vector<char*> argv;
    for (auto& w : words)
        argv.push_back(w.data());
    sim::reset();
    sim::resetPosting();
    int status = -1;
    try {
        runAct(static_cast<int>(argv.size()), argv.data());
    } catch (const sim::Exit& e) {
        status = e.status;
    }
    std::string out = sim::output();
    if (out.empty() || out.find('\n') != out.size() - 1) std::abort();
    json reply = json::parse(out, nullptr, false);
    if (!reply.is_object() || !reply.contains("ok") || !reply["ok"].is_boolean()) std::abort();
    if (status != (reply["ok"] == true ? 0 : 2)) std::abort();
    return 0;
}
