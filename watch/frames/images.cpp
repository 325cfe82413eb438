#include "watch/frames/images.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <leptonica/allheaders.h>
#include <mutex>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

using vips::VImage;

#include "watch/frames/sanitizer_hooks.inc"

void libraryWarning(std::string_view text) {
    // A bucket of ten lines, refilled by one every six seconds.
    static std::mutex lock;
    static double tokens = 10;
    static auto last = std::chrono::steady_clock::now();
    static unsigned long dropped = 0;
    std::lock_guard guard(lock);
    const auto now = std::chrono::steady_clock::now();
    tokens = std::min(10.0, tokens + std::chrono::duration<double>(now - last).count() / 6.0);
    last = now;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.remove_suffix(1);
    pollfd room{STDERR_FILENO, POLLOUT, 0};
    if (tokens < 1 || ::poll(&room, 1, 0) != 1 || !(room.revents & POLLOUT)) {
        ++dropped;
        return;
    }
    tokens -= 1;
    std::string line = "watch: " + std::string(text.substr(0, 240));
    if (dropped) line += " (" + std::to_string(dropped) + " earlier warnings dropped)";
    dropped = 0;
    line += '\n';
    // Less than the pipe's atomic size, so the room poll found is enough: this never waits.
    [[maybe_unused]] auto n = ::write(STDERR_FILENO, line.data(), line.size());
}

void startImages() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_log_set_handler(
            "VIPS", static_cast<GLogLevelFlags>(G_LOG_LEVEL_MASK),
            [](const gchar*, GLogLevelFlags level, const gchar* message, gpointer) {
                // Information and debugging stay quiet, as GLib's own handler keeps them.
                if (level & (G_LOG_LEVEL_INFO | G_LOG_LEVEL_DEBUG)) return;
                libraryWarning(message ? message : "");
            },
            nullptr);
        leptSetStderrHandler([](const char* message) { libraryWarning(message ? message : ""); });
        if (VIPS_INIT("watch") != 0) return; // every later call then fails and is handled there
        vips_cache_set_max(0);
    });
}

