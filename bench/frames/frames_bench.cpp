// Baselines, each in the same process on the same input:
//   keepFrame      vs ImageMagick resizing to 1280 wide and writing JPEG at quality 60
//                  (and its parts alone: YCbCr planes shrunk, hash, JPEG encoded in memory)
//   readLines      vs the tesseract command on the same picture, per picture of a screen set
//   personalNames  vs bare word segmentation of the same text
// Everything runs on one thread: libvips, ImageMagick and Tesseract are held to one core.
#include "platform/sim/sim.h"
#include "tests/frames/namecorpus.h"
#include "watch/core/emit.h"
#include "watch/core/state.h"
#include "watch/frames/images.h"
#include "watch/frames/keep.h"
#include "watch/frames/names.h"
#include "watch/frames/ocr.h"
#include "watch/frames/yuv.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <sys/resource.h>
#include <tesseract/baseapi.h>
#include <unicode/brkiter.h>
#include <unicode/unistr.h>
#ifdef HAVE_MAGICK
#include <Magick++.h>
#endif

namespace {

using vips::VImage;
namespace fs = std::filesystem;

const char* prose =
    "Hi Sarah, thanks for sending the quarterly figures. I went through the budget with Daniel "
    "Okafor this morning and we agreed to move the design review to Thursday. Priya will share "
    "the updated roadmap in the Berlin office channel. Invoice 4521 from Northwind Traders is "
    "still open; please check with Accounts Payable before Friday. Meeting notes: Yuki and "
    "Benjamin agreed to ship the release candidate on the 14th. ";

// A window as people see it: a title bar, a sidebar, a toolbar and paragraphs of text.
VImage screenshot(int width, int height, int fontPixels) {
    startImages();
    double s = fontPixels / 14.0;
    VImage page = VImage::black(width, height, VImage::option()->set("bands", 3)) + 250;
    auto panel = [&](int x, int y, int w, int h, std::vector<double> colour) {
        page = page.insert(VImage::black(w, h, VImage::option()->set("bands", 3)) + colour, x, y);
    };
    panel(0, 0, width, int(36 * s), {225, 228, 232});
    panel(0, int(36 * s), int(220 * s), height - int(36 * s), {40, 44, 52});
    panel(int(220 * s), int(36 * s), width - int(220 * s), int(40 * s), {245, 246, 248});
    std::string font = "DejaVu Sans " + std::to_string(fontPixels);
    auto write = [&](const std::string& text, int x, int y, int w, double ink) {
        VImage mask = VImage::text(
            text.c_str(),
            VImage::option()->set("font", font.c_str())->set("width", w)->set("dpi", 72));
        w = std::min(mask.width(), width - x);
        int h = std::min(mask.height(), height - y);
        if (w <= 0 || h <= 0) return;
        mask = mask.extract_area(0, 0, w, h) / 255.0;
        VImage under = page.extract_area(x, y, w, h);
        page = page.insert(under * (1 - mask) + mask * ink, x, y);
    };
    for (int i = 0; i < 14; ++i)
        write("Inbox folder " + std::to_string(i), int(16 * s), int((60 + 30 * i) * s), width, 230);
    write("File  Edit  View  Insert  Format  Tools  Help", int(236 * s), int(46 * s), width, 40);
    std::string body;
    for (int i = 0; i < 4; ++i)
        body += prose;
    write(body, int(240 * s), int(100 * s), width - int(270 * s), 30);
    return page.cast(VIPS_FORMAT_UCHAR)
        .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
}

Picture asPicture(const VImage& rgb) {
    VImage bgra = rgb[2].bandjoin(rgb[1]).bandjoin(rgb[0]).bandjoin(255).cast(VIPS_FORMAT_UCHAR);
    Picture p;
    p.width = bgra.width();
    p.height = bgra.height();
    p.stride = static_cast<std::size_t>(p.width) * 4;
    std::size_t size = 0;
    void* data = bgra.write_to_memory(&size);
    p.pixels.assign(static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + size);
    g_free(data);
    return p;
}

const Picture& bigPicture() {
    static const Picture p = asPicture(screenshot(2560, 1600, 28));
    return p;
}

struct Scratch {
    fs::path dir = fs::temp_directory_path() / ("frames-bench-" + std::to_string(::getpid()));
    Scratch() { fs::create_directories(dir); }
    ~Scratch() { fs::remove_all(dir); }
};

void keepFrameBench(benchmark::State& state) {
    Scratch scratch;
    sim::reset();
    makeQueues();
    framesDir = scratch.dir.string();
    const Picture& picture = bigPicture();
    long n = 0;
    for (auto _ : state) {
        // A new frame key each time, so every frame is written.
        keepFrame(picture, "bench", std::to_string(n++), 1);
        sim::drain();
        sim::takeLines();
    }
}
BENCHMARK(keepFrameBench)->Unit(benchmark::kMillisecond)->MinTime(2);

// The parts of keepFrame, to see where its time goes.
void shrinkPartBench(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(shrinkFrameYuv(bigPicture()));
}
BENCHMARK(shrinkPartBench)->Unit(benchmark::kMillisecond)->MinTime(1);

void hashPartBench(benchmark::State& state) {
    auto frame = shrinkFrameYuv(bigPicture());
    for (auto _ : state)
        benchmark::DoNotOptimize(differenceHash(*frame));
}
BENCHMARK(hashPartBench)->Unit(benchmark::kMillisecond)->MinTime(1);

void jpegPartBench(benchmark::State& state) {
    auto frame = shrinkFrameYuv(bigPicture());
    for (auto _ : state)
        benchmark::DoNotOptimize(encodeJpeg(*frame));
}
BENCHMARK(jpegPartBench)->Unit(benchmark::kMillisecond)->MinTime(1);

#ifdef HAVE_MAGICK
void imageMagickBench(benchmark::State& state) {
    Scratch scratch;
    const Picture& picture = bigPicture();
    Magick::ResourceLimits::thread(1);
    Magick::Blob raw(picture.pixels.data(), picture.pixels.size());
    std::string out = (scratch.dir / "frame.jpg").string();
    for (auto _ : state) {
        Magick::Image image;
        image.size(Magick::Geometry(picture.width, picture.height));
        image.depth(8);
        image.magick("BGRA");
        image.read(raw);
        image.resize(Magick::Geometry("1280x"));
        image.quality(60);
        image.write(out);
    }
}
BENCHMARK(imageMagickBench)->Unit(benchmark::kMillisecond)->MinTime(2);
#endif

// The screen pictures OCR is measured on, each with the words it shows.
struct Screen {
    const char* name;
    VImage image;
    std::string truth;
};

// Text laid over a picture, in one colour, wrapped at width pixels.
void writeText(VImage& page, const std::string& text, const std::string& font, int x, int y,
               int width, std::vector<double> ink) {
    VImage mask = VImage::text(
        text.c_str(),
        VImage::option()->set("font", font.c_str())->set("width", width)->set("dpi", 72));
    int w = std::min(mask.width(), page.width() - x),
        h = std::min(mask.height(), page.height() - y);
    if (w <= 0 || h <= 0) return;
    mask = mask.extract_area(0, 0, w, h) / 255.0;
    VImage under = page.extract_area(x, y, w, h);
    page = page.insert(under * (1 - mask) + mask * ink, x, y);
}

VImage canvas(int width, int height, std::vector<double> colour) {
    return VImage::black(width, height, VImage::option()->set("bands", 3)) + colour;
}

VImage finished(const VImage& page) {
    return page.cast(VIPS_FORMAT_UCHAR)
        .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB))
        .copy_memory();
}

