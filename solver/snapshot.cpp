// Snapshot writer.
#include "snapshot.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "reporters.h"
#include "text_format.h"

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

static std::string folder_prefix;

void set_snapshot_folder(const char *folder)
{
    folder_prefix = folder;
}

const char *snapshot_folder()
{
    return folder_prefix.c_str();
}

// Storage from malloc, freed with the owner; a failed allocation is the
// reporters' null pointer.
template <class T>
using owned = std::unique_ptr<T, void (*)(void *)>;

static run_error null_pointer()
{
    run_error e;
    e.out = "Error, ptr is NULL\n";
    return e;
}

template <class T>
static owned<T> allocate(size_t count)
{
    owned<T> p(static_cast<T *>(std::calloc(count == 0 ? 1 : count, sizeof(T))), &std::free);
    if (!p) throw null_pointer();
    return p;
}

// Path of a snapshot file in `folder`.
static std::string snapshot_name(const char *folder, const char *format, const char *tag, int iter)
{
    const int length = std::snprintf(nullptr, 0, format, tag, iter);
    std::string name(folder);
    const size_t prefix = name.size();
    name.resize(prefix + static_cast<size_t>(length) + 1);
    std::snprintf(&name[prefix], static_cast<size_t>(length) + 1, format, tag, iter);
    name.pop_back();
    return name;
}

// The text of a file is gathered in a large buffer and written out in big
// chunks; formatting without printf and few, large writes keep a snapshot of
// millions of nodes to a fraction of a second.
static const size_t kChunk = size_t(1) << 20;
static const size_t kLineRoom = 256;  // more than the longest line of any file

struct file_text {
    FILE *file;
    char *start;  // kChunk characters
    char *end;    // where the next character goes
    int error;     // errno of the first write that failed; 0 while all went out
};

static void write_out(file_text *t)
{
    const size_t length = static_cast<size_t>(t->end - t->start);
    if (length == 0)
        return;
    errno = 0;
    if (std::fwrite(t->start, 1, length, t->file) != length && t->error == 0)
        t->error = errno != 0 ? errno : EIO;
    t->end = t->start;
}

// Where the next line goes, with room for at least kLineRoom characters.
static char *line_room(file_text *t)
{
    if (static_cast<size_t>(t->end - t->start) > kChunk - kLineRoom)
        write_out(t);
    return t->end;
}

// Opens a snapshot file for writing; a failed open ends the run.
static file_text open_text(const std::string &name, char *buffer)
{
    FILE *file = std::fopen(name.c_str(), "w");
    if (file == nullptr) throw file_error("open", name.c_str(), errno);
    return file_text{file, buffer, buffer, 0};
}

// Every write of a file has gone through and the file is closed; a short
// file would otherwise pass for a snapshot. error is the errno of the first
// write that failed, or 0; the close flushes the stream's own buffer and may
// fail on its own (a full disk, a file size limit).
static void finish_file(FILE *file, const std::string &name, int error)
{
    if (std::ferror(file) && error == 0)
        error = EIO;
    errno = 0;
    if (std::fclose(file) != 0 && error == 0)
        error = errno != 0 ? errno : EIO;
    if (error != 0)
        throw error_line(run_failure::file,
                         "vdwflow: could not write the snapshot file %s completely: %s",
                         name.c_str(), std::strerror(error));
}

// The 256 grey values as "%4d" fields.
struct grey_fields {
    char text[256][4];
    grey_fields()
    {
        char field[16];
        for (int g = 0; g < 256; g++) {
            put_d(field, g, 4);
            std::memcpy(text[g], field, 4);
        }
    }
};

// Closes a file whose text is complete.
static void finish_text(file_text *t, const std::string &name)
{
    write_out(t);
    finish_file(t->file, name, t->error);
}

int profile(const char *tag, const double *field, int nodes, int nodes_x, int nodes_y,
            int slot, int iter, double length, double total_start, double divisor,
            double spacing)
{
    try {
        write_snapshot_files(folder_prefix.c_str(), tag, field + slot * nodes, nodes_x, nodes_y,
                             iter, length, total_start, divisor, spacing, stdout, &hntot);
    } catch (const run_error &e) {
        end_with(e);
    }
    return 1;
}

