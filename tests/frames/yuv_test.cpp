// The fast frame path (YCbCr planes, scaler, raw-data encoder) against the pictures it was given
// and against the libvips path it stands in for.
#include "helpers.h"
#include "watch/core/state.h"
#include "watch/frames/yuv.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>

namespace {

using vips::VImage;

std::array<double, 3> meanColour(const Decoded& d, int x0, int y0, int x1, int y1) {
    std::array<double, 3> sum{};
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
            for (int b = 0; b < 3; ++b)
                sum[b] += d.at(x, y, b);
    const double n = static_cast<double>(x1 - x0) * (y1 - y0);
    for (auto& s : sum)
        s /= n;
    return sum;
}

std::array<double, 3> meanColour(const Picture& p) {
    std::array<double, 3> sum{};
    const bool bgr = p.order == Picture::Order::bgra;
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) {
            const auto* px = &p.pixels[y * p.stride + x * 4];
            sum[0] += px[bgr ? 2 : 0];
            sum[1] += px[1];
            sum[2] += px[bgr ? 0 : 2];
        }
    for (auto& s : sum)
        s /= static_cast<double>(p.width) * p.height;
    return sum;
}

void expectNear(const std::array<double, 3>& got, const std::array<double, 3>& want,
                double tolerance, const std::string& what) {
    for (int b = 0; b < 3; ++b)
        EXPECT_NEAR(got[b], want[b], tolerance) << what << " band " << b;
}

std::string writeFast(const Picture& p, const TempDir& dir, const std::string& name) {
    auto frame = shrinkFrameYuv(p);
    EXPECT_TRUE(frame) << p.width << "x" << p.height;
    std::string path = dir.str() + "/" + name;
    EXPECT_TRUE(frame && writeJpeg(*frame, path)) << p.width << "x" << p.height;
    return path;
}

std::string writeVips(const Picture& p, const TempDir& dir, const std::string& name) {
    std::string path = dir.str() + "/" + name;
    EXPECT_TRUE(writeJpeg(shrinkFrame(*pictureImage(p)).copy_memory(), path));
    return path;
}

// A window-like picture: panels, a gradient, and lines of rendered text.
Picture screenPicture(int width, int height, Picture::Order order = Picture::Order::bgra,
                      std::size_t pad = 0, int cursorX = -1) {
    startImages();
    VImage page = VImage::black(width, height, VImage::option()->set("bands", 3)) + 248;
    page = page.insert(VImage::black(width, height / 16, VImage::option()->set("bands", 3)) +
                           std::vector<double>{220, 226, 234},
                       0, 0);
    page = page.insert(VImage::black(width / 6, height, VImage::option()->set("bands", 3)) +
                           std::vector<double>{38, 44, 58},
                       0, height / 16);
    VImage ramp = VImage::xyz(width / 3, height / 8)[0] * (255.0 / (width / 3));
    page =
        page.insert(VImage::bandjoin({ramp, ramp * 0.5 + 60, 255 - ramp}), width / 2, height / 10);
    VImage ink = VImage::text("Quarterly figures: Invoice 4521 is still open, please check.\n"
                              "Meeting notes: ship the release candidate on the 14th.",
                              VImage::option()
                                  ->set("font", "DejaVu Sans 40")
                                  ->set("width", width * 2 / 3)
                                  ->set("dpi", 72));
    ink = ink.extract_area(0, 0, std::min(ink.width(), width - width / 5),
                           std::min(ink.height(), height - height / 3));
    VImage under = page.extract_area(width / 5, height / 3, ink.width(), ink.height());
    page = page.insert(under * (1 - ink / 255.0) + ink / 255.0 * 25, width / 5, height / 3);
    page = page.cast(VIPS_FORMAT_UCHAR);
    std::size_t size = 0;
    void* mem = page.write_to_memory(&size);
    std::vector<std::uint8_t> rgb(static_cast<std::uint8_t*>(mem),
                                  static_cast<std::uint8_t*>(mem) + size);
    g_free(mem);
    return makePicture(
        width, height,
        [&](int x, int y) -> Rgb {
            if (x >= cursorX && x < cursorX + 2 && y >= height / 3 && y < height / 3 + 30)
                return {0, 0, 0};
            const auto* px = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
            return {px[0], px[1], px[2]};
        },
        order, pad);
}

