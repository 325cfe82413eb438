#include "helpers.h"
#include "watch/core/state.h"
#include "watch/frames/imagejobs.h"
#include "watch/frames/ocr.h"

#include <sys/stat.h>
#include <tuple>

#include <cmath>
#include <gtest/gtest.h>
#include <pthread.h>
#include <thread>
#include <vector>
#include <zlib.h>

namespace {

using vips::VImage;

// Black text on white, one rendered line per entry, 60 pixels apart.
VImage textPicture(const std::vector<std::string>& lines, int width = 640) {
    startImages();
    VImage page = VImage::black(width, 60 * static_cast<int>(lines.size()) + 40) + 255;
    int y = 30;
    for (auto& line : lines) {
        VImage ink = VImage::text(line.c_str(),
                                  VImage::option()->set("font", "DejaVu Sans 22")->set("dpi", 72));
        page = page.insert(255 - ink, 30, y, VImage::option()->set("expand", false));
        y += 60;
    }
    return page.cast(VIPS_FORMAT_UCHAR).colourspace(VIPS_INTERPRETATION_sRGB);
}

// Mean absolute difference of two decoded pictures over a pixel rectangle (top-left origin).
double difference(const Decoded& a, const Decoded& b, int x0, int y0, int x1, int y1) {
    double sum = 0;
    int n = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x, ++n)
            sum += std::abs(a.at(x, y) - b.at(x, y));
    return n ? sum / n : 0;
}

struct Jobs : ::testing::Test {
    TempDir dir;
    void SetUp() override {
        sim::reset();
        makeQueues();
        framesDir = dir.str();
    }
    json run(const json& command) {
        if (command["cmd"] == "blur") dispatchBlur(command);
        if (command["cmd"] == "ocr") dispatchOcr(command);
        if (command["cmd"] == "names") dispatchNames(command);
        auto events = takeEvents();
        EXPECT_EQ(events.size(), 1u);
        return events.empty() ? json() : events[0];
    }
    std::string picture(const std::string& name, const VImage& image) {
        std::string path = dir.str() + "/" + name;
        image.write_to_file(path.c_str());
        return path;
    }
};

TEST_F(Jobs, BlurPathRule) {
    std::string frame = picture("f1.png", textPicture({"Hello"}));
    fs::create_directory(dir.path / "sub");
    std::string nested = picture("sub/f2.png", textPicture({"Hello"}));
    TempDir other;
    std::string outside = (other.path / "secret.png").string();
    textPicture({"Hello"}).write_to_file(outside.c_str());
    fs::create_symlink(outside, dir.path / "link.png");
    fs::create_directory_symlink(other.path, dir.path / "linkdir");
    std::string sibling = dir.str() + "-sibling";
    fs::create_directory(sibling);
    textPicture({"Hello"}).write_to_file((sibling + "/f.png").c_str());

    EXPECT_EQ(writableFrame(frame, dir.str()), frame);
    EXPECT_EQ(writableFrame(nested, dir.str() + "//"), nested);
    EXPECT_EQ(writableFrame(dir.str() + "/sub/../f1.png", dir.str()), frame);
    EXPECT_FALSE(writableFrame(frame, ""));
    EXPECT_FALSE(writableFrame(dir.str(), dir.str()));
    EXPECT_FALSE(writableFrame(dir.str() + "/", dir.str()));
    EXPECT_FALSE(writableFrame(dir.str() + "/sub", dir.str()));
    EXPECT_FALSE(writableFrame(dir.str() + "/../" + other.path.filename().string() + "/secret.png",
                               dir.str()));
    EXPECT_FALSE(writableFrame(sibling + "/f.png", dir.str()));
    EXPECT_FALSE(writableFrame(dir.str() + "/link.png", dir.str()));
    EXPECT_FALSE(writableFrame(dir.str() + "/linkdir/secret.png", dir.str()));
    fs::remove_all(sibling);
    EXPECT_FALSE(writableFrame("f1.png", dir.str()));
    EXPECT_FALSE(writableFrame(dir.str() + "/missing.png", dir.str()));
    // The root is no frames directory, however it is spelled.
    EXPECT_FALSE(writableFrame(frame, "/"));
    EXPECT_FALSE(writableFrame(frame, "/tmp/.."));
    EXPECT_FALSE(writableFrame(frame, "//"));
    // "~" is the home directory; relative paths count from the working directory, and only
    // inside a relative frames directory.
    const std::string name = dir.path.filename().string();
    const char* home = std::getenv("HOME");
    const std::string savedHome = home ? home : "";
    ::setenv("HOME", dir.path.parent_path().c_str(), 1);
    EXPECT_EQ(writableFrame("~/" + name + "/f1.png", dir.str()), frame);
    EXPECT_EQ(writableFrame(frame, "~/" + name), frame);
    ::setenv("HOME", savedHome.c_str(), 1);
    const fs::path savedCwd = fs::current_path();
    fs::current_path(dir.path.parent_path());
    EXPECT_EQ(writableFrame(name + "/f1.png", name), frame);
    EXPECT_EQ(writableFrame("./" + name + "/sub/f2.png", name + "/"), nested);
    EXPECT_FALSE(writableFrame(name + "/f1.png", dir.str()));
    fs::current_path(savedCwd);
    // A frames directory reached through a link is the same directory.
    fs::create_directory_symlink(dir.path, other.path / "frames");
    EXPECT_EQ(writableFrame(frame, (other.path / "frames").string()), frame);

    // Refusals answer false and leave the file alone.
    auto before = fs::last_write_time(outside);
    json box = {{"x", 0}, {"y", 0}, {"w", 1}, {"h", 1}};
    EXPECT_EQ(run({{"cmd", "blur"},
                   {"id", "a"},
                   {"path", dir.str() + "/link.png"},
                   {"boxes", {box}}})["ok"],
              false);
    EXPECT_EQ(fs::last_write_time(outside), before);
    EXPECT_EQ(decode(outside).bands, 3); // still the PNG it was
    framesDir = "";
    EXPECT_EQ(run({{"cmd", "blur"}, {"id", "b"}, {"path", frame}, {"boxes", {box}}}),
              json({{"kind", "blurred"}, {"id", "b"}, {"ok", false}, {"t", millisecondsNow()}}));
    framesDir = dir.str();
    EXPECT_EQ(run({{"cmd", "blur"}, {"path", frame}, {"boxes", json::array()}})["ok"], false);
    EXPECT_EQ(run({{"cmd", "blur"}, {"path", frame}, {"boxes", "all"}})["ok"], false);
    EXPECT_EQ(run({{"cmd", "blur"}, {"boxes", {box}}})["id"], "");
}

