#include "watch/frames/yuv.h"
#include "watch/frames/images.h"

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <jpeglib.h>
#include <turbojpeg.h>

void Plane::Free::operator()(std::uint8_t* bytes) const {
    av_free(bytes);
}

namespace {

std::size_t alignUp(std::size_t n, std::size_t to) {
    return (n + to - 1) / to * to;
}

// Rows padded to whole blocks for the encoder, and room past the last row for the scaler's
// vector stores.
std::optional<Plane> makePlane(int width, int height) {
    Plane p;
    p.width = width;
    p.height = height;
    p.stride = alignUp(static_cast<std::size_t>(width), 64);
    p.bytes.reset(static_cast<std::uint8_t*>(
        av_malloc(p.stride * alignUp(static_cast<std::size_t>(height), 8) + 64)));
    if (!p.bytes) return std::nullopt;
    return p;
}

// Rows are read past their width: by the encoder up to whole 8 x 8 blocks, and by the scaler's
// vector loads, with weight 0, when a filter is wider than the row. Repeating the edge keeps the
// padding from ringing into the picture and leaves nothing unset.
void padColumns(Plane& plane) {
    const std::size_t used = static_cast<std::size_t>(plane.width);
    if (plane.stride == used) return;
    for (int y = 0; y < plane.height; ++y) {
        std::uint8_t* row = plane.row(y);
        std::memset(row + used, row[used - 1], plane.stride - used);
    }
}

} // namespace

std::optional<YuvFrame> makeFrame(int width, int height) {
    if (width <= 0 || height <= 0) return std::nullopt;
    auto luma = makePlane(width, height), cb = makePlane((width + 1) / 2, (height + 1) / 2),
         cr = makePlane((width + 1) / 2, (height + 1) / 2);
    if (!luma || !cb || !cr) return std::nullopt;
    return YuvFrame{width, height, std::move(*luma), std::move(*cb), std::move(*cr)};
}

namespace {

struct ScalerKey {
    int srcW, srcH;
    AVPixelFormat srcFormat;
    int dstW, dstH;
    AVPixelFormat dstFormat;
    int flags;
    bool operator==(const ScalerKey&) const = default;
};

// Setting up a Lanczos scaler costs about as much as a small frame; windows keep their size, so
// the last one is kept. One per thread, since a context is not shared between threads.
struct Scaler {
    ScalerKey key{};
    SwsContext* context = nullptr;
    ~Scaler() { sws_freeContext(context); }

