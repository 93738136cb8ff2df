// put_e and put_d through std::to_chars, for a build of the snapshot writer
// that formats with the library instead of by hand.
#include "to_chars_format.h"

char *put_e(char *out, double v, int width, int precision)
{
    return to_chars_format::e(out, v, width, precision);
}

char *put_d(char *out, int v, int width)
{
    return to_chars_format::d(out, v, width);
}
