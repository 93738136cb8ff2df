// Number formatting for the snapshot files.
#include "text_format.h"

#include <charconv>
#include <cstdio>
#include <cstring>

// Right-aligns the length characters at out in a field of width.
static char *pad_left(char *out, std::size_t length, int width)
{
    const std::size_t w = width > 0 ? static_cast<std::size_t>(width) : 0;
    if (length >= w)
        return out + length;
    std::memmove(out + (w - length), out, length);
    std::memset(out, ' ', w - length);
    return out + w;
}

char *put_e(char *out, double v, int width, int precision)
{
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
    // to_chars with a precision rounds exactly as printf does (from the
    // exact binary value, ties to even) and spells inf and nan the same way.
    const std::to_chars_result r =
        std::to_chars(out, out + e_room(width, precision), v, std::chars_format::scientific,
                      precision);
    return pad_left(out, static_cast<std::size_t>(r.ptr - out), width);
#else
    char text[64];
    const int length = std::snprintf(text, sizeof text, "%*.*e", width, precision, v);
    std::memcpy(out, text, static_cast<std::size_t>(length));
    return out + length;
#endif
}

char *put_d(char *out, int v, int width)
{
    char digits[16];
    char *d = digits + sizeof digits;
    // In unsigned arithmetic, so that the most negative int has its magnitude.
    unsigned magnitude = v < 0 ? 0u - static_cast<unsigned>(v) : static_cast<unsigned>(v);
    do {
        *--d = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (v < 0)
        *--d = '-';
    const std::size_t length = static_cast<std::size_t>(digits + sizeof digits - d);
    std::memcpy(out, d, length);
    return pad_left(out, length, width);
}