// The segments of a JPEG file up to the scan, by marker.
std::multimap<int, std::string> segments(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::multimap<int, std::string> out;
    std::size_t i = 2; // after SOI
    while (i + 4 <= bytes.size() && static_cast<unsigned char>(bytes[i]) == 0xff) {
        const int marker = static_cast<unsigned char>(bytes[i + 1]);
        const std::size_t length = static_cast<unsigned char>(bytes[i + 2]) << 8 |
                                   static_cast<unsigned char>(bytes[i + 3]);
        out.emplace(marker, bytes.substr(i + 4, length - 2));
        if (marker == 0xda) break; // start of scan
        i += 2 + length;
    }
    return out;
}

TEST(FastFrame, SizesOddAndUnshrunk) {
    TempDir dir;
    const std::pair<int, int> sizes[] = {
        {1000, 700}, {3000, 1}, {1281, 3}, {700, 2000},  {1, 1},      {1, 2},
        {2, 1},      {3, 3},    {17, 9},   {1279, 719},  {1280, 800}, {2561, 1601},
        {1921, 601}, {4001, 3}, {5, 4000}, {1283, 1282}, {1301, 97},  {97, 1301}};
    auto colour = [](int x, int y) {
        return Rgb{static_cast<std::uint8_t>(40 + x % 160),
                   static_cast<std::uint8_t>(200 - y % 150),
                   static_cast<std::uint8_t>(90 + (x + y) % 60)};
    };
    int n = 0;
    // Byte orders and row padding take turns; other tests cover each with every colour.
    for (auto [w, h] : sizes) {
        {
            const auto order = n % 2 ? Picture::Order::rgba : Picture::Order::bgra;
            const std::string what = std::to_string(w) + "x" + std::to_string(h);
            Picture p = makePicture(w, h, colour, order, n / 2 % 2 ? 8 : 0);
            auto frame = shrinkFrameYuv(p);
            ASSERT_TRUE(frame) << what;
            const auto [ew, eh] = frameSize(w, h);
            EXPECT_EQ(frame->width, ew) << what;
            EXPECT_EQ(frame->height, eh) << what;
            EXPECT_EQ(frame->luma.width, ew) << what;
            EXPECT_EQ(frame->cb.width, (ew + 1) / 2) << what;
            EXPECT_EQ(frame->cr.height, (eh + 1) / 2) << what;
            std::string path = dir.str() + "/f" + std::to_string(n++) + ".jpg";
            ASSERT_TRUE(writeJpeg(*frame, path)) << what;
            Decoded file = decode(path);
            EXPECT_EQ(file.width, ew) << what;
            EXPECT_EQ(file.height, eh) << what;
            EXPECT_EQ(file.bands, 3) << what;
            // Tiny pictures carry few samples for JPEG's blocks to average over.
            expectNear(meanColour(file, 0, 0, ew, eh), meanColour(p), ew * eh < 64 ? 12 : 4, what);
        }
    }
}

TEST(FastFrame, SolidColoursKeepTheirValues) {
    TempDir dir;
    const Rgb colours[] = {{0, 0, 0},     {255, 255, 255}, {128, 128, 128}, {255, 0, 0},
                           {0, 255, 0},   {0, 0, 255},     {200, 120, 40},  {30, 60, 200},
                           {250, 250, 5}, {16, 235, 128}};
    int n = 0;
    for (auto [w, h] : {std::pair{64, 48}, std::pair{33, 17}, std::pair{1500, 41}})
        for (auto order : {Picture::Order::bgra, Picture::Order::rgba})
            for (Rgb c : colours) {
                Picture p = makePicture(
                    w, h, [&](int, int) { return c; }, order);
                Decoded file = decode(writeFast(p, dir, "c" + std::to_string(n++) + ".jpg"));
                const std::string what = std::to_string(w) + "x" + std::to_string(h) + " colour " +
                                         std::to_string(c[0]) + "," + std::to_string(c[1]) + "," +
                                         std::to_string(c[2]);
                const std::array<double, 3> want{double(c[0]), double(c[1]), double(c[2])};
                const int fw = file.width, fh = file.height;
                expectNear(meanColour(file, fw / 4, fh / 4, fw * 3 / 4, fh * 3 / 4), want, 3, what);
                // The last column and row share their blocks with padding, which must repeat
                // the edge rather than ring into it.
                expectNear(meanColour(file, fw - 1, 0, fw, fh), want, 3, what + " right edge");
                expectNear(meanColour(file, 0, fh - 1, fw, fh), want, 3, what + " bottom edge");
            }
}

