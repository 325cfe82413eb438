#pragma once
// The "names", "blur" and "ocr" commands. Each dispatcher runs on the main thread: it reads and
// checks the command's fields (deciding the blur permission from the current frames directory),
// hands the job to the utility pool and returns at once. The job answers through emit.
#include "common/jsonline.h"

#include <optional>
#include <string>

void dispatchNames(const json& command);
void dispatchBlur(const json& command);
void dispatchOcr(const json& command);

// The file "blur" may rewrite for path: with every link resolved, a regular file strictly
// inside the (equally resolved) frames directory. Nothing when refused.
std::optional<std::string> writableFrame(const std::string& path, const std::string& frames);

// Blurs the boxes of the image at path and rewrites it as JPEG; emits "blurred". A box is an
// object {"x","y","w","h"} in fractions of the image, origin at the bottom left.
void blurImage(const std::string& path, const json& boxes, const std::string& id, bool permitted);

// Recognises the text lines of the image at path; emits "ocr" with boxes in the same convention.
void recognizeText(const std::string& path, const std::string& id);

// The blur radius for an image `width` pixels wide.
double blurRadius(int width);
