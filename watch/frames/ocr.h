#pragma once
// Text recognition with line boxes, on Tesseract.
#include "watch/frames/imagejobs.h"

#include <vector>
#include <vips/vips8>

// The lines of text in the image, in reading order. One English engine serves every caller,
// one picture at a time; an engine that cannot start reads nothing.
std::vector<TextLine> readLines(const vips::VImage& image);