    SwsContext* get(const ScalerKey& wanted) {
        if (context && key == wanted) return context;
        sws_freeContext(context);
        context = sws_alloc_context();
        if (!context) return nullptr;
        // Full range both ways, as JFIF stores YCbCr: nothing is stretched.
        const bool ok = av_opt_set_int(context, "srcw", wanted.srcW, 0) >= 0 &&
                        av_opt_set_int(context, "srch", wanted.srcH, 0) >= 0 &&
                        av_opt_set_int(context, "src_format", wanted.srcFormat, 0) >= 0 &&
                        av_opt_set_int(context, "dstw", wanted.dstW, 0) >= 0 &&
                        av_opt_set_int(context, "dsth", wanted.dstH, 0) >= 0 &&
                        av_opt_set_int(context, "dst_format", wanted.dstFormat, 0) >= 0 &&
                        av_opt_set_int(context, "sws_flags", wanted.flags, 0) >= 0 &&
                        av_opt_set_int(context, "src_range", 1, 0) >= 0 &&
                        av_opt_set_int(context, "dst_range", 1, 0) >= 0 &&
                        av_opt_set_int(context, "threads", 1, 0) >= 0 &&
                        sws_init_context(context, nullptr, nullptr) >= 0;
        if (!ok) {
            sws_freeContext(context);
            context = nullptr;
            return nullptr;
        }
        key = wanted;
        return context;
    }
};

thread_local Scaler frameScaler, hashScaler;

struct Converter {
    tjhandle handle = tjInitCompress();
    ~Converter() {
        if (handle) tjDestroy(handle);
    }
};

thread_local Converter converter;

// Everything the encoder changes lives here, outside the frame that setjmp marks.
struct JpegJob {
    jpeg_error_mgr errors; // first, so the library's pointer to it leads back here
    jpeg_compress_struct info;
    std::jmp_buf failed;
    unsigned char* bytes = nullptr;
    unsigned long size = 0;
};

// The library's default reaction to an error is exit().
[[noreturn]] void jpegFailed(j_common_ptr info) {
    std::longjmp(reinterpret_cast<JpegJob*>(info->err)->failed, 1);
}

void jpegQuiet(j_common_ptr) {}

// Only trivially destructible objects live in this frame, so a longjmp out skips nothing.
bool compress(const YuvFrame& frame, JpegJob& job) {
    jpeg_compress_struct& info = job.info;
    info.err = jpeg_std_error(&job.errors);
    job.errors.error_exit = jpegFailed;
    job.errors.output_message = jpegQuiet;
    if (setjmp(job.failed)) {
        jpeg_destroy_compress(&job.info);
        return false;
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, &job.bytes, &job.size);
    info.image_width = static_cast<JDIMENSION>(frame.width);
    info.image_height = static_cast<JDIMENSION>(frame.height);
    info.input_components = 3;
    info.in_color_space = JCS_YCbCr;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 60, TRUE);
    info.raw_data_in = TRUE;
    info.comp_info[0].h_samp_factor = info.comp_info[0].v_samp_factor = 2;
    for (int c = 1; c < 3; ++c)
        info.comp_info[c].h_samp_factor = info.comp_info[c].v_samp_factor = 1;
    jpeg_start_compress(&info, TRUE);

    // One row of 16 x 16 blocks a call; rows below the picture repeat its last row.
    JSAMPROW lumaRows[16], cbRows[8], crRows[8];
    JSAMPARRAY planes[3] = {lumaRows, cbRows, crRows};
    while (info.next_scanline < info.image_height) {
        const int top = static_cast<int>(info.next_scanline);
        for (int i = 0; i < 16; ++i)
            lumaRows[i] = frame.luma.row(std::min(top + i, frame.luma.height - 1));
        for (int i = 0; i < 8; ++i) {
            cbRows[i] = frame.cb.row(std::min(top / 2 + i, frame.cb.height - 1));
            crRows[i] = frame.cr.row(std::min(top / 2 + i, frame.cr.height - 1));
        }
        if (jpeg_write_raw_data(&info, planes, 16) == 0)
            jpegFailed(reinterpret_cast<j_common_ptr>(&info));
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}

} // namespace

std::optional<YuvFrame> shrinkFrameYuv(const Picture& picture) {
    const int width = picture.width, height = picture.height;
    if (width <= 0 || height <= 0 || picture.stride < static_cast<std::size_t>(width) * 4 ||
        picture.stride > INT_MAX || picture.stride % 4 != 0)
        return std::nullopt;
    if (picture.pixels.size() < picture.stride * static_cast<std::size_t>(height))
        return std::nullopt;
    if (!converter.handle) return std::nullopt;

    // libjpeg-turbo's own colour conversion and 2 x 2 chroma averaging, the ones its encoder
    // would apply to RGB: vectorised, and exact to JFIF. Planes of odd sides are padded by one
    // repeated sample, which makePlane leaves room for.
    auto full = makeFrame(width, height);
    if (!full) return std::nullopt;
    std::uint8_t* planes[3] = {full->luma.row(0), full->cb.row(0), full->cr.row(0)};
    int strides[3] = {static_cast<int>(full->luma.stride), static_cast<int>(full->cb.stride),
                      static_cast<int>(full->cr.stride)};
    // The fourth byte is never read: a captured window is opaque.
    const int format = picture.order == Picture::Order::bgra ? TJPF_BGRX : TJPF_RGBX;
    if (tjEncodeYUVPlanes(converter.handle, picture.pixels.data(), width,
                          static_cast<int>(picture.stride), height, format, planes, strides,
                          TJSAMP_420, 0) != 0)
        return std::nullopt;

    const auto [w, h] = frameSize(width, height);
    padColumns(full->luma);
    padColumns(full->cb);
    padColumns(full->cr);
    if (w == width && h == height) return full;

    // Shrinking planar YCbCr to YCbCr of the same range needs no conversion in the scaler.
    auto frame = makeFrame(w, h);
    if (!frame) return std::nullopt;
    SwsContext* context =
        frameScaler.get({width, height, AV_PIX_FMT_YUV420P, w, h, AV_PIX_FMT_YUV420P, SWS_LANCZOS});
    if (!context) return std::nullopt;
    const std::uint8_t* source[4] = {full->luma.row(0), full->cb.row(0), full->cr.row(0), nullptr};
    const int sourceStride[4] = {strides[0], strides[1], strides[2], 0};
    std::uint8_t* target[4] = {frame->luma.row(0), frame->cb.row(0), frame->cr.row(0), nullptr};
    const int targetStride[4] = {static_cast<int>(frame->luma.stride),
                                 static_cast<int>(frame->cb.stride),
                                 static_cast<int>(frame->cr.stride), 0};
    if (sws_scale(context, source, sourceStride, 0, height, target, targetStride) != h)
        return std::nullopt;
    padColumns(frame->luma);
    padColumns(frame->cb);
    padColumns(frame->cr);
    return frame;
}

