// Number formatting for the snapshot files.
#include "text_format.h"

#include <charconv>
#include <cmath>
#include <cstdint>
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

// The powers of ten up to 10^22 as 128-bit integers.
struct powers_of_ten {
    unsigned __int128 p[23];
    constexpr powers_of_ten() : p()
    {
        p[0] = 1;
        for (int k = 1; k < 23; k++)
            p[k] = p[k - 1] * 10;
    }
};
static constexpr powers_of_ten kTen;

// "%.<precision>e" of a normal double of magnitude below 2^53 whose decimal
// exponent e lies in [precision - 22, precision], in exact integer
// arithmetic: v = m 2^-s with m < 2^53, so v 10^k = m 10^k 2^-s with
// m 10^k < 2^126, and the digits are that number rounded to an integer,
// ties to even, exactly as printf rounds. Returns nullptr for every other
// value (and for precision beyond 17), which then goes to the library.
static char *exact_e(char *out, double v, int precision)
{
    if (precision < 0 || precision > 17)
        return nullptr;
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const int biased = static_cast<int>((bits >> 52) & 0x7ff);
    if (biased == 0 || biased == 0x7ff)
        return nullptr;  // zero, subnormal, infinity, not a number
    const int b = biased - 1023;  // 2^b <= |v| < 2^(b + 1)
    if (b >= 52)
        return nullptr;
    const uint64_t m = (bits & ((uint64_t(1) << 52) - 1)) | (uint64_t(1) << 52);
    const int s = 52 - b;  // |v| = m 2^-s, 1 <= s

    uint64_t low = 1;  // 10^precision
    for (int i = 0; i < precision; i++)
        low *= 10;
    const uint64_t high = low * 10;

    // First guess of the decimal exponent, floor(b log10 2) within one;
    // corrected until the rounded digits have precision + 1 of them.
    int e = static_cast<int>(std::floor(b * 0.30102999566398120));
    uint64_t digits = 0;
    for (int tries = 0;; tries++) {
        const int k = precision - e;
        if (tries == 4 || k < 0 || k > 22 || s > 127)
            return nullptr;
        const unsigned __int128 n = static_cast<unsigned __int128>(m) * kTen.p[k];
        unsigned __int128 d = n >> s;
        const unsigned __int128 rest = n - (d << s);
        const unsigned __int128 half = static_cast<unsigned __int128>(1) << (s - 1);
        if (rest > half || (rest == half && (d & 1) != 0))
            d++;
        if (d < low) {
            e--;
        } else if (d >= high) {
            e++;  // a higher decade, or rounded up into it
        } else {
            digits = static_cast<uint64_t>(d);
            break;
        }
    }

    char *p = out;
    if (bits >> 63)
        *p++ = '-';
    char text[20];
    for (int i = precision; i >= 0; i--) {
        text[i] = static_cast<char>('0' + digits % 10);
        digits /= 10;
    }
    *p++ = text[0];
    if (precision > 0) {
        *p++ = '.';
        std::memcpy(p, text + 1, static_cast<size_t>(precision));
        p += precision;
    }
    *p++ = 'e';
    *p++ = e < 0 ? '-' : '+';
    const int magnitude = e < 0 ? -e : e;  // at most 22 here
    *p++ = static_cast<char>('0' + magnitude / 10);
    *p++ = static_cast<char>('0' + magnitude % 10);
    return p;
}

char *put_e(char *out, double v, int width, int precision)
{
    if (char *end = exact_e(out, v, precision))
        return pad_left(out, static_cast<std::size_t>(end - out), width);
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
    // Faster than a digit loop of our own (number_format_benchmark).
    const std::to_chars_result r = std::to_chars(out, out + 11, v);
    return pad_left(out, static_cast<std::size_t>(r.ptr - out), width);
}
