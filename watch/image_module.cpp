// Image work (libvips, Tesseract, the scaler, the JPEG encoder) lives in a module loaded on first
// use: loaded at start, those libraries and their dependencies would nearly triple the resident
// memory of a watcher that may never keep a frame.
#include "watch/frames/imagejobs.h"
#include "watch/frames/keep.h"

#include <climits>
#include <cstdio>
#include <dlfcn.h>
#include <string>
#include <unistd.h>

#include "watch/frames/sanitizer_hooks.inc"

namespace {

using KeepFn = void (*)(const Picture&, const std::string&, const std::string&, std::uint32_t);
using BlurFn = void (*)(const std::string&, const std::vector<BlurBox>&, bool&);
using OcrFn = void (*)(const std::string&, std::vector<TextLine>&);

struct Module {
    KeepFn keep = nullptr;
    BlurFn blur = nullptr;
    OcrFn ocr = nullptr;
};

// The module sits next to the program, in the build tree as in the installed libexec folder.
std::string modulePath() {
    char self[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "zephrin-images.so";
    std::string path(self, static_cast<std::size_t>(n));
    return path.substr(0, path.rfind('/') + 1) + "zephrin-images.so";
}

const Module& module() {
    static const Module loaded = [] {
        Module m;
        void* handle = ::dlopen(modulePath().c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            // Said once; image requests then answer as failed, which the host already handles.
            std::fprintf(stderr, "watch: image work unavailable: %s\n", ::dlerror());
            return m;
        }
        m.keep = reinterpret_cast<KeepFn>(::dlsym(handle, "zephrinKeepFrame"));
        m.blur = reinterpret_cast<BlurFn>(::dlsym(handle, "zephrinBlurImage"));
        m.ocr = reinterpret_cast<OcrFn>(::dlsym(handle, "zephrinRecognizeText"));
        return m;
    }();
    return loaded;
}

} // namespace

void keepFrame(const Picture& picture, const std::string& why, const std::string& frameKey,
               std::uint32_t windowId) {
    if (auto keep = module().keep) keep(picture, why, frameKey, windowId);
}

bool blurImage(const std::string& path, const std::vector<BlurBox>& boxes) {
    bool ok = false;
    if (auto blur = module().blur) blur(path, boxes, ok);
    return ok;
}

std::vector<TextLine> recognizeText(const std::string& path) {
    std::vector<TextLine> lines;
    if (auto ocr = module().ocr) ocr(path, lines);
    return lines;
}
