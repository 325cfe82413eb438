#include "watch/frames/ocr.h"
#include "watch/frames/imagejobs.h"
#include "watch/frames/images.h"
#include "watch/frames/yuv.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <dlfcn.h>
#include <memory>
#include <mutex>
#include <tesseract/baseapi.h>

using vips::VImage;

namespace {

// Tesseract's engine is not safe for concurrent use and costs a second to start: one is kept
// for the life of the process and the jobs take turns.
std::mutex engineLock;

tesseract::TessBaseAPI* engine() {
    static std::unique_ptr<tesseract::TessBaseAPI> api;
    static bool tried = false;
    if (!tried) {
        tried = true;
        auto candidate = std::make_unique<tesseract::TessBaseAPI>();
        // Its remarks ("Empty page!!", resolution guesses) would reach standard error once per
        // picture; set before Init, so that Init's own go nowhere either.
        const std::vector<std::string> names{"debug_file"}, values{"/dev/null"};
        if (candidate->Init(nullptr, "eng", tesseract::OEM_LSTM_ONLY, nullptr, 0, &names, &values,
                            false) == 0) {
            candidate->SetPageSegMode(tesseract::PSM_AUTO);
            // Light text on dark ground is turned dark on light before it gets here, so no line
            // needs a second, inverted reading.
            candidate->SetVariable("tessedit_do_invert", "0");
            api = std::move(candidate);
        }
    }
    return api.get();
}

// Tesseract asks for OpenMP teams of a fixed size, which only OMP_THREAD_LIMIT would cap, and the
// runtime reads that once as it loads, before main. A thread whose max-active-levels is 0 runs
// every parallel region alone, whatever size it asks for; the setting is the calling thread's,
// so each thread that recognises makes it. Found at run time, since only a runtime that some
// library already loaded matters.
void recogniseOnOneThread() {
    thread_local bool done = false;
    if (done) return;
    done = true;
    using Setter = void (*)(int);
    static const auto set =
        reinterpret_cast<Setter>(::dlsym(RTLD_DEFAULT, "omp_set_max_active_levels"));
    if (set) set(0);
}

// Terminals, sidebars and dark themes put light text on dark ground. Tesseract binarises the
// whole page at one threshold, so a dark page becomes one huge blob that its layout analysis
// crawls through (three times slower on a terminal) and its lines are read twice, inverted the
// second time. Ground darker than mid-grey, judged in 16-pixel tiles, is inverted first.
VImage darkOnLight(const VImage& grey) {
    constexpr int tile = 16;
    if (grey.width() < tile || grey.height() < tile) return grey;
    VImage dark = grey.shrink(tile, tile) < 100;
    if (dark.max() == 0) return grey;
    VImage mask = dark.zoom(tile, tile)
                      .embed(0, 0, grey.width(), grey.height(),
                             VImage::option()->set("extend", VIPS_EXTEND_COPY));
    return mask.ifthenelse((255 - grey).cast(VIPS_FORMAT_UCHAR), grey).copy_memory();
}

// How tall the lines of text are, at a cheap look: the mean height of the runs of rows with ink
// (sharp steps between neighbouring pixels) in strips 160 pixels wide. It follows the x-height
// more than the font size: about 9.5 for 11 and 12 pixel fonts, 12 for 14 pixels.
double lineHeight(const unsigned char* pixels, int width, int height) {
    constexpr int strip = 160, step = 48;
    const int strips = (width + strip - 1) / strip;
    std::vector<int> run(static_cast<std::size_t>(strips), 0), heights;
    for (int y = 0; y < height; ++y) {
        const unsigned char* row = pixels + static_cast<std::size_t>(y) * width;
        for (int s = 0; s < strips; ++s) {
            int steps = 0;
            for (int x = std::max(1, s * strip), end = std::min(width, (s + 1) * strip); x < end;
                 ++x)
                steps += std::abs(row[x] - row[x - 1]) > step;
            // A strip row with a couple of steps is a panel edge, not text.
            auto& r = run[static_cast<std::size_t>(s)];
            if (steps > 2) {
                ++r;
            } else {
                if (r >= 4) heights.push_back(r);
                r = 0;
            }
        }
    }
    for (int r : run)
        if (r >= 4) heights.push_back(r);
    // Runs taller than three lines are pictures or lines run together across columns.
    double sum = 0;
    int n = 0;
    for (int h : heights)
        if (h <= 40) sum += h, ++n;
    return n ? sum / n : 0;
}

// Screen text is small and the recogniser loses words of 11 and 12 pixel fonts at their own
// size (6 in 106), which 1.5 times reads all of; 1.25 times still lost words at 12 pixels.
// Fonts of 13 pixels and more read as well at their own size, for two thirds of the time.
double ocrScale(double lineHeight, int width, int height) {
    if (std::max(width, height) > 2000) return 1.0;
    return lineHeight > 0 && lineHeight < 10.5 ? 1.5 : 1.0;
}

std::string trimmed(const char* text) {
    std::string s = text ? text : "";
    auto end = s.find_last_not_of(" \t\r\n");
    s.erase(end == std::string::npos ? 0 : end + 1);
    auto start = s.find_first_not_of(" \t");
    return start == std::string::npos ? "" : s.substr(start);
}

} // namespace

