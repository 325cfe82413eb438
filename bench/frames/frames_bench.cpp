// Baselines, each in the same process on the same input:
//   keepFrame      vs ImageMagick resizing to 1280 wide and writing JPEG at quality 60
//                  (and its parts alone: YCbCr planes shrunk, hash, JPEG encoded in memory)
//   recognizeText  engine reused vs a new engine for every picture
//   personalNames  vs bare word segmentation of the same text
// Everything runs on one thread: libvips, ImageMagick and Tesseract are held to one core.
#include "platform/sim/sim.h"
#include "watch/core/emit.h"
#include "watch/core/state.h"
#include "watch/frames/images.h"
#include "watch/frames/keep.h"
#include "watch/frames/names.h"
#include "watch/frames/ocr.h"
#include "watch/frames/yuv.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
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

const VImage& ocrPicture() {
    static const VImage p = screenshot(1280, 800, 14).copy_memory();
    return p;
}

// Share of the picture's words (with repeats) that the recognised text holds, so that speed is
// never bought with accuracy unnoticed.
double wordsRead(const std::vector<TextLine>& lines) {
    std::map<std::string, int> missing;
    auto words = [](const std::string& text, auto each) {
        std::istringstream in(text);
        for (std::string w; in >> w;)
            each(w);
    };
    std::string truth = "File Edit View Insert Format Tools Help";
    for (int i = 0; i < 14; ++i)
        truth += " Inbox folder " + std::to_string(i);
    for (int i = 0; i < 4; ++i)
        truth += std::string(" ") + prose;
    int total = 0, read = 0;
    words(truth, [&](const std::string& w) { ++missing[w], ++total; });
    for (const TextLine& line : lines)
        words(line.text, [&](const std::string& w) {
            if (missing[w] > 0) --missing[w], ++read;
        });
    return static_cast<double>(read) / total;
}

void ocrReusedEngineBench(benchmark::State& state) {
    readLines(ocrPicture()); // the engine starts once, outside the timing
    std::vector<TextLine> lines;
    for (auto _ : state)
        lines = readLines(ocrPicture());
    state.counters["lines"] = static_cast<double>(lines.size());
    state.counters["words_read"] = wordsRead(lines);
}
BENCHMARK(ocrReusedEngineBench)->Unit(benchmark::kMillisecond)->MinTime(5);

void ocrNewEngineBench(benchmark::State& state) {
    for (auto _ : state) {
        // The same preparation as readLines pays for every picture: grey, then 1.5x.
        VImage grey = ocrPicture()
                          .colourspace(VIPS_INTERPRETATION_B_W)
                          .extract_band(0)
                          .cast(VIPS_FORMAT_UCHAR)
                          .copy_memory();
        const int w = grey.width() * 3 / 2, h = grey.height() * 3 / 2;
        std::vector<unsigned char> scaled(static_cast<std::size_t>(w) * h);
        scaleGrey(static_cast<const unsigned char*>(grey.data()), grey.width(), grey.height(),
                  static_cast<std::size_t>(grey.width()), scaled.data(), w, h);
        tesseract::TessBaseAPI api;
        api.Init(nullptr, "eng", tesseract::OEM_LSTM_ONLY);
        api.SetVariable("debug_file", "/dev/null");
        api.SetPageSegMode(tesseract::PSM_AUTO);
        api.SetImage(scaled.data(), w, h, 1, w);
        api.SetSourceResolution(144);
        api.Recognize(nullptr);
        benchmark::DoNotOptimize(api.GetIterator());
    }
}
BENCHMARK(ocrNewEngineBench)->Unit(benchmark::kMillisecond)->MinTime(5);

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

void namesBench(benchmark::State& state) {
    personalNames("Warm up Sarah"); // the word lists load once per process
    std::size_t found = 0;
    for (auto _ : state)
        found = personalNames(namesText()).size();
    state.counters["names"] = static_cast<double>(found);
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
