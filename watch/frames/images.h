#pragma once
// Image helpers shared by frame keeping and the image jobs, on libvips. Callable on any thread.
#include "watch/frames/keep.h"
#include "watch/frames/yuv.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vips/vips8>

// Starts libvips once, with its operation cache off (pictures arrive in reused memory and
// files are rewritten in place, so cached results would be stale), and routes the warnings of
// libvips and Leptonica to libraryWarning.
void startImages();

// Writes a library's warning to standard error, bounded: a broken file can make a decoder
// complain about every row, and a host that never reads standard error must not hold up a job.
// At most a few short lines a minute get through, and only while the descriptor has room.
void libraryWarning(std::string_view text);

// The largest picture "blur" and "ocr" take. A kept frame is at most 1280 pixels on its longer
// side, and a window at most the size of a screen; a header that claims more is refused before
// any pixel is decoded.
inline constexpr int maxPictureSide = 16384;
inline constexpr double maxPicturePixels = 40e6;
inline constexpr std::size_t maxPictureFile = 128u << 20;

// The picture in the file at path, for "blur" and "ocr". Only a regular file is read (a FIFO, a
// device or a directory never is; with followLinks false nor a link), of at most
// maxPictureFile bytes, in a raster format (JPEG, PNG, WebP, TIFF, GIF, HEIF, PPM), within the
// size limits above. Decoding is lazy and fails on the first error: a truncated or corrupt file
// throws when its pixels are read.
std::optional<vips::VImage> loadPicture(const std::string& path, bool followLinks,
                                        VipsAccess access = VIPS_ACCESS_RANDOM);

// The picture as a three-band sRGB image. It borrows the picture's bytes, which must outlive it.
std::optional<vips::VImage> pictureImage(const Picture& picture);

// The size a frame is kept at: at most 1280 pixels on the longer side; sides round half away
// from zero. A picture whose shorter side would round to 0 is kept as it is.
std::pair<int, int> frameSize(int width, int height);

// The image at frameSize, with a Lanczos kernel.
vips::VImage shrinkFrame(const vips::VImage& image);

// 64-bit difference hash over a 9 x 8 grey copy: bit 63 is row 0 (top) column 0, set when that
// cell is strictly brighter than its right neighbour; bit 0 is row 7 column 7.
std::uint64_t differenceHash(const vips::VImage& image);

// The bits of that hash from the 9 x 8 grey cells, cell(row, column).
template <typename Cell> std::uint64_t hashOfCells(Cell cell) {
    std::uint64_t hash = 0;
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c)
            hash = (hash << 1) | (cell(r, c) > cell(r, c + 1) ? 1u : 0u);
    return hash;
}

// Writes the image as a JPEG file at quality 60. The bytes go to a temporary file in the same
// directory (mode 0600), which is then renamed over the path, so a failure leaves any existing
// file whole. True when the file was completely written.
bool writeJpeg(const vips::VImage& image, const std::string& path);
bool writeJpeg(const YuvFrame& frame, const std::string& path);
// The same for the file name in an open directory; a link at the name's place is replaced, never
// followed.
bool writeJpegAt(int dirFd, const std::string& name, const vips::VImage& image);
bool writeJpegAt(int dirFd, const std::string& name, const YuvFrame& frame);
