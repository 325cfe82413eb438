#include "watch/frames/imagejobs.h"
#include "watch/frames/images.h"

#include <algorithm>
#include <cmath>

using vips::VImage;

std::optional<PixelArea> boxArea(const BlurBox& box, int width, int height) {
    const double x = box.x * width, y = box.y * height, w = box.w * width, h = box.h * height;
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
    return PixelArea{x0, y0, x1 - x0, y1 - y0};
}

double blurRadius(int width) {
    return std::max(width / 80.0, 12.0);
}

bool blurImage(const std::string& path, const std::vector<BlurBox>& boxes) {
    // The path is resolved already: a link in its place now is not followed.
    auto image = loadPicture(path, false);
    if (!image) return false;
    try {
        const int width = image->width(), height = image->height();
        // The library extends edge pixels outward, so the blur does not fade at borders.
        VImage blurred =
            image->gaussblur(blurRadius(width), VImage::option()->set("min_ampl", 0.01));
        VImage result = *image;
        for (const BlurBox& box : boxes) {
            auto area = boxArea(box, width, height);
            if (!area) continue;
            result = result.insert(
                blurred.extract_area(area->left, area->top, area->width, area->height), area->left,
                area->top);
        }
        // Encoded whole before the file is replaced: a decoding failure leaves the file alone.
        return writeJpeg(result, path);
    } catch (const vips::VError&) {
        vips_error_clear();
        return false;
    }
}
