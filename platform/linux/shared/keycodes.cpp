#include "platform/linux/shared/keycodes.h"

#include <X11/keysym.h>

namespace keycodes {
namespace {

constexpr Place places_[] = {
    {0, 38, XK_a},         {1, 39, XK_s},          {2, 40, XK_d},
    {3, 41, XK_f},         {4, 43, XK_h},          {5, 42, XK_g},
    {6, 52, XK_z},         {7, 53, XK_x},          {8, 54, XK_c},
    {9, 55, XK_v},         {11, 56, XK_b},         {12, 24, XK_q},
    {13, 25, XK_w},        {14, 26, XK_e},         {15, 27, XK_r},
    {16, 29, XK_y},        {17, 28, XK_t},         {18, 10, XK_1},
    {19, 11, XK_2},        {20, 12, XK_3},         {21, 13, XK_4},
    {22, 15, XK_6},        {23, 14, XK_5},         {24, 21, XK_equal},
    {25, 18, XK_9},        {26, 16, XK_7},         {27, 20, XK_minus},
    {28, 17, XK_8},        {29, 19, XK_0},         {30, 35, XK_bracketright},
    {31, 32, XK_o},        {32, 30, XK_u},         {33, 34, XK_bracketleft},
    {34, 31, XK_i},        {35, 33, XK_p},         {36, 36, XK_Return},
    {37, 46, XK_l},        {38, 44, XK_j},         {39, 48, XK_apostrophe},
    {40, 45, XK_k},        {41, 47, XK_semicolon}, {42, 51, XK_backslash},
    {43, 59, XK_comma},    {44, 61, XK_slash},     {45, 57, XK_n},
    {46, 58, XK_m},        {47, 60, XK_period},    {48, 23, XK_Tab},
    {49, 65, XK_space},    {50, 49, XK_grave},     {51, 22, XK_BackSpace},
    {53, 9, XK_Escape},    {96, 71, XK_F5},        {97, 72, XK_F6},
    {98, 73, XK_F7},       {99, 69, XK_F3},        {100, 74, XK_F8},
    {101, 75, XK_F9},      {103, 95, XK_F11},      {109, 76, XK_F10},
    {111, 96, XK_F12},     {115, 110, XK_Home},    {116, 112, XK_Prior},
    {117, 119, XK_Delete}, {118, 70, XK_F4},       {119, 115, XK_End},
    {120, 68, XK_F2},      {121, 117, XK_Next},    {122, 67, XK_F1},
    {123, 113, XK_Left},   {124, 114, XK_Right},   {125, 116, XK_Down},
    {126, 111, XK_Up},     {76, 104, XK_KP_Enter},
};

} // namespace

std::span<const Place> places() {
    return places_;
}

int virtualCodeOf(int xCode, KeySym sym) {
    for (const Place& p : places_)
        if (p.xCode == xCode) return p.virtualCode;
    if (sym != NoSymbol)
        for (const Place& p : places_)
            if (p.usSym == sym) return p.virtualCode;
    return -1;
}

} // namespace keycodes