const std::vector<Screen>& screens() {
    static const std::vector<Screen> set = [] {
        startImages();
        std::vector<Screen> out;
        // A page of text: 30 lines of 14 px prose.
        {
            VImage page = canvas(1280, 800, {255, 255, 255});
            std::string body;
            for (int i = 0; i < 5; ++i)
                body += prose;
            writeText(page, body, "DejaVu Serif 14", 60, 40, 1140, {20, 20, 20});
            out.push_back({"page", finished(page), body});
        }
        // A dense app window with a dark sidebar.
        {
            std::string truth = "File Edit View Insert Format Tools Help";
            for (int i = 0; i < 14; ++i)
                truth += " Inbox folder " + std::to_string(i);
            for (int i = 0; i < 4; ++i)
                truth += std::string(" ") + prose;
            out.push_back({"app", screenshot(1280, 800, 14).copy_memory(), truth});
        }
        // Small UI text: a settings form of 11 and 12 px labels on grey panels.
        {
            VImage page = canvas(1280, 800, {246, 246, 246});
            page = page.insert(canvas(1280, 28, {222, 222, 226}), 0, 0);
            page = page.insert(canvas(200, 772, {236, 237, 240}), 0, 28);
            std::string truth;
            auto put = [&](const std::string& t, int px, int x, int y, int w, double ink) {
                writeText(page, t, "DejaVu Sans " + std::to_string(px), x, y, w, {ink, ink, ink});
                truth += " " + t;
            };
            put("Preferences  General  Accounts  Privacy  Notifications  Advanced", 12, 12, 7, 1200,
                40);
            const char* sections[] = {"Appearance", "Keyboard",  "Displays",     "Sound",
                                      "Network",    "Bluetooth", "Printers",     "Storage",
                                      "Battery",    "Languages", "Accessibility"};
            for (int i = 0; i < 11; ++i)
                put(sections[i], 12, 16, 44 + 26 * i, 180, 50);
            const char* labels[] = {"Show scroll bars when scrolling",
                                    "Ask to keep changes when closing documents",
                                    "Close windows when quitting an application",
                                    "Recent documents, applications and servers",
                                    "Allow handoff between this computer and your devices",
                                    "Use font smoothing when available",
                                    "Default web browser for opening links",
                                    "Prefer tabs when opening documents"};
            for (int i = 0; i < 8; ++i) {
                put(labels[i], 11, 230, 50 + 34 * i, 520, 30);
                put(i % 2 ? "Automatically" : "Always", 11, 800, 50 + 34 * i, 200, 90);
            }
            put("Sarah Lee updated the shared calendar for the Lisbon workshop on 14 March. "
                "Please confirm the travel budget of 2,400 euros with finance before Friday "
                "so that the bookings can go ahead as planned.",
                12, 230, 350, 700, 30);
            out.push_back({"small", finished(page), truth});
        }
        // A terminal: light monospace text on a dark background.
        {
            VImage page = canvas(1280, 800, {30, 32, 36});
            const char* lines[] = {"user@host:~/project$ git status",
                                   "On branch main",
                                   "Your branch is up to date with origin/main.",
                                   "Changes not staged for commit:",
                                   "  modified:   src/server/config.cpp",
                                   "  modified:   src/server/routes.cpp",
                                   "  deleted:    tests/old_fixture.json",
                                   "user@host:~/project$ make -j4 test",
                                   "Building target server ... done",
                                   "Running 128 tests from 14 suites",
                                   "[  PASSED  ] 126 tests",
                                   "[  FAILED  ] 2 tests, listed below",
                                   "[  FAILED  ] RoutesTest.RedirectsLogin",
                                   "[  FAILED  ] ConfigTest.ReadsEnvironment",
                                   "user@host:~/project$ tail -n 3 logs/server.log",
                                   "2026-12-07 14:02:11 INFO listening on port 8080",
                                   "2026-12-07 14:02:15 WARN slow request took 812 ms",
                                   "2026-12-07 14:02:19 INFO shutting down cleanly"};
            std::string text, truth;
            for (const char* l : lines) {
                text += std::string(l) + "\n";
                truth += std::string(" ") + l;
            }
            writeText(page, text, "DejaVu Sans Mono 13", 12, 12, 1250, {220, 223, 228});
            out.push_back({"terminal", finished(page), truth});
        }
        // To look at them, or to try the tesseract command's options by hand.
        if (const char* dir = std::getenv("OCR_PICTURES"))
            for (const Screen& screen : out)
                screen.image.pngsave((std::string(dir) + "/" + screen.name + ".png").c_str());
        return out;
    }();
    return set;
}