TEST_F(Jobs, BlurBoxes) {
    // A flat grey picture with a fine checker in the middle: blurring changes only the checker,
    // and the border stays grey because edges are extended, not faded to black.
    auto check = [](int x, int y) -> std::uint8_t {
        return (x >= 40 && x < 160 && y >= 40 && y < 60) ? ((x + y) % 2 ? 0 : 255) : 128;
    };
    Picture p = greyPicture(200, 100, check);
    std::string path = picture("f.png", *pictureImage(p));
    auto original = decode(path);
    json boxes = json::array({7,
                              "x",
                              {{"x", "0.2"}, {"y", 0.4}, {"w", 0.6}, {"h", " 0.2"}},
                              {{"x", -1}, {"y", -1}, {"w", 0.5}, {"h", 0.5}},
                              {{"x", 0.9}, {"y", 0.9}, {"w", 0.5}, {"h", 0.5}}});
    EXPECT_EQ(run({{"cmd", "blur"}, {"id", "x"}, {"path", path}, {"boxes", boxes}})["ok"], true);
    auto blurred = decode(path);
    EXPECT_EQ(blurred.width, 200);
    // Inside the box the checker is smoothed to its mean.
    EXPECT_NEAR(blurred.at(100, 50), 128, 12);
    EXPECT_GT(difference(original, blurred, 40, 40, 160, 60), 60);
    // Outside the box grown by 6 pixels nothing moves beyond JPEG noise.
    EXPECT_LT(difference(original, blurred, 0, 0, 200, 30), 3);
    // The corner box is cut at the image edge; grey there stays grey.
    EXPECT_NEAR(blurred.at(199, 0), 128, 4);
    EXPECT_NEAR(blurred.at(0, 99), 128, 4);

    // Only non-objects: nothing blurred, but the file is rewritten as JPEG.
    std::string png = picture("g.png", *pictureImage(p));
    EXPECT_EQ(run({{"cmd", "blur"}, {"path", png}, {"boxes", {1, "two", nullptr}}})["ok"], true);
    EXPECT_EQ(vips::VImage::new_from_file(png.c_str()).get_string("vips-loader"),
              std::string("jpegload"));
    EXPECT_LT(difference(original, decode(png), 0, 0, 200, 100), 4);

    // An unreadable file answers false and is left alone.
    std::string junk = dir.str() + "/junk.jpg";
    { std::ofstream(junk) << "not a picture"; }
    EXPECT_EQ(run({{"cmd", "blur"}, {"path", junk}, {"boxes", {boxes[2]}}})["ok"], false);
    EXPECT_EQ(fs::file_size(junk), 13u);
}

