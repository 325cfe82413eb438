#pragma once
// Input goes only to the target: it must be in front, own the front window and, for actions at
// a point, own the window under it.
#include <string>
#include <string_view>

// Returns when the target is the front application and owns the frontmost ordinary window;
// otherwise answers and ends the process.
void guardFront();

// The owner of the topmost window under the point; -1 when there is none.
int ownerAt(double x, double y);

// Answers why input to the window of owner was refused, and ends the process.
[[noreturn]] void refuseWindow(int owner, bool targetHasWindow, std::string_view prefix);

// Refuses with "That spot is on" unless the target owns the topmost window under the point.
void checkPoint(double x, double y);

// An application name fit for a sentence: no control or format characters, no line breaks,
// trimmed, at most 80 UTF-16 units.
std::string plainName(std::string_view name);