// How many of the picture's words (with repeats) the recognised text holds, so that speed is
// never bought with accuracy unnoticed.
int wordsRight(const std::string& truth, const std::string& read) {
    std::map<std::string, int> missing;
    auto words = [](const std::string& text, auto each) {
        std::istringstream in(text);
        for (std::string w; in >> w;)
            each(w);
    };
    words(truth, [&](const std::string& w) { ++missing[w]; });
    int right = 0;
    words(read, [&](const std::string& w) {
        if (missing[w] > 0) --missing[w], ++right;
    });
    return right;
}

int wordCount(const std::string& text) {
    std::istringstream in(text);
    int n = 0;
    for (std::string w; in >> w;)
        ++n;
    return n;
}

// CPU seconds of this process (all its threads) or of its finished children.
double cpuSeconds(int who) {
    rusage usage{};
    ::getrusage(who, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void ocrBench(benchmark::State& state) {
    const Screen& screen = screens()[static_cast<std::size_t>(state.range(0))];
    readLines(screen.image); // the engines start once, outside the timing
    std::vector<TextLine> lines;
    const double cpu = cpuSeconds(RUSAGE_SELF);
    for (auto _ : state)
        lines = readLines(screen.image);
    state.counters["cpu_ms"] = (cpuSeconds(RUSAGE_SELF) - cpu) * 1000 / state.iterations();
    std::string text;
    for (const TextLine& line : lines)
        text += line.text + "\n";
    state.SetLabel(screen.name);
    state.counters["lines"] = static_cast<double>(lines.size());
    state.counters["words_right"] = wordsRight(screen.truth, text);
    state.counters["words"] = wordCount(screen.truth);
}
BENCHMARK(ocrBench)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->MinTime(3)->UseRealTime();

// The tesseract command on the same picture, read from a PNG file: a new process, one thread.
void tesseractCommandBench(benchmark::State& state) {
    const Screen& screen = screens()[static_cast<std::size_t>(state.range(0))];
    Scratch scratch;
    const std::string file = (scratch.dir / "screen.png").string();
    screen.image.pngsave(file.c_str());
    const std::string command = "OMP_THREAD_LIMIT=1 tesseract " + file + " - 2>/dev/null";
    std::string text;
    const double cpu = cpuSeconds(RUSAGE_CHILDREN);
    for (auto _ : state) {
        text.clear();
        FILE* out = ::popen(command.c_str(), "r");
        if (!out) {
            state.SkipWithError("tesseract did not start");
            return;
        }
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, out)) > 0;)
            text.append(buffer, n);
        if (::pclose(out) != 0) {
            state.SkipWithError("tesseract failed (is the tesseract-ocr package installed?)");
            return;
        }
    }
    state.counters["cpu_ms"] = (cpuSeconds(RUSAGE_CHILDREN) - cpu) * 1000 / state.iterations();
    state.SetLabel(screen.name);
    state.counters["words_right"] = wordsRight(screen.truth, text);
    state.counters["words"] = wordCount(screen.truth);
}
BENCHMARK(tesseractCommandBench)
    ->DenseRange(0, 3)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(3)
    ->UseRealTime();

