#include "watch/frames/ocr.h"
#include "watch/frames/imagejobs.h"
#include "watch/frames/images.h"
#include "watch/frames/yuv.h"

#include <cmath>
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

// Screen text is small and the recogniser loses lines of it at its own size. On screen-like
// pictures with 12 to 20 pixel fonts, 1.5 times read at least as many words right as 2 times did
// (and more at 14 pixels) for 5 to 15 % less time; 1.25 times lost words at 12 pixels.
double ocrScale(const VImage& image) {
    return std::max(image.width(), image.height()) <= 2000 ? 1.5 : 1.0;
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
    const double scale = ocrScale(image);
    grey = grey.copy_memory();
    const auto* pixels = static_cast<const unsigned char*>(grey.data());
    int pixelsWide = grey.width(), pixelsHigh = grey.height();
    if (!pixels || pixelsWide <= 0 || pixelsHigh <= 0) return lines;
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