// Two blurs of one file, each hiding a different region: both regions end up hidden. (The
// real pool runs them at once; the process test of the image commands covers that.)
TEST_F(Jobs, BlursOfOneFileTakeTurns) {
    auto checker = [](int x, int y) -> std::uint8_t {
        bool inside = y >= 40 && y < 60 && ((x >= 20 && x < 80) || (x >= 320 && x < 380));
        return inside ? ((x + y) % 2 ? 0 : 255) : 128;
    };
    Picture p = greyPicture(400, 100, checker);
    std::string path = picture("both.png", *pictureImage(p));
    auto original = decode(path);
    json left = {{{"x", 0.05}, {"y", 0.4}, {"w", 0.15}, {"h", 0.2}}};
    json right = {{{"x", 0.8}, {"y", 0.4}, {"w", 0.15}, {"h", 0.2}}};
    dispatchBlur({{"cmd", "blur"}, {"id", "left"}, {"path", path}, {"boxes", left}});
    dispatchBlur({{"cmd", "blur"}, {"id", "right"}, {"path", path}, {"boxes", right}});
    auto events = takeEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(events[0]["ok"] && events[1]["ok"]);
    auto blurred = decode(path);
    EXPECT_GT(difference(original, blurred, 20, 40, 80, 60), 60);
    EXPECT_GT(difference(original, blurred, 320, 40, 380, 60), 60);
    // Called directly with a box list read from the command's form.
    EXPECT_TRUE(blurImage(writableFrame(path, framesDir).value_or(""), readBoxes(left)));
}

// A box covers its pixels grown by 6 on every side (rounded outward), cut at the image edge.
TEST(BlurBoxes, GrowBySixPixelsAndStopAtTheEdge) {
    auto area = [](BlurBox box) {
        auto a = boxArea(box, 200, 100);
        return a ? std::array<int, 4>{a->left, a->top, a->width, a->height}
                 : std::array<int, 4>{-1, -1, -1, -1};
    };
    // x 40..160, y 40..60 from the bottom: rows 40..60 from the top, grown by 6.
    EXPECT_EQ(area({0.2, 0.4, 0.6, 0.2}), (std::array<int, 4>{34, 34, 132, 32}));
    EXPECT_EQ(area({0.501, 0.5, 0, 0}), (std::array<int, 4>{94, 44, 13, 12})); // a point
    EXPECT_EQ(area({0, 0, 0.01, 0.01}), (std::array<int, 4>{0, 93, 8, 7}));    // corner, cut
    EXPECT_EQ(area({0.9, 0.9, 0.5, 0.5}), (std::array<int, 4>{174, 0, 26, 16}));
    EXPECT_EQ(area({1.02, 0.5, 0.1, 0.1}), (std::array<int, 4>{198, 34, 2, 22}));  // grown in
    EXPECT_EQ(area({1.1, 0.5, 0.1, 0.1}), (std::array<int, 4>{-1, -1, -1, -1}));   // outside
    EXPECT_EQ(area({0.5, 0.5, -0.1, -0.1}), (std::array<int, 4>{74, 44, 32, 22})); // negative size
    // What "blur" reads of a list: objects only, numbers or decimal strings, the rest 0.
    auto boxes = readBoxes(json::parse(
        R"([1, [2], {"x": " 0.25", "y": "+0.5", "w": true, "h": null}, {"x": [0.3], "y": "x"}])"));
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ((std::array<double, 4>{boxes[0].x, boxes[0].y, boxes[0].w, boxes[0].h}),
              (std::array<double, 4>{0.25, 0.5, 1, 0}));
    EXPECT_EQ((std::array<double, 4>{boxes[1].x, boxes[1].y, boxes[1].w, boxes[1].h}),
              (std::array<double, 4>{0, 0, 0, 0}));
}