const std::string& namesText() {
    static const std::string text = [] {
        std::string t;
        while (t.size() < 200000)
            t += prose; // ASCII: one byte is one UTF-16 unit
        t.resize(200000);
        return t;
    }();
    return text;
}

// Precision and recall of the name search on a labelled set, as counters "<prefix>_p" and "_r".
template <std::size_t N>
void scoreNames(benchmark::State& state, const Labelled (&set)[N], const std::string& prefix) {
    int right = 0, wrong = 0, missed = 0;
    for (const Labelled& item : set) {
        Names got = personalNames(item.text);
        std::set<std::string> want(item.names.begin(), item.names.end()),
            have(got.begin(), got.end());
        for (const std::string& n : have)
            ++(want.count(n) ? right : wrong);
        for (const std::string& n : want)
            missed += have.count(n) ? 0 : 1;
    }
    state.counters[prefix + "_p"] = right / double(right + wrong);
    state.counters[prefix + "_r"] = right / double(right + missed);
}

void namesBench(benchmark::State& state) {
    personalNames("Warm up Sarah"); // the word lists load once per process
    std::size_t found = 0;
    for (auto _ : state)
        found = personalNames(namesText()).size();
    state.counters["names"] = static_cast<double>(found);
    scoreNames(state, corpus, "labelled");
    scoreNames(state, heldOut, "heldout");
    scoreNames(state, screenSnippets, "snippets");
}
BENCHMARK(namesBench)->Unit(benchmark::kMillisecond)->MinTime(2);

void wordSegmentationBench(benchmark::State& state) {
    for (auto _ : state) {
        UErrorCode status = U_ZERO_ERROR;
        icu::UnicodeString text = icu::UnicodeString::fromUTF8(namesText());
        std::unique_ptr<icu::BreakIterator> words(
            icu::BreakIterator::createWordInstance(icu::Locale::getRoot(), status));
        words->setText(text);
        int count = 0;
        for (int32_t b = words->first(); b != icu::BreakIterator::DONE; b = words->next())
            count += words->getRuleStatus() >= UBRK_WORD_NONE_LIMIT;
        benchmark::DoNotOptimize(count);
    }
}
BENCHMARK(wordSegmentationBench)->Unit(benchmark::kMillisecond)->MinTime(2);

} // namespace

int main(int argc, char** argv) {
    setenv("OMP_THREAD_LIMIT", "1", 0); // too late for OpenMP itself: the run script sets it
    startImages();
    vips_concurrency_set(1);
#ifdef HAVE_MAGICK
    Magick::InitializeMagick(argv[0]);
#endif
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
