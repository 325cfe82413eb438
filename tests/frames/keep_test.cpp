#include "helpers.h"
#include "watch/accessibility/observe.h"
#include "watch/core/state.h"

#include <algorithm>
#include <bit>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

// A picture of 9 x 8 cells, each cell x cell pixels, whose difference hash is `hash`.
Picture pictureWithHash(std::uint64_t hash, int cell = 10) {
    std::uint8_t grey[8][9];
    for (int r = 0; r < 8; ++r) {
        int v = 128;
        grey[r][8] = static_cast<std::uint8_t>(v);
        for (int c = 7; c >= 0; --c) {
            bool bit = (hash >> (63 - (r * 8 + c))) & 1;
            v += bit ? 8 : -8;
            grey[r][c] = static_cast<std::uint8_t>(v);
        }
    }
    return greyPicture(9 * cell, 8 * cell, [&](int x, int y) { return grey[y / cell][x / cell]; });
}

struct KeepFrame : ::testing::Test {
    TempDir dir;
    void SetUp() override {
        sim::reset();
        makeQueues();
        framesDir = dir.str();
        lastFrameHash = 0;
        lastFrameWindow.clear();
        lastFrameAt = 0;
        currentApp = "Editor";
        currentWindow = "Notes";
    }
    std::vector<json> keep(const Picture& p, const std::string& key = "7:Notes") {
        keepFrame(p, "value", key, 42);
        return takeEvents();
    }
};

TEST_F(KeepFrame, HashBitOrderAndThreshold) {
    auto hashOf = [](const Picture& p) { return differenceHash(*pictureImage(p)); };
    auto only = [](int row, int col) {
        return greyPicture(
            9, 8, [=](int x, int y) -> std::uint8_t { return x == col && y == row ? 200 : 20; });
    };
    EXPECT_EQ(hashOf(only(0, 0)), 0x8000000000000000u);
    EXPECT_EQ(hashOf(only(7, 7)), 0x0000000000000001u);
    EXPECT_EQ(hashOf(greyPicture(9, 8, [](int, int) { return 90; })), 0u);
    // Equal cells set no bit: only "strictly brighter" counts.
    for (std::uint64_t h : {0x00000000000000ffull, 0x0123456789abcdefull, ~0ull})
        EXPECT_EQ(hashOf(pictureWithHash(h)), h) << std::hex << h;
    // Byte order and row padding of the capture do not change what the picture shows.
    auto colourful = [](int x, int y) {
        return Rgb{static_cast<std::uint8_t>(x * 3), static_cast<std::uint8_t>(y * 2), 77};
    };
    auto a = makePicture(120, 90, colourful, Picture::Order::bgra);
    auto b = makePicture(120, 90, colourful, Picture::Order::rgba, 16);
    EXPECT_EQ(hashOf(a), hashOf(b));
    EXPECT_NE(hashOf(a), 0u);
}

TEST_F(KeepFrame, ShrinksToAtMost1280) {
    struct Case {
        int w, h, wantW, wantH;
    } cases[] = {{2560, 1600, 1280, 800},
                 {1000, 700, 1000, 700},
                 {3000, 1, 3000, 1},
                 {1281, 3, 1280, 3},
                 {700, 2000, 448, 1280}};
    int n = 0;
    for (auto c : cases) {
        auto events =
            keep(greyPicture(c.w, c.h, [](int x, int y) { return (x / 7 + y / 5) % 200; }),
                 "key" + std::to_string(n++));
        ASSERT_EQ(events.size(), 1u);
        auto& e = events[0];
        EXPECT_EQ(e["kind"], "frame");
        EXPECT_EQ(e["w"], c.wantW);
        EXPECT_EQ(e["h"], c.wantH);
        auto file = decode(e["path"]);
        EXPECT_EQ(file.width, c.wantW);
        EXPECT_EQ(file.height, c.wantH);
    }
}

