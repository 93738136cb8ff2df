// Snapshot writer: a console line with the total and three files (density
// profile along the middle row, PGM image, VTK structured grid).
#pragma once

#include <cstdio>

// Total of the shown slot in the last snapshot written.
extern double hntot;

// The folder the snapshot files go to: "" (the working directory, as the
// programs have it) or a path ending in '/'.
void set_snapshot_folder(const char *folder);
const char *snapshot_folder();

// Shows slot `slot` of the node field array `field`; the value at node
// (x, y) is field[slot * nodes + y * nodes_x + x]. Returns 1.
int profile(const char *tag, const double *field, int nodes, int nodes_x, int nodes_y,
            int slot, int iter, double length, double total_start, double divisor,
            double spacing);

// The same into `folder` ("" or a path ending in '/') for the values v of
// a plane (v[y * nodes_x + x]), the console line to `console` (null: none),
// the total also into *total (if given) before any file is written; returns
// the total. A file that cannot be opened or written completely, or memory
// that cannot be had, throws the run_error that profile ends the run with.
double write_snapshot_files(const char *folder, const char *tag, const double *v, int nodes_x,
                            int nodes_y, int iter, double length, double total_start,
                            double divisor, double spacing, FILE *console,
                            double *total = nullptr);

// Grey value of a density: 256 - floor(255 v / 2.5), limited to 0 .. 255;
// not a number or beyond the int range gives 0.
int grey_value(double v);