TEST(FastFrame, QuartersStayInPlace) {
    TempDir dir;
    const Rgb quarters[4] = {{230, 30, 30}, {30, 200, 40}, {20, 40, 220}, {250, 250, 250}};
    int n = 0;
    for (auto [w, h] : {std::pair{2000, 1000}, std::pair{301, 201}, std::pair{1000, 2601}})
        for (auto order : {Picture::Order::bgra, Picture::Order::rgba})
            for (std::size_t pad : {std::size_t{0}, std::size_t{12}}) {
                Picture p = makePicture(
                    w, h, [&](int x, int y) { return quarters[(y >= h / 2) * 2 + (x >= w / 2)]; },
                    order, pad);
                Decoded file = decode(writeFast(p, dir, "q" + std::to_string(n++) + ".jpg"));
                const int fw = file.width, fh = file.height;
                for (int q = 0; q < 4; ++q) {
                    const int x0 = (q % 2) * fw / 2, y0 = (q / 2) * fh / 2;
                    auto got = meanColour(file, x0 + fw / 10, y0 + fh / 10, x0 + fw / 2 - fw / 10,
                                          y0 + fh / 2 - fh / 10);
                    expectNear(
                        got,
                        {double(quarters[q][0]), double(quarters[q][1]), double(quarters[q][2])}, 4,
                        std::to_string(w) + "x" + std::to_string(h) + " quarter " +
                            std::to_string(q));
                }
            }
}

TEST(FastFrame, LooksLikeTheLibvipsFrame) {
    TempDir dir;
    for (auto [w, h] : {std::pair{2560, 1600}, std::pair{1200, 750}}) {
        Picture p = screenPicture(w, h);
        Decoded fast = decode(writeFast(p, dir, "fast.jpg"));
        Decoded slow = decode(writeVips(p, dir, "vips.jpg"));
        ASSERT_EQ(fast.width, slow.width);
        ASSERT_EQ(fast.height, slow.height);
        double squared = 0;
        for (std::size_t i = 0; i < fast.bytes.size(); ++i) {
            const double d = fast.bytes[i] - slow.bytes[i];
            squared += d * d;
        }
        const double psnr = 10 * std::log10(255.0 * 255.0 * fast.bytes.size() / squared);
        EXPECT_GT(psnr, 34) << w << "x" << h;
        expectNear(meanColour(fast, 0, 0, fast.width, fast.height),
                   meanColour(slow, 0, 0, slow.width, slow.height), 1.0,
                   "mean colour " + std::to_string(w));
        // The same encoder settings: tables, sampling and no metadata.
        auto a = segments(dir.str() + "/fast.jpg"), b = segments(dir.str() + "/vips.jpg");
        auto both = [&](int marker) {
            std::vector<std::string> x, y;
            for (auto [it, end] = a.equal_range(marker); it != end; ++it)
                x.push_back(it->second);
            for (auto [it, end] = b.equal_range(marker); it != end; ++it)
                y.push_back(it->second);
            EXPECT_EQ(x, y) << std::hex << marker;
            return x.size();
        };
        EXPECT_EQ(both(0xdb), 2u);    // quantisation tables, luma and chroma
        EXPECT_EQ(both(0xc0), 1u);    // baseline frame: size and 2x2, 1x1, 1x1 sampling
        EXPECT_EQ(both(0xc4), 4u);    // the standard Huffman tables, not optimised ones
        EXPECT_EQ(a.count(0xe1), 0u); // no Exif
        EXPECT_EQ(a.count(0xc2), 0u); // not progressive
    }
}

TEST(FastFrame, HashIsStable) {
    Picture p = screenPicture(2560, 1600);
    const std::uint64_t hash = differenceHash(*shrinkFrameYuv(p));
    EXPECT_NE(hash, 0u);
    EXPECT_EQ(differenceHash(*shrinkFrameYuv(p)), hash);
    // Byte order and row padding of the capture do not change it.
    EXPECT_EQ(differenceHash(*shrinkFrameYuv(screenPicture(2560, 1600, Picture::Order::rgba, 32))),
              hash);
    // Both paths see the same picture.
    const std::uint64_t vips = differenceHash(shrinkFrame(*pictureImage(p)).copy_memory());
    EXPECT_LE(std::popcount(hash ^ vips), 5) << std::hex << hash << " " << vips;
    // A blinking cursor is the same frame; a picture darkening to the right is not.
    auto cursor = screenPicture(2560, 1600, Picture::Order::bgra, 0, 900);
    EXPECT_LE(std::popcount(differenceHash(*shrinkFrameYuv(cursor)) ^ hash), 5);
    auto other = makePicture(2560, 1600, [](int x, int y) {
        return Rgb{static_cast<std::uint8_t>(255 - x / 11), static_cast<std::uint8_t>(y / 7), 90};
    });
    EXPECT_GT(std::popcount(differenceHash(*shrinkFrameYuv(other)) ^ hash), 5);
    // Flat pictures set no bit, at any size.
    for (auto [w, h] : {std::pair{2560, 1600}, std::pair{3000, 1}, std::pair{5, 3}})
        EXPECT_EQ(differenceHash(*shrinkFrameYuv(greyPicture(w, h, [](int, int) { return 77; }))),
                  0u);
}

