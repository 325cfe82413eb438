#pragma once
// Word lists compiled in at build time, one entry a line (see frames.cmake for their sources).
extern const char givenNameList[];
extern const char familyNameList[];
extern const char placeNameList[];
extern const char commonWordList[];
