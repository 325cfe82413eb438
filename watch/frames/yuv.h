#pragma once
// The fast way to a kept frame: the picture is shrunk straight into the YCbCr planes that a JPEG
// file stores, so no RGB copy is made and the encoder converts nothing.
#include "watch/frames/keep.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

struct Plane {
    struct Free {
        void operator()(std::uint8_t* bytes) const;
    };
    int width = 0;
    int height = 0;
    std::size_t stride = 0; // bytes from one row to the next
    std::unique_ptr<std::uint8_t, Free> bytes;

    std::uint8_t* row(int y) const { return bytes.get() + stride * static_cast<std::size_t>(y); }
};

// Full-range BT.601 YCbCr with chroma halved both ways (4:2:0, sides rounded up), as in JFIF.
// The encoder reads rows up to whole 8-sample blocks: shrinkFrameYuv fills that padding with
// the last column, and a frame filled otherwise must fill it too.
struct YuvFrame {
    int width = 0;
    int height = 0;
    Plane luma, cb, cr;
};

// A frame of that size with room for the padding, its samples not yet set; nothing when memory
// is short.
std::optional<YuvFrame> makeFrame(int width, int height);

// The picture shrunk as shrinkFrame does it (same sizes, Lanczos kernel), or nothing when the
// picture cannot be taken this way, and the libvips path has to do it.
std::optional<YuvFrame> shrinkFrameYuv(const Picture& picture);

// The difference hash of the frame's luma, by the same rule as for an image.
std::uint64_t differenceHash(const YuvFrame& frame);

// The frame as JPEG bytes at quality 60 with the settings libvips uses (4:2:0, no optimised
// tables, no metadata); empty when the encoder refuses it. Any thread.
std::vector<unsigned char> encodeJpeg(const YuvFrame& frame);

// A grey picture scaled (bicubic) into dst, which holds dstWidth * dstHeight bytes; false when
// the scaler refuses the sizes. Any thread.
bool scaleGrey(const std::uint8_t* src, int width, int height, std::size_t stride,
               std::uint8_t* dst, int dstWidth, int dstHeight);
