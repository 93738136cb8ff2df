// A lattice split over a grid of processes (decomposition.h).
#include "decomposition.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace lean {

namespace {

const char kAxis[3] = {'x', 'y', 'z'};

// Nodes along each direction, and the keys' process counts.
void lattice_of(const configuration &c, int nodes[3], int fixed[3])
{
    nodes[0] = c.keys.nodes_x;
    nodes[1] = c.keys.nodes_y;
    nodes[2] = c.keys.nodes_z;
    fixed[0] = c.keys.processes_x;
    fixed[1] = c.keys.processes_y;
    fixed[2] = c.dimensions() == 3 ? c.keys.processes_z : 1;
}

std::string grid_text(const int ranks[3], int dimensions)
{
    std::string text = std::to_string(ranks[0]) + " x " + std::to_string(ranks[1]);
    if (dimensions == 3) text += " x " + std::to_string(ranks[2]);
    return text;
}

std::string lattice_text(const int nodes[3], int dimensions)
{
    return grid_text(nodes, dimensions);
}

}  // namespace

block whole_lattice(const configuration &c)
{
    block b;
    int fixed[3];
    lattice_of(c, b.nodes, fixed);
    for (int d = 0; d < 3; d++) b.extent[d] = b.nodes[d];
    return b;
}

int split_halo(const configuration &c)
{
    if (c.solid.empty()) return kHalo;
    return c.keys.scheme == scheme_kind::lax_wendroff ? 4 : 3;
}

block block_of(const block &b, const int coords[3])
{
    block other = b;
    for (int d = 0; d < 3; d++) {
        const int n = b.nodes[d], p = b.ranks[d], k = coords[d];
        const int share = n / p, more = n % p;
        other.coords[d] = k;
        other.extent[d] = share + (k < more ? 1 : 0);
        other.origin[d] = k * share + (k < more ? k : more);
    }
    return other;
}

block block_at(const configuration &c, const int ranks[3], const int coords[3])
{
    block b = whole_lattice(c);
    for (int d = 0; d < 3; d++) b.ranks[d] = ranks[d];
    if (!b.whole()) b.halo = split_halo(c);
    return block_of(b, coords);
}

std::string choose_grid(const configuration &c, int processes, int ranks[3])
{
    int nodes[3], fixed[3];
    lattice_of(c, nodes, fixed);
    const int dimensions = c.dimensions();
    const int halo = processes > 1 ? split_halo(c) : kHalo;
    const auto count_text = [&](const int r[3]) {
        std::string text;
        for (int d = 0; d < dimensions; d++)
            if (r[d] != 0) text += (text.empty() ? "-hprocesses_" : " -hprocesses_") +
                                   std::string(1, kAxis[d]) + " " + std::to_string(r[d]);
        return text;
    };

    // The keys' counts must divide the processes, and fill them where all
    // are given.
    long long product = 1;
    bool all_given = true;
    for (int d = 0; d < 3; d++) {
        if (fixed[d] == 0) all_given = false;
        else product *= fixed[d];
    }
    if (all_given && product != processes)
        return count_text(fixed) + " make a grid of " + std::to_string(product) +
               " processes; the run has " + std::to_string(processes);
    const int given = (fixed[0] != 0) + (fixed[1] != 0) + (dimensions == 3 && fixed[2] != 0);
    if (!all_given && processes % product != 0)
        return count_text(fixed) + (given == 1 ? " needs" : " need") + " a number of processes that " +
               std::to_string(product) + " divides; the run has " + std::to_string(processes);

    // Every grid of that many processes; its blocks at least a halo wide
    // along each split direction; the least halo cells per process, ties to
    // the grids split along z, then y (whose faces lie whole in memory).
    double best = std::numeric_limits<double>::infinity();
    bool any = false;
    int narrowest[3] = {0, 0, 0};
    for (int px = 1; px <= processes; px++) {
        if (processes % px != 0 || (fixed[0] != 0 && px != fixed[0])) continue;
        for (int py = 1; py <= processes / px; py++) {
            if ((processes / px) % py != 0 || (fixed[1] != 0 && py != fixed[1])) continue;
            const int pz = processes / px / py;
            if (fixed[2] != 0 && pz != fixed[2]) continue;
            const int r[3] = {px, py, pz};
            bool fits = true;
            for (int d = 0; d < 3; d++)
                if (r[d] > 1 && nodes[d] / r[d] < halo) {
                    fits = false;
                    narrowest[d] = narrowest[d] == 0 ? r[d] : std::min(narrowest[d], r[d]);
                }
            if (!fits) continue;
            double cells = 0.0;
            for (int d = 0; d < 3; d++) {
                if (r[d] == 1) continue;
                double face = 1.0;
                for (int e = 0; e < 3; e++)
                    if (e != d) face *= static_cast<double>(nodes[e]) / r[e] + (r[e] > 1 ? 2 * halo : 0);
                cells += 2.0 * face * halo;
            }
            if (cells < best) {  // (the loops meet z's splits last: ties keep the first)
                best = cells;
                ranks[0] = px;
                ranks[1] = py;
                ranks[2] = pz;
                any = true;
            }
        }
    }
    if (any) return "";
    std::string why = "the lattice of " + lattice_text(nodes, dimensions) +
                      " nodes does not split over " + std::to_string(processes) + " processes";
    if (product > 1) why += " with " + count_text(fixed);
    why += ": a block needs at least " + std::to_string(halo) +
           " nodes (its halo) along each direction it is split in";
    for (int d = 0; d < dimensions; d++)
        if (narrowest[d] != 0)
            return why + ", and " + std::to_string(narrowest[d]) + " blocks along " + kAxis[d] +
                   " leave " + std::to_string(nodes[d] / narrowest[d]);
    return why;
}

}  // namespace lean