std::uint64_t differenceHash(const YuvFrame& frame) {
    const Plane& luma = frame.luma;
    if (!luma.bytes || luma.width <= 0 || luma.height <= 0) return 0;
    // The luma plane is the grey picture already. Area averaging weighs every pixel alike and
    // has no negative lobes, so flat areas stay flat and set no bits.
    SwsContext* context = hashScaler.get(
        {luma.width, luma.height, AV_PIX_FMT_GRAY8, 9, 8, AV_PIX_FMT_GRAY8, SWS_AREA});
    if (!context) return 0;
    // Rows of 64 bytes: the scaler's vector stores may run past the ninth column.
    alignas(64) std::uint8_t cells[8][64] = {};
    const std::uint8_t* source[4] = {luma.row(0), nullptr, nullptr, nullptr};
    const int sourceStride[4] = {static_cast<int>(luma.stride), 0, 0, 0};
    std::uint8_t* target[4] = {cells[0], nullptr, nullptr, nullptr};
    const int targetStride[4] = {64, 0, 0, 0};
    if (sws_scale(context, source, sourceStride, 0, luma.height, target, targetStride) != 8)
        return 0;
    return hashOfCells([&](int r, int c) { return cells[r][c]; });
}

bool scaleGrey(const std::uint8_t* src, int width, int height, std::size_t stride,
               std::uint8_t* dst, int dstWidth, int dstHeight) {
    if (width <= 0 || height <= 0 || dstWidth <= 0 || dstHeight <= 0 || stride > INT_MAX)
        return false;
    thread_local Scaler greyScaler;
    SwsContext* context = greyScaler.get({width, height, AV_PIX_FMT_GRAY8, dstWidth, dstHeight,
                                          AV_PIX_FMT_GRAY8, SWS_BICUBIC | SWS_ACCURATE_RND});
    if (!context) return false;
    const std::uint8_t* source[4] = {src, nullptr, nullptr, nullptr};
    const int sourceStride[4] = {static_cast<int>(stride), 0, 0, 0};
    std::uint8_t* target[4] = {dst, nullptr, nullptr, nullptr};
    const int targetStride[4] = {dstWidth, 0, 0, 0};
    return sws_scale(context, source, sourceStride, 0, height, target, targetStride) == dstHeight;
}

std::vector<unsigned char> encodeJpeg(const YuvFrame& frame) {
    std::vector<unsigned char> bytes;
    if (!frame.luma.bytes || !frame.cb.bytes || !frame.cr.bytes || frame.width <= 0 ||
        frame.height <= 0)
        return bytes;
    JpegJob job{};
    if (compress(frame, job) && job.bytes) bytes.assign(job.bytes, job.bytes + job.size);
    std::free(job.bytes);
    return bytes;
}
