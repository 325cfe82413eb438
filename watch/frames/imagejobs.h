#pragma once
// The "names", "blur" and "ocr" commands. Each dispatcher runs on the main thread: it reads and
// checks the command's fields (deciding the blur permission from the current frames directory),
// hands the job to the utility pool and returns at once. The job answers through emit.
#include "common/jsonline.h"

void dispatchNames(const json& command);
void dispatchBlur(const json& command);
void dispatchOcr(const json& command);
