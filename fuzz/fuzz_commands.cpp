// Standard input as the host could write it: framing, parsing and every command's handling.
// The first byte picks chunk sizes, so lines are split across reads in many ways.
// The image commands work on real files: a directory of our own holds a frames directory of
// small pictures, a FIFO, a link out and a lying header; paths beginning "frames/" lead there.
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

fs::path ours; // the working directory stays as it is: libFuzzer reads and writes corpora there

// Put back after every input that blurred: a blur rewrites them as JPEG.
std::string at(const char* name) {
    return (ours / name).string();
}

void writePictures() {
    auto picture = (vips::VImage::xyz(24, 16)[0] * 10).cast(VIPS_FORMAT_UCHAR);
    picture.write_to_file(at("frames/a.png").c_str());
    picture.write_to_file(at("frames/b.jpg").c_str());
    picture.write_to_file(at("frames/sub/c.ppm").c_str());
    picture.write_to_file(at("outside.png").c_str());
    // A header that claims 10,000 x 10,000 pixels, and a JPEG cut short.
    static const unsigned char lie[] = {
        0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48,
        0x44, 0x52, 0x00, 0x00, 0x27, 0x10, 0x00, 0x00, 0x27, 0x10, 0x08, 0x02, 0x00, 0x00,
        0x00, 0x35, 0x2c, 0xf5, 0x70, 0x00, 0x00, 0x00, 0x0b, 0x49, 0x44, 0x41, 0x54, 0x78,
        0x9c, 0x63, 0x60, 0x80, 0x01, 0x00, 0x00, 0x0a, 0x00, 0x01, 0x7f, 0x80, 0x74, 0x5e};
    std::ofstream(at("frames/lie.png"), std::ios::binary)
        .write(reinterpret_cast<const char*>(lie), sizeof lie);
    std::ifstream whole(at("frames/b.jpg"), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(whole)), std::istreambuf_iterator<char>());
    std::ofstream(at("frames/cut.jpg"), std::ios::binary) << bytes.substr(0, bytes.size() / 2);
}

void makeFrames() {
    std::string dir = (fs::temp_directory_path() / "fuzz-commands-XXXXXX").string();
    if (!::mkdtemp(dir.data())) std::abort();
    ours = dir;
    fs::create_directories(ours / "frames/sub");
    writePictures();
    ::mkfifo(at("frames/fifo.png").c_str(), 0600);
    fs::create_symlink("../outside.png", ours / "frames/link.png");
}

// Whatever frames directory a command names, one inside our own directory stands in for it:
// "blur" would rewrite the pictures of any other. Paths beginning "frames/" lead into ours.
void keepFramesHere(json& cmd) {
    if (auto dir = cmd.find("frames_dir"); dir != cmd.end() && dir->is_string()) {
        static const char* const choices[] = {"", "frames", "frames/", "frames/sub",
                                              "frames/../frames"};
        const char* pick = choices[std::hash<std::string>{}(*dir) % std::size(choices)];
        *dir = *pick ? at(pick) : "";
    }
    if (auto path = cmd.find("path"); path != cmd.end() && path->is_string() &&
                                      path->get_ref<const std::string&>().starts_with("frames/"))
        *path = (ours / path->get<std::string>()).string();
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