// Only regular files within the limits are decoded, and a lying header is refused unread.
TEST_F(Jobs, PicturesReadOnlyFromRegularFiles) {
    std::string good = picture("good.png", textPicture({"Hi"}, 120));
    ASSERT_TRUE(loadPicture(good, false));
    fs::create_symlink(good, dir.path / "link.png");
    EXPECT_TRUE(loadPicture(dir.str() + "/link.png", true));
    EXPECT_FALSE(loadPicture(dir.str() + "/link.png", false));
    ASSERT_EQ(::mkfifo((dir.str() + "/fifo.png").c_str(), 0600), 0);
    EXPECT_FALSE(loadPicture(dir.str() + "/fifo.png", true));
    EXPECT_FALSE(loadPicture("/dev/zero", true));
    EXPECT_FALSE(loadPicture(dir.str(), true));
    { std::ofstream(dir.path / "text.csv") << "1,2,3\n4,5,6\n"; } // no picture format
    EXPECT_FALSE(loadPicture(dir.str() + "/text.csv", true));
    // Headers beyond the limits: too wide, too many pixels. Within them, missing rows fail
    // when decoded.
    for (auto [w, h, loads] : {std::tuple{16385, 8, false}, std::tuple{8000, 6000, false},
                               std::tuple{16384, 2000, true}}) {
        std::string path = dir.str() + "/claims.png";
        // A small picture whose header claims w x h: its rows run out when decoded.
        auto blob = VImage::black(8, 8).cast(VIPS_FORMAT_UCHAR).pngsave_buffer();
        std::size_t size = 0;
        auto* data = static_cast<const unsigned char*>(vips_blob_get(blob, &size));
        std::vector<unsigned char> png(data, data + size);
        vips_area_unref(VIPS_AREA(blob));
        for (int i = 0; i < 4; ++i) {
            png[16 + i] = static_cast<unsigned char>(unsigned(w) >> (24 - 8 * i));
            png[20 + i] = static_cast<unsigned char>(unsigned(h) >> (24 - 8 * i));
        }
        uLong crc = crc32(crc32(0, nullptr, 0), png.data() + 12, 17); // IHDR's type and data
        for (int i = 0; i < 4; ++i)
            png[29 + i] = static_cast<unsigned char>(crc >> (24 - 8 * i));
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(size));
        auto loaded = loadPicture(path, false);
        EXPECT_EQ(loaded.has_value(), loads) << w << "x" << h;
        if (loaded) {
            EXPECT_THROW(loaded->avg(), vips::VError);
        }
        EXPECT_FALSE(blurImage(path, {{0, 0, 1, 1}})) << w << "x" << h;
    }
}

TEST(BlurRadius, OneEightiethOfTheWidthAtLeast12) {
    EXPECT_EQ(blurRadius(100), 12);
    EXPECT_EQ(blurRadius(960), 12);
    EXPECT_EQ(blurRadius(1200), 15);
    EXPECT_EQ(blurRadius(2560), 32);
}

TEST_F(Jobs, OcrLinesAndBoxesBlurredBack) {
    std::string path =
        picture("text.png", textPicture({"Quarterly report draft", "Meeting moved to Friday"}));
    auto answer = run({{"cmd", "ocr"}, {"id", "r1"}, {"path", path}});
    EXPECT_EQ(answer["id"], "r1");
    EXPECT_EQ(answer["text"], "Quarterly report draft\nMeeting moved to Friday\n");
    ASSERT_EQ(answer["boxes"].size(), 2u);
    auto& first = answer["boxes"][0];
    auto& second = answer["boxes"][1];
    EXPECT_EQ(first["text"], "Quarterly report draft");
    // Origin at the bottom left: the first line is the higher one.
    EXPECT_GT(first["y"].get<double>(), second["y"].get<double>());
    for (auto& b : answer["boxes"]) {
        EXPECT_GT(b["w"].get<double>(), 0.3);
        EXPECT_GT(b["h"].get<double>(), 0.05);
        EXPECT_GE(b["x"].get<double>(), 0);
        EXPECT_LE(b["x"].get<double>() + b["w"].get<double>(), 1);
    }

    // The first line's box handed back to "blur" smears that line and leaves the second.
    // Compared with the same picture through the same JPEG encoder, so only the blur shows.
    std::string reference = dir.str() + "/reference.jpg";
    ASSERT_TRUE(writeJpeg(VImage::new_from_file(path.c_str()), reference));
    auto original = decode(reference);
    json box = first;
    box.erase("text");
    EXPECT_EQ(run({{"cmd", "blur"}, {"path", path}, {"boxes", {box}}})["ok"], true);
    auto blurred = decode(path);
    int H = original.height, W = original.width;
    auto rows = [&](const json& b) {
        int top = static_cast<int>(H - (b["y"].get<double>() + b["h"].get<double>()) * H);
        int bottom = static_cast<int>(H - b["y"].get<double>() * H);
        int left = static_cast<int>(b["x"].get<double>() * W);
        int right = static_cast<int>((b["x"].get<double>() + b["w"].get<double>()) * W);
        return std::array<int, 4>{left, top, right, bottom};
    };
    auto [l1, t1, r1, b1] = rows(first);
    auto [l2, t2, r2, b2] = rows(second);
    EXPECT_GT(difference(original, blurred, l1, t1, r1, b1), 25);
    EXPECT_LT(difference(original, blurred, l2, t2, r2, b2), 1);
    // The blurred line is no longer readable.
    auto again = run({{"cmd", "ocr"}, {"path", path}});
    EXPECT_EQ(again["text"].get<std::string>().find("Quarterly"), std::string::npos);
}

