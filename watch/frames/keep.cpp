#include "watch/frames/keep.h"
#include "watch/accessibility/observe.h"
#include "watch/core/emit.h"
#include "watch/core/state.h"
#include "watch/frames/framesdir.h"
#include "watch/frames/images.h"

#include <bit>
#include <cinttypes>
#include <cstdio>
#include <optional>
#include <stdlib.h>

void keepFrame(const Picture& picture, const std::string& why, const std::string& frameKey,
               std::uint32_t windowId) {
    // Straight to JPEG's planes when the scaler takes the picture; libvips otherwise.
    std::optional<YuvFrame> yuv = shrinkFrameYuv(picture);
    vips::VImage kept;
    if (!yuv) {
        auto image = pictureImage(picture);
        if (!image) return;
        try {
            // Held in memory once: the hash and the encoder both read it.
            kept = shrinkFrame(*image).copy_memory();
        } catch (const vips::VError&) {
            return;
        }
    }
    const std::uint64_t hash = yuv ? differenceHash(*yuv) : differenceHash(kept);
    if (frameKey == lastFrameWindow && std::popcount(hash ^ lastFrameHash) <= 5) {
        emit({{"kind", "frame_dropped"}, {"why", "same"}});
        return;
    }
    // Without a directory the name would land in the working directory: nothing is written.
    if (framesDir.empty()) return;

    char name[64];
    std::snprintf(name, sizeof name, "f%lld-%u.jpg", millisecondsNow(),
                  arc4random_uniform(1000000));
    std::string path = framesDir;
    if (path.back() != '/') path += '/';
    path += name;
    const int dir = framesDirFd();
    if (!(yuv ? writeJpegAt(dir, name, *yuv) : writeJpegAt(dir, name, kept))) return;

    lastFrameHash = hash;
    lastFrameWindow = frameKey;
    lastFrameAt = loop::now();

    char dhash[17];
    std::snprintf(dhash, sizeof dhash, "%016" PRIx64, hash);
    emit({{"kind", "frame"},
          {"path", path},
          {"dhash", dhash},
          {"w", yuv ? yuv->width : kept.width()},
          {"h", yuv ? yuv->height : kept.height()},
          {"why", why},
          {"window_id", windowId},
          {"app", currentApp},
          {"bundle", currentBundle},
          {"window", currentWindow},
          {"url", currentUrl}});
}
