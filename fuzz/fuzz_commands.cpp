// Standard input as the host could write it: framing, parsing and every command's handling.
// The first byte picks chunk sizes, so lines are split across reads in many ways.
// The image commands work on real files: the working directory is a directory of our own with
// a frames directory of small pictures, a FIFO, a link out and a lying header.
#include "platform/sim/sim.h"
#include "watch/core/emit.h"
#include "watch/core/process.h"
#include "watch/core/reader.h"
#include "watch/core/state.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <vips/vips8>

namespace {

namespace fs = std::filesystem;

// Put back after every input that blurred: a blur rewrites them as JPEG.
void writePictures() {
    auto picture = (vips::VImage::xyz(24, 16)[0] * 10).cast(VIPS_FORMAT_UCHAR);
    picture.write_to_file("frames/a.png");
    picture.write_to_file("frames/b.jpg");
    picture.write_to_file("frames/sub/c.ppm");
    picture.write_to_file("outside.png");
    // A header that claims 10,000 x 10,000 pixels, and a JPEG cut short.
    static const unsigned char lie[] = {
        0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48,
        0x44, 0x52, 0x00, 0x00, 0x27, 0x10, 0x00, 0x00, 0x27, 0x10, 0x08, 0x02, 0x00, 0x00,
        0x00, 0x35, 0x2c, 0xf5, 0x70, 0x00, 0x00, 0x00, 0x0b, 0x49, 0x44, 0x41, 0x54, 0x78,
        0x9c, 0x63, 0x60, 0x80, 0x01, 0x00, 0x00, 0x0a, 0x00, 0x01, 0x7f, 0x80, 0x74, 0x5e};
    std::ofstream("frames/lie.png", std::ios::binary)
        .write(reinterpret_cast<const char*>(lie), sizeof lie);
    std::ifstream whole("frames/b.jpg", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(whole)), std::istreambuf_iterator<char>());
    std::ofstream("frames/cut.jpg", std::ios::binary) << bytes.substr(0, bytes.size() / 2);
}

void makeFrames() {
    std::string dir = (fs::temp_directory_path() / "fuzz-commands-XXXXXX").string();
    if (!::mkdtemp(dir.data())) std::abort();
    fs::current_path(dir);
    fs::create_directories("frames/sub");
    writePictures();
    ::mkfifo("frames/fifo.png", 0600);
    fs::create_symlink("../outside.png", "frames/link.png");
}

// Whatever frames directory a command names, one inside our own directory stands in for it:
// "blur" would rewrite the pictures of any other.
void keepFramesHere(json& cmd) {
    auto dir = cmd.find("frames_dir");
    if (dir == cmd.end() || !dir->is_string()) return;
    static const char* const ours[] = {"", "frames", "frames/", "frames/sub", "./frames/../frames"};
    *dir = ours[std::hash<std::string>{}(dir->get<std::string>()) % std::size(ours)];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool started = [] {
        sim::reset();
        makeFrames();
        char arg0[] = "watch";
        char* argv[] = {arg0, nullptr};
        startWatch(1, argv);
        return true;
    }();
    (void)started;
    if (size == 0) return 0;
    std::size_t step = 1 + data[0] % 64;
    LineReader reader;
    bool blurred = false;
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    while (!rest.empty()) {
        auto chunk = rest.substr(0, step);
        rest.remove_prefix(chunk.size());
        feedInput(reader, chunk, [&](json cmd) {
            keepFramesHere(cmd);
            auto name = cmd.find("cmd");
            blurred = blurred || (name != cmd.end() && *name == "blur");
            try {
                handleCommand(cmd);
            } catch (const sim::Exit&) {
                makeQueues(); // the stream closed with "stopped"; the next input starts afresh
            }
        });
    }
    try {
        sim::drain();
    } catch (const sim::Exit&) {
        makeQueues();
    }
    sim::takeLines();
    if (blurred) writePictures();
    return 0;
}