TEST_F(KeepFrame, FrameEventAndFile) {
    auto events = keep(pictureWithHash(0xff));
    ASSERT_EQ(events.size(), 1u);
    auto e = events[0];
    std::string path = e["path"];
    EXPECT_EQ(e["dhash"], "00000000000000ff");
    EXPECT_EQ(e["why"], "value");
    EXPECT_EQ(e["window_id"], 42);
    EXPECT_EQ(e["app"], "Editor");
    EXPECT_EQ(e["window"], "Notes");
    EXPECT_EQ(e["bundle"], "");
    EXPECT_EQ(e["url"], "");
    // f<ms>-<n>.jpg directly in the frames directory, stamped with the keeping time.
    ASSERT_EQ(path.rfind(dir.str() + "/f" + std::to_string(millisecondsNow()) + "-", 0), 0u);
    EXPECT_EQ(path.substr(path.size() - 4), ".jpg");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600);
    EXPECT_EQ(dir.files().size(), 1u); // no temporary file left behind
    EXPECT_EQ(lastFrameWindow, "7:Notes");
    EXPECT_EQ(lastFrameHash, 0xffu);
    EXPECT_EQ(lastFrameAt, sim::clock());
    auto file = decode(path);
    EXPECT_EQ(file.width, 90);
    EXPECT_EQ(file.bands, 3);
}

TEST_F(KeepFrame, NearDuplicatesPerFrameKey) {
    const std::uint64_t base = 0x0123456789abcdefull;
    ASSERT_EQ(keep(pictureWithHash(base))[0]["kind"], "frame"); // the first is never "same"
    auto five = keep(pictureWithHash(base ^ 0x1f));
    ASSERT_EQ(five.size(), 1u);
    EXPECT_EQ(five[0], json({{"kind", "frame_dropped"}, {"why", "same"}, {"t", five[0]["t"]}}));
    EXPECT_EQ(lastFrameHash, base); // a dropped frame is not remembered
    EXPECT_EQ(keep(pictureWithHash(base ^ 0x3f))[0]["kind"], "frame");
    // The same picture under another key (the title changed) is kept.
    EXPECT_EQ(keep(pictureWithHash(base ^ 0x3f), "7:Other")[0]["kind"], "frame");
    EXPECT_EQ(dir.files().size(), 3u);
}

TEST_F(KeepFrame, FailedWriteChangesNothing) {
    ASSERT_EQ(keep(pictureWithHash(0xff00))[0]["kind"], "frame");
    lastFrameAt = 5;
    framesDir = dir.str() + "/missing";
    EXPECT_TRUE(keep(pictureWithHash(0xabcdef0000)).empty());
    EXPECT_EQ(lastFrameHash, 0xff00u);
    EXPECT_EQ(lastFrameAt, 5);
    framesDir = dir.str();
    // Compared with the last frame written, not the one that failed.
    EXPECT_EQ(keep(pictureWithHash(0xff01))[0]["kind"], "frame_dropped");
    framesDir = "";
    EXPECT_TRUE(keep(pictureWithHash(0xabcdef0000)).empty());
    EXPECT_EQ(dir.files().size(), 1u);
}

// Without a frames directory nothing is written, but a near-duplicate is still reported.
TEST_F(KeepFrame, SameWithoutAFramesDirectory) {
    const std::uint64_t base = 0x00ff00ff00ff00ffull;
    ASSERT_EQ(keep(pictureWithHash(base))[0]["kind"], "frame");
    framesDir = "";
    auto same = keep(pictureWithHash(base ^ 0x3));
    ASSERT_EQ(same.size(), 1u);
    EXPECT_EQ(same[0]["why"], "same");
    EXPECT_TRUE(keep(pictureWithHash(~base)).empty());
    EXPECT_EQ(lastFrameHash, base);
    EXPECT_EQ(dir.files().size(), 1u);
}

// Sides that land exactly on a half round away from zero.
TEST_F(KeepFrame, HalvesRoundUp) {
    EXPECT_EQ(frameSize(2560, 1001), std::make_pair(1280, 501));
    EXPECT_EQ(frameSize(1001, 2560), std::make_pair(501, 1280));
    EXPECT_EQ(frameSize(5120, 2), std::make_pair(1280, 1));
    EXPECT_EQ(frameSize(5120, 6), std::make_pair(1280, 2));
    EXPECT_EQ(frameSize(5120, 1), std::make_pair(5120, 1)); // a quarter rounds to 0: unshrunk
    auto events = keep(greyPicture(2560, 1001, [](int x, int y) { return (x / 9 + y / 4) % 250; }));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["h"], 501);
    EXPECT_EQ(decode(events[0]["path"]).height, 501);
}

