#pragma once
// The event sequences of the input actions. Each checks the target before its first event and
// again between steps; a failed check or a refused event answers and ends the process.
#include "platform/post.h"

#include <string>

// The answer when input went out but the window system held it back beyond the bound.
inline constexpr const char* lateSentence =
    "The input was sent but had not arrived after 2 seconds, so it may still arrive late; take a "
    "screenshot before trying again.";

// The answer when typed keys went out but the application did not read them within the bound.
inline constexpr const char* unreadSentence =
    "The app did not take the typed text within 2 seconds (it may be busy or hung), so some "
    "characters may be missing; take a screenshot before trying again.";

// Posts the event and waits until it has been delivered, or answers "macOS refused the input
// event." or the late sentence.
void postOrFail(const post::Event& event);

void move(double x, double y);

// count is 1 or 2.
void click(post::Button button, int count, double x, double y);

void drag(double x1, double y1, double x2, double y2);

// Wheel lines: positive vertical scrolls up, positive horizontal scrolls left.
void scroll(double x, double y, int vertical, int horizontal);

// text is valid UTF-8 and not empty.
void typeText(const std::string& text);

// Presses the key with the modifiers of combination (lower case, "+" between parts); answers
// "Unknown key." or "Unknown modifier %@." for names it does not know.
void pressKey(const std::string& combination);
