// Snapshot writer.
#include "snapshot.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "reporters.h"

double hntot;

int grey_value(double v)
{
    const double scaled = std::floor(255.0 * v / 2.5);
    if (!(scaled >= INT_MIN && scaled <= INT_MAX))
        return 0;
    const long long g = 256 - static_cast<long long>(static_cast<int>(scaled));
    if (g > 255)
        return 255;
    if (g < 0)
        return 0;
    return static_cast<int>(g);
}

// File name of a snapshot file, allocated to fit; the caller frees it.
static char *snapshot_name(const char *format, const char *tag, int iter)
{
    const int length = std::snprintf(nullptr, 0, format, tag, iter);
    char *name = static_cast<char *>(std::malloc(static_cast<size_t>(length) + 1));
    CHK_NULL_RETURN(name);
    std::snprintf(name, static_cast<size_t>(length) + 1, format, tag, iter);
    return name;
}

// Every write of a file has gone through and the file is closed; a short
// file would otherwise pass for a snapshot.
static void finish_file(FILE *file, const char *name, bool written)
{
    if (std::ferror(file))
        written = false;
    if (std::fclose(file) != 0)
        written = false;
    if (!written) {
        std::fprintf(stderr, "vdwflow: could not write the snapshot file %s completely\n",
                     name);
        std::exit(1);
    }
}

int profile(const char *tag, const double *field, int nodes, int nodes_x, int nodes_y,
            int slot, int iter, double length, double total_start, double divisor,
            double spacing)
{
    double *prof = static_cast<double *>(std::calloc(nodes_x, sizeof(double)));
    CHK_NULL_RETURN(prof);
    double *absc = static_cast<double *>(std::calloc(nodes_x, sizeof(double)));
    CHK_NULL_RETURN(absc);

    const double *v = field + slot * nodes;  // v[y * nodes_x + x]

    double ntot = total_start;
    for (int y = 0; y < nodes_y; y++)
        for (int x = 0; x < nodes_x; x++)
            ntot = v[y * nodes_x + x] + ntot;
    hntot = ntot;

    // Profile along x through the middle row, abscissae at the cell centres.
    const int ym = nodes_y / 2;
    for (int x = 0; x < nodes_x; x++) {
        absc[x] = (x + 1) * spacing - spacing / divisor;
        prof[x] = v[ym * nodes_x + x];
    }

    std::printf("iter=%10.10d  ntot=%25.20e\n", iter, ntot);

    char *name = snapshot_name("BP%s.%09d", tag, iter);
    FILE *file = std::fopen(name, "w");
    CHK_NULL_FILE(file, name);
    bool written = true;
    for (int x = 0; x < nodes_x; x++)
        if (std::fprintf(file, "%15.6e %15.6e \n", absc[x] - length / divisor, prof[x]) < 0)
            written = false;
    finish_file(file, name, written);
    std::free(name);

    // Plain PGM. The values run x outer, y inner, so the image is nodes_y
    // wide and nodes_x high: row r shows lattice column x = r.
    name = snapshot_name("BV%s.%09d", tag, iter);
    file = std::fopen(name, "w");
    CHK_NULL_FILE(file, name);
    written = std::fprintf(file, "P2\n%4d%5d\n255\n", nodes_y, nodes_x) >= 0;
    int count = 0;
    for (int x = 0; x < nodes_x; x++) {
        for (int y = 0; y < nodes_y; y++) {
            if (std::fprintf(file, "%4d", grey_value(v[y * nodes_x + x])) < 0)
                written = false;
            if (++count % 15 == 0 && std::fputc('\n', file) == EOF)
                written = false;
        }
    }
    if (count % 15 != 0 && std::fputc('\n', file) == EOF)
        written = false;
    finish_file(file, name, written);
    std::free(name);

    // Legacy VTK structured grid; points listed x outer, y inner, so the
    // fastest grid dimension is y.
    name = snapshot_name("PV%s.%09d.vtk", tag, iter);
    file = std::fopen(name, "w");
    CHK_NULL_FILE(file, name);
    written = std::fprintf(file,
                           "# vtk DataFile Version 3.0\n"
                           "Output for PARAVIEW\n"
                           "ASCII \nDATASET STRUCTURED_GRID\n"
                           "DIMENSIONS %d %d %d\n"
                           "POINTS %d float\n",
                           nodes_y, nodes_x, 1, nodes_x * nodes_y) >= 0;
    for (int x = 0; x < nodes_x; x++)
        for (int y = 0; y < nodes_y; y++)
            if (std::fprintf(file, "%.4e %.4e %.4e\n", x * spacing, y * spacing, 0.0) < 0)
                written = false;
    if (std::fprintf(file, "POINT_DATA %d\nSCALARS rho float 1 \nLOOKUP_TABLE default\n",
                     nodes_x * nodes_y) < 0)
        written = false;
    for (int x = 0; x < nodes_x; x++)
        for (int y = 0; y < nodes_y; y++)
            if (std::fprintf(file, "%.4e\n", v[y * nodes_x + x]) < 0)
                written = false;
    finish_file(file, name, written);
    std::free(name);

    std::free(prof);
    std::free(absc);
    return 1;
}
