// Links and ghost densities of walls and solid nodes.
#include "boundaries.h"

#include <cstddef>

namespace lean {

using std::size_t;

namespace {

// The velocity set's steps, in the solver's order, and the weights of the
// ghost means (axis 4, diagonal 1: the lattice weights 1/9 and 1/36).
const int kEx[9] = {0, 1, 0, -1, 0, 1, -1, -1, 1};
const int kEy[9] = {0, 0, 1, 0, -1, 1, 1, -1, -1};
const double kMeanWeight[9] = {0, 4, 4, 4, 4, 1, 1, 1, 1};

struct lattice {
    int nx, ny, nw, row;
    bool walls_x, walls_y;
    const std::vector<unsigned char> &solid_nodes;

    // Node coordinates wrapped in the periodic directions; false beyond a wall.
    bool wrap(int &x, int &y) const
    {
        if (x < 0 || x >= nx) {
            if (walls_x) return false;
            x = ((x % nx) + nx) % nx;
        }
        if (y < 0 || y >= ny) {
            if (walls_y) return false;
            y = ((y % ny) + ny) % ny;
        }
        return true;
    }
    bool solid(int x, int y) const
    {
        if (!wrap(x, y)) return true;
        return !solid_nodes.empty() && solid_nodes[static_cast<size_t>(y) * nx + x] != 0;
    }
    bool fluid(int x, int y) const { return !solid(x, y); }
    // Home cell of the fluid node at (x, y), wrapped.
    int home(int x, int y) const
    {
        wrap(x, y);
        return (x + nw) + (y + nw) * row;
    }
};

// Behind a straight wall: the mirror coordinate across the wall and the
// multiple of s (1 for the first cell, 3 for the second); 0 inside.
int mirror(int g, int n, int &multiple)
{
    if (g < 0) {
        multiple = -2 * g - 1;
        return -1 - g;
    }
    if (g >= n) {
        multiple = 2 * (g - n) + 1;
        return 2 * n - 1 - g;
    }
    multiple = 0;
    return g;
}

void add_ghost(ghost_table &t, int cell, const std::vector<int> &sources,
               const std::vector<double> &weights, double shift, int layer)
{
    t.layer.push_back(layer);
    double total = 0.0;
    for (double w : weights) total += w;
    t.cell.push_back(cell);
    for (size_t j = 0; j < sources.size(); ++j) {
        t.source.push_back(sources[j]);
        t.weight.push_back(weights[j] / total);
    }
    t.first.push_back(static_cast<int>(t.source.size()));
    t.shift.push_back(shift);
}

// A solid node p of the mask within two cells of the fluid: its sources
// and the multiple of s; false when no fluid lies within reach.
bool mask_ghost(const lattice &L, int px, int py, std::vector<int> &sources,
                std::vector<double> &weights, int &multiple)
{
    sources.clear();
    weights.clear();
    for (int i = 1; i < 9; ++i)
        if (L.fluid(px + kEx[i], py + kEy[i])) {
            sources.push_back(L.home(px + kEx[i], py + kEy[i]));
            weights.push_back(kMeanWeight[i]);
        }
    if (!sources.empty()) {
        multiple = 1;
        return true;
    }
    // Second layer: through the solid neighbour to the fluid beyond it, and
    // the node mirrored through the layer where it is fluid.
    for (int i = 1; i < 9; ++i) {
        const int x2 = px + 2 * kEx[i], y2 = py + 2 * kEy[i];
        if (!L.fluid(x2, y2)) continue;
        const int x3 = px + 3 * kEx[i], y3 = py + 3 * kEy[i];
        sources.push_back(L.fluid(x3, y3) ? L.home(x3, y3) : L.home(x2, y2));
        weights.push_back(kMeanWeight[i]);
    }
    multiple = 3;
    if (!sources.empty()) return true;
    // A knight's move away from the fluid only: the mean of the fluid nodes
    // around it, two cells away.
    for (int dy = -2; dy <= 2; ++dy)
        for (int dx = -2; dx <= 2; ++dx)
            if (L.fluid(px + dx, py + dy)) {
                sources.push_back(L.home(px + dx, py + dy));
                weights.push_back(1.0);
            }
    multiple = 2;
    return !sources.empty();
}

}  // namespace

boundary_geometry build_boundaries(int nx, int ny, int nw, int row, int plane_cells,
                                   bool walls_x, bool walls_y,
                                   const std::vector<unsigned char> &solid_nodes, double s)
{
    const lattice L{nx, ny, nw, row, walls_x, walls_y, solid_nodes};
    boundary_geometry g;
    g.links.assign(static_cast<size_t>(plane_cells), 0);
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x) {
            unsigned bits = L.solid(x, y) ? kLinkSolid : 0u;
            for (int i = 1; i < 9; ++i) {
                if (L.solid(x - kEx[i], y - kEy[i])) bits |= 1u << i;
                if (L.solid(x - 2 * kEx[i], y - 2 * kEy[i])) bits |= 1u << (8 + i);
            }
            g.links[static_cast<size_t>(x + nw) + static_cast<size_t>(y + nw) * row] = bits;
        }

    // Every cell of the lattice and its border that a stencil may read.
    g.ghosts.first.push_back(0);
    std::vector<int> sources;
    std::vector<double> weights;
    for (int ly = 0; ly < ny + 2 * nw; ++ly)
        for (int lx = 0; lx < nx + 2 * nw; ++lx) {
            const int cell = lx + ly * row;
            int gx = lx - nw, gy = ly - nw;
            int mx = 0, my = 0;
            const int x = walls_x ? mirror(gx, nx, mx) : gx;
            const int y = walls_y ? mirror(gy, ny, my) : gy;
            if (mx + my > 0 && L.fluid(x, y)) {
                // Behind a wall, its mirror node in the fluid.
                add_ghost(g.ghosts, cell, {L.home(x, y)}, {1.0}, (mx + my) * s,
                          mx <= 1 && my <= 1 ? 1 : 2);
                continue;
            }
            if (mx + my > 0) {
                // Behind a wall, mirroring onto a solid node of the mask.
                gx = x;
                gy = y;
            }
            if (!L.solid(gx, gy)) continue;
            int multiple = 0;
            if (mask_ghost(L, gx, gy, sources, weights, multiple))
                add_ghost(g.ghosts, cell, sources, weights, (multiple + mx + my) * s,
                          multiple + mx + my <= 1 ? 1 : 2);
        }
    return g;
}

}  // namespace lean
