#pragma once
// Image helpers shared by frame keeping and the image jobs, on libvips. Callable on any thread.
#include "watch/frames/keep.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vips/vips8>

// Starts libvips once, with its operation cache off: pictures arrive in reused memory and
// files are rewritten in place, so cached results would be stale.
void startImages();

// The picture as a three-band sRGB image. It borrows the picture's bytes, which must outlive it.
std::optional<vips::VImage> pictureImage(const Picture& picture);

// At most 1280 pixels on the longer side; sides round half away from zero. A picture whose
// shorter side would round to 0 is kept as it is.
vips::VImage shrinkFrame(const vips::VImage& image);

// 64-bit difference hash over a 9 x 8 grey copy: bit 63 is row 0 (top) column 0, set when that
// cell is strictly brighter than its right neighbour; bit 0 is row 7 column 7.
std::uint64_t differenceHash(const vips::VImage& image);

// Writes the image as a JPEG file at quality 60. The bytes go to a temporary file in the same
// directory (mode 0600), which is then renamed over the path, so a failure leaves any existing
// file whole. True when the file was completely written.
bool writeJpeg(const vips::VImage& image, const std::string& path);