TEST_F(Jobs, OcrWithoutText) {
    std::string blank = picture("blank.png", VImage::black(320, 200) + 240);
    EXPECT_EQ(run({{"cmd", "ocr"}, {"id", "z"}, {"path", blank}}),
              json({{"kind", "ocr"},
                    {"id", "z"},
                    {"text", ""},
                    {"boxes", json::array()},
                    {"t", millisecondsNow()}}));
    for (std::string path : {std::string(""), dir.str() + "/missing.png", dir.str()}) {
        auto answer = run({{"cmd", "ocr"}, {"path", path}});
        EXPECT_EQ(answer["text"], "");
        EXPECT_EQ(answer["boxes"], json::array());
    }
}

// Screen text as windows show it: light on a dark sidebar beside dark on light, and small.
TEST(OcrReads, LightOnDarkBesideDarkOnLightAndSmallText) {
    startImages();
    VImage page = VImage::black(900, 240) + 250;
    page = page.insert(VImage::black(300, 240) + 35, 0, 0);
    auto write = [&](const char* text, int px, int x, int y, double ink) {
        std::string font = "DejaVu Sans " + std::to_string(px);
        VImage mask =
            VImage::text(text, VImage::option()->set("font", font.c_str())->set("dpi", 72)) / 255;
        VImage under = page.extract_area(x, y, mask.width(), mask.height());
        page = page.insert(under * (1 - mask) + mask * ink, x, y);
    };
    write("Archive folder", 16, 20, 40, 235);
    write("Quarterly report draft", 16, 340, 40, 20);
    write("Show scroll bars when scrolling", 11, 340, 160, 40);
    auto lines = readLines(page.cast(VIPS_FORMAT_UCHAR).copy_memory());
    std::string text;
    for (auto& line : lines)
        text += line.text + "\n";
    EXPECT_NE(text.find("Archive folder"), std::string::npos) << text;
    EXPECT_NE(text.find("Quarterly report draft"), std::string::npos) << text;
    EXPECT_NE(text.find("Show scroll bars when scrolling"), std::string::npos) << text;
    for (auto& line : lines)
        if (line.text == "Archive folder") {
            EXPECT_LT(line.x + line.w, 300.0 / 900);
        }
}

// Threads named `name`: a new thread starts with the name of the one that made it, while
// libvips and GLib name theirs.
std::size_t threadsNamed(const std::string& name) {
    std::size_t n = 0;
    for (auto& task : fs::directory_iterator("/proc/self/task")) {
        std::string comm;
        std::getline(std::ifstream(task.path() / "comm"), comm);
        n += comm == name;
    }
    return n;
}

// Tesseract asks OpenMP for teams of four; recognising on a pool thread must start none of
// them. Registered a second time to run without OMP_THREAD_LIMIT, as watch itself does.
TEST(OcrThreads, RecognitionStaysOnItsThread) {
    VImage page =
        textPicture({"Quarterly figures are ready", "Invoice 4521 is open"}).copy_memory();
    std::size_t lines = 0, named = 0;
    std::thread pool([&] {
        ::pthread_setname_np(::pthread_self(), "ocr-alone");
        lines = readLines(page).size();
        named = threadsNamed("ocr-alone");
    });
    pool.join();
    EXPECT_EQ(lines, 2u);
    EXPECT_EQ(named, 1u);
}

} // namespace
