// Number formatting for the snapshot files, without the printf machinery:
// the same characters as the C library's "%<width>.<precision>e" and
// "%<width>d", written straight into a caller's buffer.
#pragma once

#include <cstddef>

// Room put_e needs at most: the longer of width and precision + 8
// (sign, digit, point, exponent "e+308").
constexpr std::size_t e_room(int width, int precision)
{
    return static_cast<std::size_t>(width > precision + 8 ? width : precision + 8);
}

// Writes v as "%<width>.<precision>e" from out on, without a terminator;
// returns the end. Needs e_room(width, precision) characters.
char *put_e(char *out, double v, int width, int precision);

// Writes v as "%<width>d" from out on, without a terminator; returns the
// end. Needs the longer of width and 11 characters.
char *put_d(char *out, int v, int width);
