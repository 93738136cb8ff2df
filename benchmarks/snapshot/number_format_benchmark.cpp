// The snapshot files' number formatting on the values of a 2048 x 2048
// snapshot, each way: "hand", the hand-written put_e of text_format.cpp and
// the digit loop put_d had before it went to std::to_chars; "to_chars",
// std::to_chars right-aligned in the field (all it needs to give printf's
// characters); "fmt", {fmt}'s format_to, where it is installed. The text
// goes into a 1 MiB buffer that is used over and over, so no disk is involved:
//
//   e4/...      "%.4e" of the densities (the VTK file's scalars)
//   e15_6/...   "%15.6e" of the densities (the profile's format)
//   coords/...  "%.4e" of the points' x and y, as the VTK file lists them
//   d4/...      "%4d" of the densities' grey values (the PGM file)
//   text/...    the three files' whole text, assembled as profile() does
//
// Every formatter's text of every list is checked against put_e's and
// put_d's before it is timed.
//
//   build/cpu/bin/number_format_benchmark --benchmark_repetitions=5
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#ifdef HAVE_FMT
#include <fmt/compile.h>
#include <fmt/format.h>
#endif

#include "snapshot.h"
#include "text_format.h"
#include "to_chars_format.h"

namespace {

constexpr int kNodes = 2048;

// put_e, and the digit loop put_d had before it went to std::to_chars.
struct hand {
    static char *e(char *out, double v, int width, int precision)
    {
        return put_e(out, v, width, precision);
    }
    static char *d(char *out, int v, int width)
    {
        char digits[16];
        char *d = digits + sizeof digits;
        unsigned magnitude = v < 0 ? 0u - static_cast<unsigned>(v) : static_cast<unsigned>(v);
        do {
            *--d = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        if (v < 0)
            *--d = '-';
        const std::size_t length = static_cast<std::size_t>(digits + sizeof digits - d);
        std::memcpy(out, d, length);
        return to_chars_format::pad(out, length, width);
    }
};

struct to_chars {
    static char *e(char *out, double v, int width, int precision)
    {
        return to_chars_format::e(out, v, width, precision);
    }
    static char *d(char *out, int v, int width) { return to_chars_format::d(out, v, width); }
};

#ifdef HAVE_FMT
// The formats the files use compiled in; any other at run time.
struct fmt_lib {
    static char *e(char *out, double v, int width, int precision)
    {
        if (width == 0 && precision == 4)
            return fmt::format_to(out, FMT_COMPILE("{:.4e}"), v);
        if (width == 15 && precision == 6)
            return fmt::format_to(out, FMT_COMPILE("{:15.6e}"), v);
        return fmt::format_to(out, "{:{}.{}e}", v, width, precision);
    }
    static char *d(char *out, int v, int width)
    {
        if (width == 4)
            return fmt::format_to(out, FMT_COMPILE("{:4d}"), v);
        return fmt::format_to(out, "{:{}d}", v, width);
    }
};
#endif

// The values of one snapshot: densities of a separating fluid as
// snapshot_benchmark has them, their grey values, the points' coordinates.
struct snapshot_values {
    std::vector<double> rho, coords;
    std::vector<int> grey;
    double spacing = 1.0 / kNodes;
    snapshot_values()
    {
        std::mt19937_64 random(12345);
        std::uniform_real_distribution<double> density(0.3, 1.8);
        rho.resize(static_cast<std::size_t>(kNodes) * kNodes);
        for (double &v : rho)
            v = density(random);
        for (const double v : rho)
            grey.push_back(grey_value(v));
        coords.reserve(2 * rho.size());
        for (int x = 0; x < kNodes; x++)
            for (int y = 0; y < kNodes; y++)
                coords.insert(coords.end(), {x * spacing, y * spacing});
    }
};
const snapshot_values &values()
{
    static const snapshot_values v;
    return v;
}

// A text buffer of 1 MiB, started over when full, as if written out; with
// check, a hash of what would have been written.
class sink {
public:
    explicit sink(bool check = false)
        : buffer_(std::size_t(1) << 20), end_(buffer_.data()), check_(check)
    {
    }
    char *room()
    {
        if (static_cast<std::size_t>(end_ - buffer_.data()) > buffer_.size() - 256)
            write_out();
        return end_;
    }
    void advance(char *to) { end_ = to; }
    std::size_t bytes() const { return bytes_ + static_cast<std::size_t>(end_ - buffer_.data()); }
    uint64_t hash()
    {
        write_out();
        return hash_;
    }

private:
    void write_out()
    {
        benchmark::DoNotOptimize(buffer_.data());
        benchmark::ClobberMemory();
        if (check_)
            for (const char *c = buffer_.data(); c != end_; c++)
                hash_ = (hash_ ^ static_cast<unsigned char>(*c)) * 0x100000001b3u;  // FNV-1a
        bytes_ += static_cast<std::size_t>(end_ - buffer_.data());
        end_ = buffer_.data();
    }
    std::vector<char> buffer_;
    char *end_;
    bool check_;
    std::size_t bytes_ = 0;
    uint64_t hash_ = 0xcbf29ce484222325u;
};

// One value a line, as the VTK scalars and the profile's columns are.
template <typename F>
void e_lines(sink &s, const std::vector<double> &v, int width, int precision)
{
    for (const double x : v) {
        char *p = F::e(s.room(), x, width, precision);
        *p++ = '\n';
        s.advance(p);
    }
}

template <typename F>
void d_fields(sink &s, const std::vector<int> &v, int width)
{
    for (const int g : v)
        s.advance(F::d(s.room(), g, width));
}

// The text of the BP, BV and PV .vtk files of the snapshot, assembled as
// profile() does (grey fields and the points' y and z text formatted once).
template <typename F>
void snapshot_text(sink &s, const snapshot_values &sv)
{
    const int ym = kNodes / 2;
    for (int x = 0; x < kNodes; x++) {
        char *p = F::e(s.room(), (x + 1) * sv.spacing - sv.spacing / 2 - 0.5, 15, 6);
        *p++ = ' ';
        p = F::e(p, sv.rho[static_cast<std::size_t>(ym) * kNodes + x], 15, 6);
        *p++ = ' ';
        *p++ = '\n';
        s.advance(p);
    }

    char grey[256][4], field[32];
    for (int g = 0; g < 256; g++) {
        F::d(field, g, 4);
        std::memcpy(grey[g], field, 4);
    }
    int count = 0;
    for (int x = 0; x < kNodes; x++)
        for (int y = 0; y < kNodes; y++) {
            char *p = s.room();
            std::memcpy(p, grey[sv.grey[static_cast<std::size_t>(y) * kNodes + x]], 4);
            p += 4;
            if (++count % 15 == 0)
                *p++ = '\n';
            s.advance(p);
        }

    std::vector<std::string> y_text(kNodes);
    for (int y = 0; y < kNodes; y++)
        y_text[y] = " " + std::string(field, F::e(field, y * sv.spacing, 0, 4));
    const std::string z_text = " " + std::string(field, F::e(field, 0.0, 0, 4)) + "\n";
    for (int x = 0; x < kNodes; x++) {
        const std::string x_text(field, F::e(field, x * sv.spacing, 0, 4));
        for (int y = 0; y < kNodes; y++) {
            char *p = s.room();
            std::memcpy(p, x_text.data(), x_text.size());
            p += x_text.size();
            std::memcpy(p, y_text[y].data(), y_text[y].size());
            p += y_text[y].size();
            std::memcpy(p, z_text.data(), z_text.size());
            s.advance(p + z_text.size());
        }
    }
    for (int x = 0; x < kNodes; x++)
        for (int y = 0; y < kNodes; y++) {
            char *p = F::e(s.room(), sv.rho[static_cast<std::size_t>(y) * kNodes + x], 0, 4);
            *p++ = '\n';
            s.advance(p);
        }
}

template <typename F>
bool same_as_hand(const std::vector<double> &v, int width, int precision)
{
    char a[64], b[64];
    for (const double x : v)
        if (std::string(a, F::e(a, x, width, precision)) !=
            std::string(b, put_e(b, x, width, precision)))
            return false;
    return true;
}

template <typename Body>
void run(benchmark::State &state, std::size_t items, bool same, Body body)
{
    if (!same) {
        state.SkipWithError("not the same characters as the hand-written formatting");
        return;
    }
    sink s;
    for (auto _ : state)
        body(s);
    state.SetItemsProcessed(static_cast<int64_t>(items) * state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(s.bytes()));
}

template <typename F>
void e4(benchmark::State &state)
{
    const auto &v = values();
    run(state, v.rho.size(), same_as_hand<F>(v.rho, 0, 4),
        [&](sink &s) { e_lines<F>(s, v.rho, 0, 4); });
}

template <typename F>
void e15_6(benchmark::State &state)
{
    const auto &v = values();
    run(state, v.rho.size(), same_as_hand<F>(v.rho, 15, 6),
        [&](sink &s) { e_lines<F>(s, v.rho, 15, 6); });
}

template <typename F>
void coords(benchmark::State &state)
{
    const auto &v = values();
    run(state, v.coords.size(), same_as_hand<F>(v.coords, 0, 4),
        [&](sink &s) { e_lines<F>(s, v.coords, 0, 4); });
}

template <typename F>
void d4(benchmark::State &state)
{
    const auto &v = values();
    bool same = true;
    for (int g = -1000; g <= 1000 && same; g++) {
        char a[32], b[32];
        same = std::string(a, F::d(a, g, 4)) == std::string(b, put_d(b, g, 4));
    }
    run(state, v.grey.size(), same, [&](sink &s) { d_fields<F>(s, v.grey, 4); });
}

template <typename F>
void text(benchmark::State &state)
{
    const auto &v = values();
    sink mine(true), hands(true);
    snapshot_text<F>(mine, v);
    snapshot_text<hand>(hands, v);
    run(state, v.rho.size(), mine.hash() == hands.hash() && mine.bytes() == hands.bytes(),
        [&](sink &s) { snapshot_text<F>(s, v); });
}

#define FORMATTERS(name)                                                                       \
    BENCHMARK(name<hand>)->Name(#name "/hand")->Unit(benchmark::kMillisecond);                 \
    BENCHMARK(name<to_chars>)->Name(#name "/to_chars")->Unit(benchmark::kMillisecond);         \
    FMT_BENCHMARK(name)

#ifdef HAVE_FMT
#define FMT_BENCHMARK(name)                                                                    \
    BENCHMARK(name<fmt_lib>)->Name(#name "/fmt")->Unit(benchmark::kMillisecond);
#else
#define FMT_BENCHMARK(name)
#endif

FORMATTERS(e4)
FORMATTERS(e15_6)
FORMATTERS(coords)
FORMATTERS(d4)
FORMATTERS(text)

}  // namespace

BENCHMARK_MAIN();
