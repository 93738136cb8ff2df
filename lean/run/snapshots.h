// A run's snapshots in the formats of -houtput: the classic files of every
// solver program (BP, BV, PV*.vtk) and their console line, and the VTK XML
// image data of each snapshot (density, velocity, pressure) with the
// collection that lists them for ParaView, kept across the run.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "setup.h"
#include "vti_writer.h"

namespace lean {

class snapshot_writer {
public:
    // Snapshots of the run `c` into `folder` ("" or a path ending in '/'),
    // its files named with `tag`, its console lines to `console` (null:
    // none).
    snapshot_writer(const configuration &c, std::string folder, std::string tag, FILE *console);

    // The snapshot of step `step`: the density a snapshot shows (c.nodes
    // values, solid nodes 0) and, for a .vti, its velocity (c.nodes (ux, uy)
    // pairs, asked for only then). Then the check that the run is sound: a
    // total density that is not finite throws the run's failure, as a file
    // that cannot be written does.
    void write(int step, const double *density,
               const std::function<void(double *pairs)> &velocity);

    // The collection of a run resumed at step `resumed_from`: the .vti files
    // of the snapshots before it that are in the folder, as a run that never
    // stopped lists them.
    void resume_collection(int resumed_from);

    const std::string &folder() const { return folder_; }
    const std::string &tag() const { return tag_; }

private:
    std::string file_name(const char *format, int step) const;
    void write_vti(int step, const double *density,
                   const std::function<void(double *pairs)> &velocity);
    void add_to_collection(int step, const std::string &file);

    const configuration &c_;
    std::string folder_, tag_;
    FILE *console_;
    std::vector<vti::entry> collection_;  // the .vti files of the run so far
};

// The total density as the console line sums it (row by row, from 0).
double total_density(const configuration &c, const double *density);

}  // namespace lean
