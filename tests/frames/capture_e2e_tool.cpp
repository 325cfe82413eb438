// Drives frame capture on a real X display, one command a line on standard input, answers and
// events as JSON lines on standard output:
//   list                 the window list, front to back
//   frames on|off        the frames switch
//   frame PID TITLE...   captureFrame for that process as the observed one, the title as its window
//   shot ID              a picture of one window through the backend, with its centre colour
//   look PATH            the centre colour of an image file
//   quit
// The frames directory is the first argument; recording runs from the start.
#include "platform/capture.h"
#include "platform/loop.h"
#include "platform/windows.h"
#include "watch/accessibility/observe.h"
#include "watch/core/emit.h"
#include "watch/core/state.h"
#include "watch/frames/capture.h"
#include "watch/frames/images.h"

#include <sstream>
#include <string>

namespace {

json colour(int r, int g, int b) {
    return json::array({r, g, b});
}

json centreOf(const capture::Picture& p) {
    const uint8_t* px =
        &p.pixels[static_cast<std::size_t>((p.height / 2) * p.stride + (p.width / 2) * 4)];
    return colour(px[2], px[1], px[0]);
}

void run(const std::string& line) {
    std::istringstream in(line);
    std::string word;
    in >> word;
    if (word == "list") {
        json list = json::array();
        for (auto& w : windows::onScreen().value_or(std::vector<windows::Info>{})) {
            json bounds =
                w.bounds
                    ? json::array({w.bounds->x, w.bounds->y, w.bounds->width, w.bounds->height})
                    : json();
            list.push_back({{"id", w.number},
                            {"pid", w.pid},
                            {"layer", w.layer},
                            {"bounds", bounds},
                            {"title", w.title}});
        }
        emit({{"kind", "list"}, {"windows", list}});
    } else if (word == "frames") {
        in >> word;
        framesOn = word == "on";
        framesChanged();
        emit({{"kind", "frames"}, {"on", framesOn.load()}});
    } else if (word == "frame") {
        in >> observedPid >> std::ws;
        std::getline(in, currentWindow);
        captureFrame("e2e");
        // Said at once: what the capture gives comes later, what the checks refuse never does.
        emit({{"kind", "asked"}});
    } else if (word == "shot") {
        uint32_t id = 0;
        in >> id;
        capture::captureWindow(id, [](capture::Result r) {
            static const char* names[] = {"none", "unavailable", "window_gone", "failed"};
            json shot = {{"kind", "shot"}, {"failure", names[static_cast<int>(r.failure)]}};
            if (r.picture) {
                shot["w"] = r.picture->width;
                shot["h"] = r.picture->height;
                shot["centre"] = centreOf(*r.picture);
            }
            emit(shot);
        });
    } else if (word == "look") {
        std::string path;
        in >> path;
        startImages();
        auto image = vips::VImage::new_from_file(path.c_str());
        auto px = image.getpoint(image.width() / 2, image.height() / 2);
        emit({{"kind", "look"},
              {"w", image.width()},
              {"h", image.height()},
              {"centre", colour(static_cast<int>(px.at(0)), static_cast<int>(px.at(1)),
                                static_cast<int>(px.at(2)))}});
    } else if (word == "quit") {
        loop::sync(outQueue, [] {});
        loop::exitProcess(0);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    makeQueues();
    framesDir = argv[1];
    paused = false;
    framesChanged();
    loop::readStdin([buffer = std::string()](std::string_view chunk) mutable {
        if (chunk.empty()) chunk = "quit\n";
        buffer += chunk;
        for (std::size_t end; (end = buffer.find('\n')) != std::string::npos;) {
            loop::onMain([line = buffer.substr(0, end)] { run(line); });
            buffer.erase(0, end + 1);
        }
    });
    loop::run();
}
