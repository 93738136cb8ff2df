// The snapshot files' number formats through std::to_chars: its scientific
// form with a precision is printf's "%.<precision>e" in the C locale, so
// right-aligning it in the field gives "%<width>.<precision>e" (and "%<width>d"
// for integers). The baseline the hand-written put_e is measured against.
#pragma once

#include <charconv>
#include <cstring>

#include "text_format.h"

namespace to_chars_format {

// Right-aligns the length characters at out in a field of width.
inline char *pad(char *out, std::size_t length, int width)
{
    const std::size_t w = width > 0 ? static_cast<std::size_t>(width) : 0;
    if (length >= w)
        return out + length;
    std::memmove(out + (w - length), out, length);
    std::memset(out, ' ', w - length);
    return out + w;
}

inline char *e(char *out, double v, int width, int precision)
{
    const std::to_chars_result r = std::to_chars(out, out + e_room(width, precision), v,
                                                 std::chars_format::scientific, precision);
    return pad(out, static_cast<std::size_t>(r.ptr - out), width);
}

inline char *d(char *out, int v, int width)
{
    const std::to_chars_result r = std::to_chars(out, out + 11, v);
    return pad(out, static_cast<std::size_t>(r.ptr - out), width);
}

}  // namespace to_chars_format
