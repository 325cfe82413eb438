#pragma once
// Pictures, temporary directories and event capture for the frame tests.
#include "common/jsonline.h"
#include "platform/sim/sim.h"
#include "watch/core/emit.h"
#include "watch/frames/images.h"
#include "watch/frames/keep.h"

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

struct TempDir {
    fs::path path;
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "frames-test-XXXXXX").string();
        path = ::mkdtemp(tmpl.data());
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    std::string str() const { return path.string(); }
    std::vector<std::string> files() const {
        std::vector<std::string> out;
        for (auto& e : fs::directory_iterator(path))
            out.push_back(e.path().filename().string());
        return out;
    }
};

using Rgb = std::array<std::uint8_t, 3>;

inline Picture makePicture(int w, int h, const std::function<Rgb(int x, int y)>& colour,
                           Picture::Order order = Picture::Order::bgra, std::size_t pad = 0) {
    Picture p;
    p.width = w;
    p.height = h;
    p.order = order;
    p.stride = static_cast<std::size_t>(w) * 4 + pad;
    p.pixels.assign(p.stride * static_cast<std::size_t>(h), 0x55);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            Rgb c = colour(x, y);
            auto* px = &p.pixels[y * p.stride + x * 4];
            bool bgr = order == Picture::Order::bgra;
            px[0] = bgr ? c[2] : c[0];
            px[1] = c[1];
            px[2] = bgr ? c[0] : c[2];
            px[3] = 0; // ignored: windows are opaque
        }
    return p;
}

inline Picture greyPicture(int w, int h, const std::function<std::uint8_t(int x, int y)>& grey) {
    return makePicture(w, h, [&](int x, int y) {
        auto v = grey(x, y);
        return Rgb{v, v, v};
    });
}

inline std::vector<json> takeEvents() {
    sim::drain();
    std::vector<json> out;
    for (auto& line : sim::takeLines())
        out.push_back(json::parse(line));
    return out;
}

// The decoded pixels of an image file as one flat uchar buffer, and its size.
struct Decoded {
    int width = 0, height = 0, bands = 0;
    std::vector<std::uint8_t> bytes;
    int at(int x, int y, int band = 0) const { return bytes[(y * width + x) * bands + band]; }
};

inline Decoded decode(const std::string& path) {
    startImages();
    auto image = vips::VImage::new_from_file(path.c_str());
    Decoded d{image.width(), image.height(), image.bands(), {}};
    std::size_t size = 0;
    void* mem = image.cast(VIPS_FORMAT_UCHAR).write_to_memory(&size);
    d.bytes.assign(static_cast<std::uint8_t*>(mem), static_cast<std::uint8_t*>(mem) + size);
    g_free(mem);
    return d;
}