double write_snapshot_files(const char *folder, const char *tag, const double *v, int nodes_x,
                            int nodes_y, int iter, double length, double total_start,
                            double divisor, double spacing, FILE *console, double *total)
{
    const owned<double> prof_storage = allocate<double>(static_cast<size_t>(nodes_x));
    const owned<double> absc_storage = allocate<double>(static_cast<size_t>(nodes_x));
    const owned<char> buffer_storage = allocate<char>(kChunk);
    double *prof = prof_storage.get();
    double *absc = absc_storage.get();
    char *buffer = buffer_storage.get();

    double ntot = total_start;  // (v[y * nodes_x + x])
    for (int y = 0; y < nodes_y; y++)
        for (int x = 0; x < nodes_x; x++)
            ntot = v[y * nodes_x + x] + ntot;
    if (total) *total = ntot;

    // Profile along x through the middle row, abscissae at the cell centres.
    const int ym = nodes_y / 2;
    for (int x = 0; x < nodes_x; x++) {
        absc[x] = (x + 1) * spacing - spacing / divisor;
        prof[x] = v[ym * nodes_x + x];
    }

    if (console) std::fprintf(console, "iter=%10.10d  ntot=%25.20e\n", iter, ntot);

    // Lines "%15.6e %15.6e \n".
    std::string name = snapshot_name(folder, "BP%s.%09d", tag, iter);
    file_text t = open_text(name, buffer);
    for (int x = 0; x < nodes_x; x++) {
        char *p = put_e(line_room(&t), absc[x] - length / divisor, 15, 6);
        *p++ = ' ';
        p = put_e(p, prof[x], 15, 6);
        *p++ = ' ';
        *p++ = '\n';
        t.end = p;
    }
    finish_text(&t, name);

    // Plain PGM. The values run x outer, y inner, so the image is nodes_y
    // wide and nodes_x high: row r shows lattice column x = r.
    name = snapshot_name(folder, "BV%s.%09d", tag, iter);
    t = open_text(name, buffer);
    t.end += std::snprintf(t.end, kLineRoom, "P2\n%4d%5d\n255\n", nodes_y, nodes_x);
    static const grey_fields grey;
    int count = 0;
    for (int x = 0; x < nodes_x; x++) {
        for (int y = 0; y < nodes_y; y++) {
            char *p = line_room(&t);
            std::memcpy(p, grey.text[grey_value(v[y * nodes_x + x])], 4);
            p += 4;
            if (++count % 15 == 0)
                *p++ = '\n';
            t.end = p;
        }
    }
    if (count % 15 != 0) {
        *line_room(&t) = '\n';
        t.end++;
    }
    finish_text(&t, name);

    // Legacy VTK structured grid; points listed x outer, y inner, so the
    // fastest grid dimension is y. A point line is "%.4e %.4e %.4e\n" of
    // x * spacing, y * spacing and 0: the y and z parts repeat for every x,
    // so their text is formatted once.
    const size_t e4 = e_room(0, 4);
    const owned<char> y_text_storage = allocate<char>(static_cast<size_t>(nodes_y) * (e4 + 1));
    const owned<unsigned char> y_length_storage = allocate<unsigned char>(static_cast<size_t>(nodes_y));
    char *y_text = y_text_storage.get();
    unsigned char *y_length = y_length_storage.get();
    for (int y = 0; y < nodes_y; y++) {
        char *slot_text = y_text + static_cast<size_t>(y) * (e4 + 1);
        *slot_text = ' ';
        y_length[y] =
            static_cast<unsigned char>(put_e(slot_text + 1, y * spacing, 0, 4) - slot_text);
    }
    char z_text[32] = " ";
    char *z_end = put_e(z_text + 1, 0.0, 0, 4);
    *z_end++ = '\n';
    const size_t z_length = static_cast<size_t>(z_end - z_text);

    name = snapshot_name(folder, "PV%s.%09d.vtk", tag, iter);
    t = open_text(name, buffer);
    t.end += std::snprintf(t.end, kLineRoom,
                           "# vtk DataFile Version 3.0\n"
                           "Output for PARAVIEW\n"
                           "ASCII \nDATASET STRUCTURED_GRID\n"
                           "DIMENSIONS %d %d %d\n"
                           "POINTS %d float\n",
                           nodes_y, nodes_x, 1, nodes_x * nodes_y);
    for (int x = 0; x < nodes_x; x++) {
        char x_text[32];
        const size_t x_length = static_cast<size_t>(put_e(x_text, x * spacing, 0, 4) - x_text);
        for (int y = 0; y < nodes_y; y++) {
            char *p = line_room(&t);
            std::memcpy(p, x_text, x_length);
            p += x_length;
            std::memcpy(p, y_text + static_cast<size_t>(y) * (e4 + 1), y_length[y]);
            p += y_length[y];
            std::memcpy(p, z_text, z_length);
            t.end = p + z_length;
        }
    }
    char *p = line_room(&t);
    t.end = p + std::snprintf(p, kLineRoom,
                              "POINT_DATA %d\nSCALARS rho float 1 \nLOOKUP_TABLE default\n",
                              nodes_x * nodes_y);
    for (int x = 0; x < nodes_x; x++) {
        for (int y = 0; y < nodes_y; y++) {
            p = put_e(line_room(&t), v[y * nodes_x + x], 0, 4);
            *p++ = '\n';
            t.end = p;
        }
    }
    finish_text(&t, name);
    return ntot;
}