// The quantisation tables of a kept frame and of a rewritten one are the standard tables scaled
// for quality 60, as the JPEG reference encoder scales them.
TEST_F(KeepFrame, JpegTablesAreQuality60) {
    static const int luma[64] = {16,  11,  10,  16,  24, 40, 51,  61,  12,  12,  14,  19,  26,
                                 58,  60,  55,  14,  13, 16, 24,  40,  57,  69,  56,  14,  17,
                                 22,  29,  51,  87,  80, 62, 18,  22,  37,  56,  68,  109, 103,
                                 77,  24,  35,  55,  64, 81, 104, 113, 92,  49,  64,  78,  87,
                                 103, 121, 120, 101, 72, 92, 95,  98,  112, 100, 103, 99};
    static const int chroma[64] = {17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
                                   24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
                                   99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
                                   99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};
    static const int zigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                   12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                   35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                   58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};
    auto table = [&](const int* base, int id) {
        std::string bytes(1, static_cast<char>(id));
        for (int i = 0; i < 64; ++i) // quality 60: scale 200 - 2 * 60 percent
            bytes += static_cast<char>(std::clamp((base[zigzag[i]] * 80 + 50) / 100, 1, 255));
        return bytes;
    };
    const std::vector<std::string> want{table(luma, 0), table(chroma, 1)};
    auto tablesOf = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::string b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<std::string> found;
        for (std::size_t i = 2; i + 4 <= b.size() && static_cast<unsigned char>(b[i]) == 0xff;) {
            const int marker = static_cast<unsigned char>(b[i + 1]);
            const std::size_t length =
                static_cast<unsigned char>(b[i + 2]) << 8 | static_cast<unsigned char>(b[i + 3]);
            if (marker == 0xdb)
                for (std::size_t at = i + 4; at + 65 <= i + 2 + length; at += 65)
                    found.push_back(b.substr(at, 65));
            if (marker == 0xda) break;
            i += 2 + length;
        }
        return found;
    };
    auto events = keep(greyPicture(640, 400, [](int x, int y) { return (x ^ y) & 0xff; }));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(tablesOf(events[0]["path"]), want);
    const std::string rewritten = dir.str() + "/rewritten.jpg";
    ASSERT_TRUE(
        writeJpeg(*pictureImage(greyPicture(64, 64, [](int x, int) { return x; })), rewritten));
    EXPECT_EQ(tablesOf(rewritten), want);
}

TEST(WriteJpeg, ReplacesAtomically) {
    TempDir dir;
    startImages();
    auto image = vips::VImage::black(64, 32, vips::VImage::option()->set("bands", 3)) + 200;
    std::string path = dir.str() + "/f1.jpg";
    ASSERT_TRUE(writeJpeg(image.cast(VIPS_FORMAT_UCHAR), path));
    EXPECT_EQ(decode(path).width, 64);

    // An image the encoder refuses leaves the old file whole.
    auto tooWide = vips::VImage::black(70000, 1);
    EXPECT_FALSE(writeJpeg(tooWide, path));
    EXPECT_EQ(decode(path).width, 64);

    // A directory in the way is not replaced, and no temporary file stays behind.
    fs::create_directory(dir.path / "taken");
    EXPECT_FALSE(writeJpeg(image.cast(VIPS_FORMAT_UCHAR), dir.str() + "/taken"));
    EXPECT_TRUE(fs::is_directory(dir.path / "taken"));
    EXPECT_FALSE(writeJpeg(image.cast(VIPS_FORMAT_UCHAR), dir.str() + "/none/f2.jpg"));
    EXPECT_EQ(dir.files().size(), 2u);

    // A link at the path is replaced by the file; what it pointed to is not written.
    fs::path outside = dir.path / "outside.txt";
    { std::ofstream(outside) << "keep me"; }
    fs::create_symlink(outside, dir.path / "link.jpg");
    ASSERT_TRUE(writeJpeg(image.cast(VIPS_FORMAT_UCHAR), dir.str() + "/link.jpg"));
    EXPECT_FALSE(fs::is_symlink(dir.path / "link.jpg"));
    EXPECT_EQ(fs::file_size(outside), 7u);
}

} // namespace
