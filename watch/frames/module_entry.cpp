// The entry points of the image module, looked up by name when the watcher first needs image
// work. Everything else the module uses (emit, the frame state, the context) comes from the
// program that loaded it. Results come back through references: C linkage returns no C++ types.
#include "watch/frames/imagejobs.h"
#include "watch/frames/keep.h"

extern "C" {

void zephrinKeepFrame(const Picture& picture, const std::string& why, const std::string& frameKey,
                      std::uint32_t windowId) {
    keepFrame(picture, why, frameKey, windowId);
}

void zephrinBlurImage(const std::string& path, const std::vector<BlurBox>& boxes, bool& ok) {
    ok = blurImage(path, boxes);
}

void zephrinRecognizeText(const std::string& path, std::vector<TextLine>& lines) {
    lines = recognizeText(path);
}

} // extern "C"
