#pragma once
// Text recognition with line boxes, on Tesseract.
#include <string>
#include <vector>
#include <vips/vips8>

// A recognised line; the box is in fractions of the image, origin at the bottom left.
struct TextLine {
    std::string text;
    double x = 0, y = 0, w = 0, h = 0;
};

// The lines of text in the image, in reading order. One English engine serves every caller,
// one picture at a time; an engine that cannot start reads nothing.
std::vector<TextLine> readLines(const vips::VImage& image);