namespace {

bool rasterLoader(const char* name) {
    static const char* const allowed[] = {"VipsForeignLoadJpegSource",  "VipsForeignLoadPngSource",
                                          "VipsForeignLoadWebpSource",  "VipsForeignLoadTiffSource",
                                          "VipsForeignLoadNsgifSource", "VipsForeignLoadGifSource",
                                          "VipsForeignLoadHeifSource",  "VipsForeignLoadPpmSource"};
    if (!name) return false;
    return std::any_of(std::begin(allowed), std::end(allowed),
                       [&](const char* a) { return std::string_view(a) == name; });
}

// The file's bytes, read through one descriptor that fstat found to be a regular file of at most
// maxPictureFile bytes. O_NONBLOCK keeps the open of a FIFO from waiting for a writer.
std::optional<std::string> readPictureFile(const std::string& path, bool followLinks) {
    const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (followLinks ? 0 : O_NOFOLLOW);
    const int fd = ::open(path.c_str(), flags);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::optional<std::string> bytes;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
        static_cast<std::size_t>(st.st_size) <= maxPictureFile) {
        std::string data(static_cast<std::size_t>(st.st_size), '\0');
        std::size_t got = 0;
        // A file still growing is read as far as fstat saw it.
        while (got < data.size()) {
            const ssize_t n = ::read(fd, data.data() + got, data.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        data.resize(got);
        if (got > 0) bytes = std::move(data);
    }
    ::close(fd);
    return bytes;
}

} // namespace

std::optional<VImage> loadPicture(const std::string& path, bool followLinks, VipsAccess access) {
    if (path.empty()) return std::nullopt;
    auto bytes = readPictureFile(path, followLinks);
    if (!bytes) return std::nullopt;
    startImages();
    // The source owns the bytes: the image reads them lazily, long after this returns.
    auto* held = new std::string(std::move(*bytes));
    VipsBlob* blob = vips_blob_new(
        [](void*, void* area) {
            delete static_cast<std::string*>(static_cast<VipsArea*>(area)->client);
            return 0;
        },
        held->data(), held->size());
    VIPS_AREA(blob)->client = held; // handed to the free callback with the area
    VipsSource* source = vips_source_new_from_blob(blob);
    vips_area_unref(VIPS_AREA(blob));
    if (!source) return std::nullopt;
    vips::VSource input(source);
    if (!rasterLoader(vips_foreign_find_load_source(source))) {
        vips_error_clear();
        return std::nullopt;
    }
    try {
        VImage image = VImage::new_from_source(
            input, "", VImage::option()->set("access", access)->set("fail_on", VIPS_FAIL_ON_ERROR));
        const int w = image.width(), h = image.height();
        if (w <= 0 || h <= 0 || w > maxPictureSide || h > maxPictureSide ||
            static_cast<double>(w) * h > maxPicturePixels)
            return std::nullopt;
        return image;
    } catch (const vips::VError&) {
        vips_error_clear();
        return std::nullopt;
    }
}

std::optional<VImage> pictureImage(const Picture& picture) {
    const int w = picture.width, h = picture.height;
    if (w <= 0 || h <= 0 || picture.stride < static_cast<std::size_t>(w) * 4) return std::nullopt;
    const std::size_t needed = picture.stride * static_cast<std::size_t>(h);
    if (picture.pixels.size() < needed || picture.stride % 4 != 0) return std::nullopt;
    startImages();
    try {
        // Padding at the row ends becomes extra columns, cut off again before any pixel is read.
        auto* bytes = const_cast<std::uint8_t*>(picture.pixels.data());
        VImage all = VImage::new_from_memory(bytes, needed, static_cast<int>(picture.stride / 4), h,
                                             4, VIPS_FORMAT_UCHAR);
        if (all.width() != w) all = all.extract_area(0, 0, w, h);
        VImage rgb = picture.order == Picture::Order::rgba
                         ? all.extract_band(0, VImage::option()->set("n", 3))
                         : all[2].bandjoin(all[1]).bandjoin(all[0]);
        return rgb.copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
    } catch (const vips::VError&) {
        return std::nullopt;
    }
}

std::pair<int, int> frameSize(int width, int height) {
    const double scale = std::min(1.0, 1280.0 / std::max(width, height));
    if (scale >= 1.0) return {width, height};
    const long w = std::lround(width * scale), h = std::lround(height * scale);
    if (w < 1 || h < 1) return {width, height};
    return {static_cast<int>(w), static_cast<int>(h)};
}

VImage shrinkFrame(const VImage& image) {
    const int width = image.width(), height = image.height();
    const auto [w, h] = frameSize(width, height);
    if (w == width && h == height) return image;
    VImage out = image.resize(static_cast<double>(w) / width,
                              VImage::option()
                                  ->set("vscale", static_cast<double>(h) / height)
                                  ->set("kernel", VIPS_KERNEL_LANCZOS3));
    // The scale factors are exact quotients, but guard against a size rounded the other way.
    if (out.width() != w || out.height() != h)
        out = out.embed(0, 0, w, h, VImage::option()->set("extend", VIPS_EXTEND_COPY));
    return out;
}

std::uint64_t differenceHash(const VImage& image) {
    try {
        // A triangle filter has no negative lobes, so flat areas stay flat and set no bits.
        VImage grey = image.resize(9.0 / image.width(), VImage::option()
                                                            ->set("vscale", 8.0 / image.height())
                                                            ->set("kernel", VIPS_KERNEL_LINEAR));
        if (grey.width() != 9 || grey.height() != 8) return 0;
        if (grey.bands() >= 3) grey = grey.colourspace(VIPS_INTERPRETATION_B_W);
        grey = grey.extract_band(0).cast(VIPS_FORMAT_UCHAR);
        std::size_t size = 0;
        auto* cells = static_cast<std::uint8_t*>(grey.write_to_memory(&size));
        if (!cells) return 0;
        const std::uint64_t hash =
            size == 72 ? hashOfCells([&](int r, int c) { return cells[r * 9 + c]; }) : 0;
        g_free(cells);
        return hash;
    } catch (const vips::VError&) {
        return 0;
    }
}

namespace {

bool writeAll(int fd, const unsigned char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Every JPEG file is replaced this way: bytes into a private temporary file beside the target,
// then one rename, so a reader never sees half a file and a failure leaves the old one whole.
// Both names are taken in the directory itself, never through a link at their place.
bool replaceFileAt(int dirFd, const std::string& name, const unsigned char* data,
                   std::size_t size) {
    if (dirFd < 0 || name.empty() || name.find('/') != std::string::npos || !data || size == 0)
        return false;
    std::string temp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 16; ++attempt) {
        temp = "." + name + "." + std::to_string(arc4random());
        fd = ::openat(dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      0600);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
    bool ok = ::fchmod(fd, 0600) == 0 && writeAll(fd, data, size);
    // A rewrite reaches the disk before it replaces the old file, so a crash of the machine
    // cannot leave an empty file where a whole frame was. New frames need no such care.
    struct stat existing {};
    if (ok && ::fstatat(dirFd, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0)
        ok = ::fdatasync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::renameat(dirFd, temp.c_str(), dirFd, name.c_str()) == 0;
    if (!ok) ::unlinkat(dirFd, temp.c_str(), 0);
    return ok;
}

bool replaceFile(const std::string& path, const unsigned char* data, std::size_t size) {
    if (path.empty() || path.back() == '/') return false;
    auto slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool ok =
        replaceFileAt(dirFd, path.substr(slash == std::string::npos ? 0 : slash + 1), data, size);
    if (dirFd >= 0) ::close(dirFd);
    return ok;
}

} // namespace

bool writeJpeg(const VImage& image, const std::string& path) {
    if (path.empty() || path.back() == '/') return false;
    auto slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool ok = writeJpegAt(dirFd, path.substr(slash == std::string::npos ? 0 : slash + 1), image);
    if (dirFd >= 0) ::close(dirFd);
    return ok;
}

bool writeJpeg(const YuvFrame& frame, const std::string& path) {
    if (path.empty() || path.back() == '/') return false;
    const auto bytes = encodeJpeg(frame);
    return replaceFile(path, bytes.data(), bytes.size());
}

bool writeJpegAt(int dirFd, const std::string& name, const YuvFrame& frame) {
    const auto bytes = encodeJpeg(frame);
    return replaceFileAt(dirFd, name, bytes.data(), bytes.size());
}

bool writeJpegAt(int dirFd, const std::string& name, const VImage& image) {
    startImages();
    VipsBlob* blob = nullptr;
    try {
        blob = image.jpegsave_buffer(VImage::option()->set("Q", 60)->set("strip", true));
    } catch (const vips::VError&) {
        return false;
    }
    std::size_t size = 0;
    auto* data = static_cast<const unsigned char*>(vips_blob_get(blob, &size));
    const bool ok = replaceFileAt(dirFd, name, data, size);
    vips_area_unref(VIPS_AREA(blob));
    return ok;
}
