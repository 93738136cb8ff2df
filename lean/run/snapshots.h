// A run's snapshots in the formats of -houtput: the classic files of every
// solver program (BP, BV, PV*.vtk) and their console line, and the VTK XML
// image data of each snapshot (density, velocity, pressure) with the
// collection that lists them for ParaView, kept across the run.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "decomposition.h"
#include "setup.h"
#include "vti_writer.h"

namespace lean {

class team;

class snapshot_writer {
public:
    // Snapshots of the run `c` into `folder` ("" or a path ending in '/'),
    // its files named with `tag`, its console lines to `console` (null:
    // none); of the block `b` of the processes `t` (the whole lattice in one
    // process), which write every file together, the first process the
    // classic files, the collection and the console line.
    snapshot_writer(const configuration &c, const block &b, team &t, std::string folder,
                    std::string tag, FILE *console);

    // The snapshot of step `step`: the density a snapshot shows (a value a
    // node of the block, solid nodes 0) and, for a .vti, its velocity (2 or
    // 3 components a node, asked for only then). Then the check that the
    // run is sound: a total density that is not finite throws the run's
    // failure on every process, as a file that cannot be written does.
    void write(int step, const double *density,
               const std::function<void(double *components)> &velocity);

    // The collection of a run resumed at step `resumed_from`: the .vti files
    // of the snapshots before it that are in the folder, as a run that never
    // stopped lists them.
    void resume_collection(int resumed_from);

    const std::string &folder() const { return folder_; }
    const std::string &tag() const { return tag_; }

private:
    std::string file_name(const char *format, int step) const;
    double write_classic(int step, const double *density);
    void write_vti(int step, const double *density,
                   const std::function<void(double *components)> &velocity);
    void add_to_collection(int step, const std::string &file);

    const configuration &c_;
    block block_;
    team &team_;
    std::string folder_, tag_;
    FILE *console_;
    std::vector<vti::entry> collection_;  // the .vti files of the run so far
};

// The total density as the console line sums it (row by row, from 0).
double total_density(const configuration &c, const double *density);

}  // namespace lean
