#pragma once
// Runs the watcher on the simulated desktop and reads what it writes.
#include "common/jsonline.h"
#include "platform/sim/desktop.h"
#include "platform/sim/sim.h"
#include "watch/core/process.h"

#include <optional>
#include <string>
#include <vector>

struct Watcher {
    std::optional<int> exitStatus;

    explicit Watcher(std::optional<workspace::App> front = workspace::App{321, "Editor",
                                                                          "com.example.editor"}) {
        sim::reset();
        sim::setFrontApp(front);
        char arg0[] = "watch";
        char* argv[] = {arg0, nullptr};
        startWatch(1, argv);
        run();
    }

    // Runs queued work; notes the exit status when the program ended.
    void run(double seconds = 0) {
        try {
            if (seconds > 0)
                sim::advance(seconds);
            else
                sim::drain();
        } catch (const sim::Exit& e) {
            exitStatus = e.status;
        }
    }

    std::vector<json> lines() {
        std::vector<json> out;
        for (auto& l : sim::takeLines())
            out.push_back(json::parse(l));
        return out;
    }

    std::vector<std::string> kinds() {
        std::vector<std::string> out;
        for (auto& j : lines())
            out.push_back(j.value("kind", "?"));
        return out;
    }

    // Writes to standard input and runs what it caused.
    Watcher& send(std::string_view bytes) {
        try {
            sim::feedStdin(bytes);
        } catch (const sim::Exit& e) {
            exitStatus = e.status;
        }
        run();
        return *this;
    }
    Watcher& command(const json& cmd) { return send(jsonline::dump(cmd) + "\n"); }
};