TEST(FastFrame, WriteIsPrivateAndAtomic) {
    TempDir dir;
    const std::string path = dir.str() + "/f1.jpg";
    const mode_t old = ::umask(0); // the mode is set on the file, not left to the mask
    auto frame = shrinkFrameYuv(greyPicture(64, 32, [](int x, int) { return x * 3; }));
    ASSERT_TRUE(frame);
    EXPECT_TRUE(writeJpeg(*frame, path));
    ::umask(old);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600);
    EXPECT_EQ(decode(path).width, 64);

    // Wider than JPEG allows: the encoder fails part way, and the old file stays whole.
    auto tooWide = makeFrame(70000, 2);
    ASSERT_TRUE(tooWide);
    for (Plane* plane : {&tooWide->luma, &tooWide->cb, &tooWide->cr})
        std::memset(plane->bytes.get(), 128, plane->stride * 8);
    EXPECT_TRUE(encodeJpeg(*tooWide).empty());
    EXPECT_FALSE(writeJpeg(*tooWide, path));
    EXPECT_FALSE(writeJpeg(YuvFrame{}, path));
    EXPECT_EQ(decode(path).width, 64);

    EXPECT_FALSE(writeJpeg(*frame, dir.str() + "/none/f2.jpg"));
    fs::create_directory(dir.path / "taken");
    EXPECT_FALSE(writeJpeg(*frame, dir.str() + "/taken"));
    EXPECT_FALSE(writeJpeg(*frame, dir.str() + "/"));
    EXPECT_EQ(dir.files().size(), 2u); // no temporary file stays behind

    fs::path outside = dir.path / "outside.txt";
    { std::ofstream(outside) << "keep me"; }
    fs::create_symlink(outside, dir.path / "link.jpg");
    ASSERT_TRUE(writeJpeg(*frame, dir.str() + "/link.jpg"));
    EXPECT_FALSE(fs::is_symlink(dir.path / "link.jpg"));
    EXPECT_EQ(fs::file_size(outside), 7u);
}

TEST(FastFrame, KeptFrameIsTheFastOne) {
    TempDir dir;
    sim::reset();
    makeQueues();
    framesDir = dir.str();
    lastFrameWindow.clear();
    Picture p = screenPicture(1700, 1100, Picture::Order::rgba, 4);
    keepFrame(p, "value", "key", 1);
    auto events = takeEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["w"], 1280);
    EXPECT_EQ(events[0]["h"], 828);
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx",
                  static_cast<unsigned long long>(differenceHash(*shrinkFrameYuv(p))));
    EXPECT_EQ(events[0]["dhash"], hex);
    // The same picture again is a duplicate; one too wide for JPEG leaves nothing.
    keepFrame(p, "value", "key", 1);
    EXPECT_EQ(takeEvents()[0]["kind"], "frame_dropped");
    keepFrame(greyPicture(70000, 1, [](int x, int) { return x % 200; }), "value", "key2", 1);
    EXPECT_TRUE(takeEvents().empty());
    EXPECT_EQ(dir.files().size(), 1u);
}

TEST(FastFrame, WhatItRefusesLibvipsKeeps) {
    TempDir dir;
    sim::reset();
    makeQueues();
    framesDir = dir.str();
    // Too wide for libjpeg-turbo's converter, though not once shrunk.
    Picture wide = greyPicture(66000, 100, [](int x, int y) { return (x / 500 + y) % 250; });
    EXPECT_FALSE(shrinkFrameYuv(wide));
    keepFrame(wide, "value", "wide", 1);
    auto events = takeEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["kind"], "frame");
    EXPECT_EQ(events[0]["w"], 1280);
    EXPECT_EQ(events[0]["h"], 2);
    EXPECT_EQ(decode(events[0]["path"]).width, 1280);
    // Nor does either take a picture whose rows are shorter than its width.
    Picture bad = greyPicture(64, 64, [](int, int) { return 9; });
    bad.stride = 200;
    EXPECT_FALSE(shrinkFrameYuv(bad));
    keepFrame(bad, "value", "bad", 1);
    EXPECT_TRUE(takeEvents().empty());
}

} // namespace
