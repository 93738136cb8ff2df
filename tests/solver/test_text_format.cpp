// The hand-made number formatting against the C library's, character for
// character, over random and hard values of every format the files use.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "text_format.h"

namespace {

struct EFormat {
    int width;
    int precision;
};
// "%15.6e" (profile), "%.4e" (VTK); the extremes of the exact integer path
// (no decimals, 17 decimals) and one beyond it, wide.
const EFormat kFormats[] = {{15, 6}, {0, 4}, {0, 0}, {0, 17}, {25, 20}};

std::string library_e(double v, EFormat f)
{
    char text[128];
    std::snprintf(text, sizeof text, "%*.*e", f.width, f.precision, v);
    return text;
}

std::string ours_e(double v, EFormat f)
{
    char text[128];
    std::memset(text, '#', sizeof text);
    return std::string(text, put_e(text, v, f.width, f.precision));
}

// Compares every value in every format; stops reporting after a few misses.
void expect_same_e(const std::vector<double> &values, const std::string &what)
{
    int misses = 0;
    for (const EFormat f : kFormats)
        for (const double v : values) {
            const std::string expected = library_e(v, f);
            const std::string got = ours_e(v, f);
            if (got != expected && ++misses <= 5)
                ADD_FAILURE() << what << ": %" << f.width << "." << f.precision << "e of "
                              << library_e(v, {0, 17}) << " gave '" << got << "', not '"
                              << expected << "'";
        }
    EXPECT_EQ(misses, 0) << what;
}

TEST(NumberText, HardValues)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> values = {0.0, -0.0, 1.0, -1.0, 2.5, -0.5, 1.0 / 128, -0.49609375,
                                  inf, -inf, nan, -nan,
                                  std::numeric_limits<double>::max(),
                                  -std::numeric_limits<double>::max(),
                                  std::numeric_limits<double>::min(),
                                  std::numeric_limits<double>::denorm_min(),
                                  -std::numeric_limits<double>::denorm_min(), 1e-310, 1e300,
                                  1e-300, 1e100, 1e-100, 9.99995e-01, 9.9999995e+00,
                                  9.99995e+99, 9.99995e+100, 9.9999995e-100, 9.99995e-101};
    // Around the values that round up to the next decade, in every decade
    // (three-digit exponents included): the neighbours on both sides.
    for (int e = -320; e <= 308; e++)
        for (const double mantissa : {9.99995, 9.9999995, 9.5, 1.0}) {
            const double v = mantissa * std::pow(10.0, e);
            for (const double w : {std::nextafter(v, 0.0), v, std::nextafter(v, inf)})
                values.insert(values.end(), {w, -w});
        }
    // Exact binary fractions, among them exact ties between two decimals
    // (the library rounds them to even).
    for (int k = 0; k < 4096; k++)
        for (const int m : {0, 5, 10, 20, 30})
            values.push_back(std::ldexp(k, -m));
    expect_same_e(values, "hard values");
}

TEST(NumberText, RandomBitPatternsAndDensities)
{
    const uint64_t seed = std::random_device{}();
    std::mt19937_64 random(seed);
    std::vector<double> values;
    for (int i = 0; i < 100000; i++) {
        const uint64_t bits = random();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        values.push_back(v);
    }
    // The range of the files' data: densities, abscissae, coordinates; and
    // magnitudes from 1e-30 to 1e25, across the bounds of the integer path.
    std::uniform_real_distribution<double> density(0.0, 3.0), abscissa(-1.0, 1.0),
        decade(-30.0, 25.0);
    for (int i = 0; i < 100000; i++)
        values.insert(values.end(),
                      {density(random), abscissa(random), std::pow(10.0, decade(random))});
    expect_same_e(values, "random values, seed " + std::to_string(seed));
}

TEST(NumberText, Integers)
{
    std::vector<int> values = {INT_MIN, INT_MIN + 1, INT_MAX, -100000, 99999, 100000,
                               1000000000, -999};
    for (int g = -1; g <= 1000; g++)
        values.push_back(g);
    std::mt19937 random(7);
    for (int i = 0; i < 10000; i++)
        values.push_back(static_cast<int>(random()));
    for (const int width : {0, 4, 5, 9, 12})
        for (const int v : values) {
            char expected[32], got[32];
            std::snprintf(expected, sizeof expected, "%*d", width, v);
            *put_d(got, v, width) = '\0';
            ASSERT_STREQ(got, expected) << "%" << width << "d of " << v;
        }
}

}  // namespace