std::vector<TextLine> readLines(const VImage& image) {
    std::vector<TextLine> lines;
    const int width = image.width(), height = image.height();
    VImage grey = image;
    if (grey.has_alpha()) grey = grey.flatten(VImage::option()->set("background", 255));
    grey = grey.colourspace(VIPS_INTERPRETATION_B_W).extract_band(0).cast(VIPS_FORMAT_UCHAR);
    grey = darkOnLight(grey.copy_memory());
    const auto* pixels = static_cast<const unsigned char*>(grey.data());
    int pixelsWide = grey.width(), pixelsHigh = grey.height();
    if (!pixels || pixelsWide <= 0 || pixelsHigh <= 0) return lines;
    const double scale = ocrScale(lineHeight(pixels, pixelsWide, pixelsHigh), width, height);
    // FFmpeg's scaler takes 1 ms for what libvips' resize takes 55 ms over.
    std::vector<unsigned char> scaled;
    if (scale != 1.0) {
        const int w = static_cast<int>(std::lround(pixelsWide * scale)),
                  h = static_cast<int>(std::lround(pixelsHigh * scale));
        scaled.resize(static_cast<std::size_t>(w) * h);
        if (scaleGrey(pixels, pixelsWide, pixelsHigh, static_cast<std::size_t>(pixelsWide),
                      scaled.data(), w, h)) {
            pixels = scaled.data();
            pixelsWide = w;
            pixelsHigh = h;
        } else {
            grey = grey.resize(scale, VImage::option()->set("kernel", VIPS_KERNEL_CUBIC))
                       .copy_memory();
            pixels = static_cast<const unsigned char*>(grey.data());
            pixelsWide = grey.width();
            pixelsHigh = grey.height();
        }
    }

    std::lock_guard lock(engineLock);
    recogniseOnOneThread();
    tesseract::TessBaseAPI* api = engine();
    if (!api) return lines;
    api->SetImage(pixels, pixelsWide, pixelsHigh, 1, pixelsWide);
    // Boxes come back in the scaled picture's pixels.
    const double sx = static_cast<double>(pixelsWide) / width,
                 sy = static_cast<double>(pixelsHigh) / height;
    api->SetSourceResolution(static_cast<int>(96 * scale));
    if (api->Recognize(nullptr) == 0) {
        std::unique_ptr<tesseract::ResultIterator> it(api->GetIterator());
        if (it) {
            do {
                std::unique_ptr<char[]> raw(it->GetUTF8Text(tesseract::RIL_TEXTLINE));
                std::string text = trimmed(raw.get());
                int left = 0, top = 0, right = 0, bottom = 0;
                if (text.empty() ||
                    !it->BoundingBox(tesseract::RIL_TEXTLINE, &left, &top, &right, &bottom))
                    continue;
                double l = left / sx, t = top / sy, r = right / sx, b = bottom / sy;
                lines.push_back(
                    {text, l / width, (height - b) / height, (r - l) / width, (b - t) / height});
            } while (it->Next(tesseract::RIL_TEXTLINE));
        }
    }
    api->Clear();
    return lines;
}

std::vector<TextLine> recognizeText(const std::string& path) {
    // Any readable picture, through links too; only regular files, within the size limits.
    auto image = loadPicture(path, true, VIPS_ACCESS_SEQUENTIAL);
    if (!image) return {};
    try {
        return readLines(*image);
    } catch (const vips::VError&) {
        vips_error_clear();
        return {};
    }
}
