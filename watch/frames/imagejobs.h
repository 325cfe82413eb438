#pragma once
// The "names", "blur" and "ocr" commands. Each dispatcher runs on the main thread: it reads and
// checks the command's fields (deciding the blur permission from the current frames directory),
// hands the job over and returns at once. Every request is answered exactly once, through emit.
#include "common/jsonline.h"

#include <optional>
#include <string>
#include <vector>

void dispatchNames(const json& command);
void dispatchBlur(const json& command);
void dispatchOcr(const json& command);

// Waits at most `seconds` for the answers of the requests in flight, then answers those still
// running as failed; a job that finishes later says nothing. Main thread, at the end.
void settleImageRequests(double seconds);

// The file "blur" may rewrite for path: with every link resolved, a regular file strictly
// inside the (equally resolved) frames directory, which may not be the root. Nothing when
// refused.
std::optional<std::string> writableFrame(const std::string& path, const std::string& frames);

// A box in fractions of the image, origin at the bottom left, as "ocr" reports and "blur" takes.
struct BlurBox {
    double x = 0, y = 0, w = 0, h = 0;
};

// The boxes of a "blur" command: the objects of the list, each coordinate a number or a decimal
// string (anything else counts as 0); other elements are skipped. Reads two levels, no deeper.
std::vector<BlurBox> readBoxes(const json& list);

// The pixel rectangle (top-left origin) that a box covers, grown by 6 pixels on every side and
// cut to the image; nothing when no pixel is left.
struct PixelArea {
    int left, top, width, height;
};
std::optional<PixelArea> boxArea(const BlurBox& box, int width, int height);

// Blurs the boxes of the image file at path (already found writable) and rewrites it as JPEG;
// true when the file was rewritten. Blurs of one file must not run at once.
bool blurImage(const std::string& path, const std::vector<BlurBox>& boxes);

// A recognised line; the box is in fractions of the image, origin at the bottom left.
struct TextLine {
    std::string text;
    double x = 0, y = 0, w = 0, h = 0;
};

// The text lines of the image file at path, in reading order; none when it cannot be read.
std::vector<TextLine> recognizeText(const std::string& path);

// The blur radius for an image `width` pixels wide.
double blurRadius(int width);
