// Standard input as the host could write it: framing, parsing and every command's handling.
// The first byte picks chunk sizes, so lines are split across reads in many ways.
#include "platform/sim/sim.h"
#include "watch/core/process.h"
#include "watch/core/reader.h"
#include "watch/core/state.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool started = [] {
        sim::reset();
        char arg0[] = "watch";
        char* argv[] = {arg0, nullptr};
        startWatch(1, argv);
        return true;
    }();
    (void)started;
    if (size == 0) return 0;
    std::size_t step = 1 + data[0] % 64;
    LineReader reader;
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    while (!rest.empty()) {
        auto chunk = rest.substr(0, step);
        rest.remove_prefix(chunk.size());
        feedInput(reader, chunk, [](json cmd) {
            // Image jobs touch real files; they have fuzzers of their own.
            auto name = cmd.find("cmd");
            if (name != cmd.end() && (*name == "blur" || *name == "ocr")) return;
            try {
                handleCommand(cmd);
            } catch (const sim::Exit&) {
            }
        });
    }
    try {
        sim::drain();
    } catch (const sim::Exit&) {
    }
    sim::takeLines();
    return 0;
}
