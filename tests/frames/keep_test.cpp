#include "helpers.h"
#include "watch/accessibility/observe.h"
#include "watch/core/state.h"

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
