#include "watch/core/emit.h"
#include "watch/frames/imagejobs.h"
#include "watch/frames/images.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <set>

using vips::VImage;

namespace {

// A box coordinate: numbers as they are, strings read as decimals, anything else 0.
double coordinate(const json& box, const char* key) {
    auto it = box.find(key);
    if (it == box.end()) return 0;
    double value = 0;
    if (it->is_number()) {
        value = it->get<double>();
    } else if (it->is_boolean()) {
        value = it->get<bool>() ? 1 : 0;
    } else if (it->is_string()) {
        const std::string& s = it->get_ref<const std::string&>();
        std::size_t i = s.find_first_not_of(" \t\n\r\f\v");
        if (i == std::string::npos) return 0;
        if (s[i] == '+') ++i;
        std::from_chars(s.data() + i, s.data() + s.size(), value);
    }
    return std::isfinite(value) ? value : 0;
}

// Pixel rectangle (top-left origin) covered by a box grown by 6 pixels, cut to the image.
struct Area {
    int left, top, width, height;
};

std::optional<Area> boxArea(const json& box, int width, int height) {
    double x = coordinate(box, "x") * width, y = coordinate(box, "y") * height;
    double w = coordinate(box, "w") * width, h = coordinate(box, "h") * height;
    double left = std::min(x, x + w) - 6, right = std::max(x, x + w) + 6;
    double bottom = std::min(y, y + h) - 6, top = std::max(y, y + h) + 6;
    left = std::max(left, 0.0);
    bottom = std::max(bottom, 0.0);
    right = std::min(right, static_cast<double>(width));
    top = std::min(top, static_cast<double>(height));
    if (!(right > left && top > bottom)) return std::nullopt;
    // Whole pixels, rounded outward so partly covered pixels are blurred too.
    int x0 = static_cast<int>(std::floor(left)), x1 = static_cast<int>(std::ceil(right));
    int y0 = static_cast<int>(std::floor(height - top)),
        y1 = static_cast<int>(std::ceil(height - bottom));
    if (x1 <= x0 || y1 <= y0) return std::nullopt;
    return Area{x0, y0, x1 - x0, y1 - y0};
}

// Blurs of one file take turns: each reads the file, blurs and replaces it, so two at once would
// each start from the unblurred picture and the later rename would bring back what the earlier
// one hid, after it had answered "ok".
class FileTurn {
  public:
    explicit FileTurn(std::string path) : path_(std::move(path)) {
        std::unique_lock lock(mutex_);
        freed_.wait(lock, [&] { return !busy_.contains(path_); });
        busy_.insert(path_);
    }
    ~FileTurn() {
        {
            std::lock_guard lock(mutex_);
            busy_.erase(path_);
        }
        freed_.notify_all();
    }
    FileTurn(const FileTurn&) = delete;
    FileTurn& operator=(const FileTurn&) = delete;

  private:
    std::string path_;
    static inline std::mutex mutex_;
    static inline std::condition_variable freed_;
    static inline std::set<std::string> busy_;
};

// Decoding is bounded: anything in the frames directory can be handed to "blur".
constexpr double maxPixels = 100e6;

} // namespace

double blurRadius(int width) {
    return std::max(width / 80.0, 12.0);
}

void blurImage(const std::string& path, const json& boxes, const std::string& id, bool permitted) {
    bool ok = false;
    if (permitted && !path.empty() && boxes.is_array() && !boxes.empty()) {
        FileTurn turn(path); // the resolved path, so every spelling of one file shares a turn
        startImages();
        try {
            VImage image = VImage::new_from_file(
                path.c_str(), VImage::option()->set("access", VIPS_ACCESS_RANDOM));
            const int width = image.width(), height = image.height();
            if (static_cast<double>(width) * height <= maxPixels) {
                // The library extends edge pixels outward, so the blur does not fade at borders.
                VImage blurred =
                    image.gaussblur(blurRadius(width), VImage::option()->set("min_ampl", 0.01));
                VImage result = image;
                for (const json& box : boxes) {
                    if (!box.is_object()) continue;
                    auto area = boxArea(box, width, height);
                    if (!area) continue;
                    result = result.insert(
                        blurred.extract_area(area->left, area->top, area->width, area->height),
                        area->left, area->top);
                }
                ok = writeJpeg(result, path);
            }
        } catch (const vips::VError&) {
            ok = false;
        }
    }
    emit({{"kind", "blurred"}, {"id", id}, {"ok", ok}});
}
